#pragma once
// The facade's implementation object. Public only inside the library and its tests and
// benchmarks: the order of the six face tasks is a seam here, so that the sequential
// schedule of the GPU target can be compared with the parallel one on a machine without
// an OpenCL device.

#include <cstdint>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "lm_age_gender.h"
#include "lm_bodydetector.h"
#include "lm_bodyencoder.h"
#include "lm_bodytracker.h"
#include "lm_emotions.h"
#include "lm_facedetector.h"
#include "lm_facemask.h"
#include "lm_facetracker.h"
#include "lm_headpose.h"
#include "lm_smile.h"
#include "lumora/lm_lumora.h"

namespace lm {

class Lumora::LumoraImpl {
public:
    // How the five estimators and the tracking step of a frame run.
    enum class Schedule {
        PARALLEL,    // together under tbb::parallel_invoke (CPU and GPU_MT targets)
        SEQUENTIAL,  // one after another on the calling thread (GPU target)
    };

    explicit LumoraImpl(const Settings& settings);
    ~LumoraImpl();
    LumoraImpl(const LumoraImpl&) = delete;
    LumoraImpl& operator=(const LumoraImpl&) = delete;

    void setSettings(const Settings& settings);
    Settings getSettings() const { return mSettings; }

    std::vector<Person> analyzeFaces(const cv::Mat& frame, bool singleImage, const FrameTime& frameTime = std::nullopt);
    std::vector<Body> analyzeBodies(const cv::Mat& frame, const FrameTime& frameTime = std::nullopt);

    std::vector<cv::Rect> getTrackedBoxes() { return mFaceTracker.getTrackedBoxes(); }
    std::uint32_t getCountOfFaces() const { return mFaceTracker.getObjectCount(); }
    std::uint32_t getCountOfBodies() const { return mBodyTracker.getObjectCount(); }
    // FaceTracker::reset also clears the per-person history; it hides, not overrides, the
    // object tracker's reset, so it is called on the face tracker itself.
    void resetTracker(bool resetCounter) { mFaceTracker.reset(resetCounter); }
    void resetBodyTracker(bool resetCounter) { mBodyTracker.reset(resetCounter); }

    // The schedule that the stored target implies, or the one forced for tests and
    // benchmarks (std::nullopt goes back to the target's).
    Schedule schedule() const;
    void forceSchedule(std::optional<Schedule> forced) { mForcedSchedule = forced; }

private:
    void applyLogLevel();
    void trackFaces(const cv::Mat& frame, const FrameTime& frameTime);

    // Declaration order is construction order; destruction runs in reverse.
    Settings mSettings;
    FaceDetector mFaceDetector;
    AgeGender mAgeGender;
    HeadposeEstimator mHeadpose;
    Smile mSmile;
    FaceMask mFaceMask;
    EmotionsEstimator mEmotions;
    BodyDetector mBodyDetector;
    BodyEncoder mBodyEncoder;
    BodyTracker mBodyTracker;
    FaceTracker mFaceTracker;
    std::vector<Person> mPersons;  // the faces of the last analysed frame, worked on in place
    std::optional<Schedule> mForcedSchedule;
};

}  // namespace lm
