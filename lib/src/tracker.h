#pragma once
// The multi-object tracker that the face and body trackers share. One update takes the
// detections of a frame, predicts every track with its Kalman filter, scores every pair of
// track and detection with an integer utility (box overlap, centre distance, size ratio
// and, for bodies, appearance similarity), solves the assignment with the Hungarian routine
// and then continues, creates, ages and deletes tracks. Every detection leaves with a
// track id; one that continued a track also with the track's duration.
//
// Each tracker brings its table of utility weights (which also holds the hits that confirm
// a track) and names the settings field that fixes its frame-rate class; the class is
// either that fixed one or follows the measured update rate, and chooses the row in force.

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "clock.h"
#include "encoder.h"
#include "kalman_filter.h"
#include "lm_settings_observer.h"
#include "lumora/lm_help_fps.h"
#include "lumora/lm_records.h"
#include "lumora/lm_settings.h"
#include "update_interval.h"

namespace lm {

// The newest N values in place, read from the oldest. The head is the slot of the newest
// value, all bits set while the ring is empty.
template <typename T, std::size_t N>
class HistoryRing {
public:
    static constexpr std::uint64_t EMPTY_HEAD = ~std::uint64_t{0};
    static constexpr std::size_t CAPACITY = N;

    void push(const T& value) {
        mHead = mHead == N - 1 ? 0 : mHead + 1;  // the empty head wraps to slot 0
        mSlots[mHead] = value;
        if (mCount < N) ++mCount;
    }

    template <typename Visit>
    void forEachOldestFirst(Visit&& visit) const {
        if (mCount < N) {
            for (std::uint64_t i = 0; i < mCount; ++i) visit(mSlots[i]);
        } else {
            for (std::uint64_t k = 1; k <= N; ++k) visit(mSlots[(mHead + k) % N]);
        }
    }

    void clear() {
        mHead = EMPTY_HEAD;
        mCount = 0;
    }

    std::uint64_t head() const { return mHead; }
    std::uint64_t count() const { return mCount; }

private:
    std::array<T, N> mSlots{};
    std::uint64_t mHead = EMPTY_HEAD;
    std::uint64_t mCount = 0;
};

class ObjectTracker : public ISettingsObserver {
public:
    static constexpr std::size_t FEATURE_HISTORY_SIZE = 20;
    using FeatureHistory = HistoryRing<AppearanceVector, FEATURE_HISTORY_SIZE>;
    using Features = std::optional<std::vector<AppearanceVector>>;

    struct TrackedObject {
        std::uint32_t id = 0;
        cv::Rect box;  // the last matched detection, or this frame's prediction
        bool confirmed = false;
        std::uint32_t missedFrames = 0;                // consecutive updates without a match
        std::uint32_t hits = 0;                        // frames in which the track was created or matched
        std::chrono::milliseconds trackedDuration{0};  // sum of the intervals that matched it
        KalmanFilter kalmanFilter;
        FeatureHistory featureHistory;  // the newest appearance vectors of the track
    };

    // A row of utility weights, with the match threshold and the hits that confirm a track.
    struct Weights {
        float iou;
        float distance;
        float size;
        float appearance;
        float matchThreshold;
        std::int32_t minHits;
    };
    // Rows by network type (NORMAL, then QUANTIZED) and rate class (FPS_30, FPS_10, FPS_5).
    using WeightTable = std::array<std::array<Weights, 3>, 2>;

    ~ObjectTracker() override = default;
    ObjectTracker(const ObjectTracker&) = delete;
    ObjectTracker& operator=(const ObjectTracker&) = delete;

    // Takes the network type and the rate class: the one the tracker's settings field
    // fixes, or FPS_10 to start from when it is DYNAMIC. Then puts their row in force.
    void onSettingsUpdate(const Settings& settings) override;

    // One tracking step. Only the size of the frame is used. When `features` holds a value
    // it must hold one vector per detection, in the same order (std::invalid_argument
    // otherwise, before anything changes); the vectors are moved into the tracks that take
    // them. `similarityScale` is handed to Encoder::similarity. With a `frameTime` the
    // interval, the measured rate and the durations follow the frames' own clock, else the
    // steady clock (UpdateInterval).
    void update(std::vector<Detection>& detections, const cv::Mat& frame, Features& features, float similarityScale,
                const std::optional<TimePoint>& frameTime = std::nullopt);

