#pragma once
// The multi-object tracker that the face and body trackers share. One update takes the
// detections of a frame, predicts every track with its Kalman filter, scores every pair of
// track and detection with an integer utility (box overlap, centre distance, size ratio
// and, for bodies, appearance similarity), solves the assignment with the Hungarian routine
// and then continues, creates, ages and deletes tracks. Every detection leaves with a
// track id; one that continued a track also with the track's duration.
//
// Subclasses choose the utility weights, the hits that confirm a track and the frame-rate
// class through onSettingsUpdate, checkFPS and tuneWeights.

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
#include "lumora/lm_records.h"
#include "lumora/lm_settings.h"

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

// Rate of the calls: 1000 over the whole milliseconds since the previous call, on the
// system clock; infinite for two calls within one millisecond, negative if the clock went
// back. A new meter remembers the epoch, so owners call it once to prime it.
class CallRateMeter {
public:
    float operator()();

private:
    clock::SystemTime mPrevious{};
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

    ~ObjectTracker() override = default;
    ObjectTracker(const ObjectTracker&) = delete;
    ObjectTracker& operator=(const ObjectTracker&) = delete;

    // One tracking step. Only the size of the frame is used. When `features` holds a value
    // it must hold one vector per detection, in the same order (std::invalid_argument
    // otherwise, before anything changes); the vectors are moved into the tracks that take
    // them. `similarityScale` is handed to Encoder::similarity.
    void update(std::vector<Detection>& detections, const cv::Mat& frame, Features& features, float similarityScale);

    // Drops every track; with `restartIds` ids start again at 1 and the confirmed count at 0.
    // The interval reference, the rate class and the weights stay.
    void reset(bool restartIds);

    // Tracks confirmed since construction or the last reset(true), deleted ones included.
    std::uint32_t getObjectCount() const;
    // Boxes of all tracks in track order. Takes no lock: never call it during update or reset.
    std::vector<cv::Rect> getTrackedBoxes();
    std::vector<TrackedObject> getTrackedObjects() const;

    // The utility weights in force and the rate class, for inspection.
    struct Weights {
        float iou;
        float distance;
        float size;
        float appearance;
        float matchThreshold;
        std::int32_t minHits;
    };
    Weights getWeights() const;
    std::int32_t getFpsClass() const;

protected:
    ObjectTracker();

    // Chooses the rate class from the measured update rate (under the tracker's lock).
    virtual void checkFPS(int rate) = 0;
    // Loads the weights of the current network type and rate class (under the caller's lock).
    virtual void tuneWeights() = 0;

    // A measured rate as int; a rate without one (infinite, NaN, out of range) gives INT_MIN.
    static int rateToInt(float rate);
    // The rate class of a measured rate: FPS_30 from 20, FPS_10 from 9 to 19, FPS_5 below.
    static std::int32_t classOfRate(int rate);
    // Puts a row of a weight table in force.
    void applyWeights(const Weights& row);

    std::vector<TrackedObject> trackedObjects;  // in creation order
    std::uint32_t nextId = 0;                   // the last id handed out
    std::uint32_t confirmedCount = 0;
    clock::SteadyTime lastUpdateTime;
    std::chrono::milliseconds elapsedTime{0};  // between the last two updates
    bool fpsFixed = false;
    std::int32_t fpsClass = Settings::FPS_10;
    CallRateMeter fps;
    mutable std::mutex mutex;
    float iouWeight = 0.0f;
    float distanceWeight = 0.0f;
    float sizeWeight = 0.0f;
    float appearanceWeight = 0.0f;
    float matchThreshold = 0.0f;
    std::int32_t minHits = 0;

private:
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
};

}  // namespace lm