    // Drops every track; with `restartIds` ids start again at 1 and the confirmed count at 0.
    // The interval reference, the rate class and the weights stay.
    void reset(bool restartIds);

    // Tracks confirmed since construction or the last reset(true), deleted ones included.
    std::uint32_t getObjectCount() const;
    // Boxes of all tracks in track order. Takes no lock: never call it during update or reset.
    std::vector<cv::Rect> getTrackedBoxes();
    std::vector<TrackedObject> getTrackedObjects() const;

    // The weights in force and the rate class, for inspection.
    Weights getWeights() const;
    std::int32_t getFpsClass() const;

    // The score of a track box against a detection box under a row of weights, as an int
    // in 0..1000 that a match must exceed the row's threshold (times 1000) with.
    // `appearance` is the best similarity of the detection to the track's vectors, none
    // when the tracker runs without them. A box without area scores 0.
    static int pairUtility(const Weights& weights, const cv::Rect& track, const cv::Rect& detection,
                           std::optional<float> appearance);

    // The box a detection's box terms are measured against: the track's prediction moved
    // toward the detection by up to two standard deviations (`spread`, pixels) of the
    // predicted centre, the nearest place the track may have reached. Only a detection that
    // looks like the track (`appearance` at least 0.5) is credited so; without appearance,
    // or for any other detection, it is the prediction itself.
    static cv::Rect comparedBox(const cv::Rect& prediction, float spread, const cv::Rect& detection,
                                std::optional<float> appearance);

protected:
    // Starts with the NORMAL row of FPS_10 and primes the rate meter, so that the first
    // update measures the time since construction. `rateSetting` is the settings field
    // that fixes the tracker's rate class.
    ObjectTracker(const WeightTable& weights, Settings::TrackerFps Settings::*rateSetting);

    // Chooses the rate class from the measured update rate (under the tracker's lock): a
    // DYNAMIC class follows it, a fixed one stays.
    virtual void checkFPS(int rate);
    // Puts a row of weights in force (under the caller's lock).
    void applyWeights(const Weights& row);

    std::vector<TrackedObject> mTrackedObjects;  // in creation order
    mutable std::mutex mMutex;

private:
    // Puts the row of the current network type and rate class in force; a class outside
    // the table leaves the weights as they are.
    void tuneWeights();

    int utility(const TrackedObject& track, const cv::Rect& detection, const AppearanceVector* feature,
                float similarityScale) const;
    void assignDetections(std::vector<Detection>& detections, Features& features, int frameArea, float similarityScale);
    void openTrack(Detection& detection, int frameArea, Features& features, std::size_t index);
    void continueTrack(TrackedObject& track, Detection& detection, Features& features, std::size_t index);

    void newObject(Detection& detection, int frameArea);
    void newObject(Detection& detection, int frameArea, AppearanceVector&& feature);
    void updateObject(TrackedObject& track, Detection& detection);
    void updateObject(TrackedObject& track, Detection& detection, AppearanceVector&& feature);
    void missingObject(TrackedObject& track);
    void deleteInvalidTrackers(const cv::Size& frameSize);

    const WeightTable mWeightTable;
    Settings::TrackerFps Settings::*const mRateSetting;
    Settings::NetworkType mNetworkType = Settings::NORMAL;
    bool mFpsFixed = false;
    std::int32_t mFpsClass = Settings::FPS_10;
    help::Fps mFps;
    std::uint32_t mNextId = 0;  // the last id handed out
    std::uint32_t mConfirmedCount = 0;
    UpdateInterval mInterval;
    std::chrono::milliseconds mElapsedTime{0};  // between the last two updates
    float mIouWeight = 0.0f;
    float mDistanceWeight = 0.0f;
    float mSizeWeight = 0.0f;
    float mAppearanceWeight = 0.0f;
    float mMatchThreshold = 0.0f;
    std::int32_t mMinHits = 0;
};

}  // namespace lm
