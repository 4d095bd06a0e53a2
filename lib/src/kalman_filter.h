#pragma once
// Constant-velocity Kalman filter over a box's centre and size, one per track. The noise
// levels scale with the share of the frame the box covers, so near (large) objects may
// jump further in pixels than far (small) ones; the process noise on the velocities grows
// as the frame interval shrinks.
//
// State: centre x, centre y, width, height and their velocities in pixels per second.
// Measurement: centre x, centre y, width, height.

#include <chrono>

#include <opencv2/core.hpp>
#include <opencv2/video/tracking.hpp>

namespace lm {

class KalmanFilter {
public:
    static constexpr int STATE_SIZE = 8;
    static constexpr int MEASUREMENT_SIZE = 4;
    // Intervals shorter than this are taken as this (in seconds), so a 0 ms step stays finite.
    static constexpr float MIN_DT = 0.0001f;

    KalmanFilter();
    // Copies are deep: cv::Mat copies would share the state with the original, so a copy
    // handed to a caller would change under it with every step of the live track.
    KalmanFilter(const KalmanFilter& other);
    KalmanFilter& operator=(const KalmanFilter& other);
    KalmanFilter(KalmanFilter&&) = default;
    KalmanFilter& operator=(KalmanFilter&&) = default;

    // Starts the filter on a new track's first box, with the frame area in pixels.
    void init(const cv::Rect& box, int frameArea);
    // Predicts the state the given time after the previous step.
    void step(std::chrono::milliseconds elapsed);
    // Folds a detected box into the state.
    void correct(const cv::Rect& box);
    // The box of the current state; the empty box when its width or height is not positive.
    cv::Rect getPrediction() const;
    // The standard deviation of the current state's centre in pixels, the square root of the
    // summed x and y variances: a few pixels while detections keep coming, growing with each
    // step that no detection corrects. 0 before init.
    float centreSpread() const;

    // The underlying OpenCV filter, for inspection.
    const cv::KalmanFilter& filter() const { return mFilter; }

private:
    float relativeSize(const cv::Rect& box) const;

    cv::KalmanFilter mFilter;
    cv::Mat mPrediction;  // initial, predicted or corrected state, whichever came last
    float mFrameArea = 0.0f;
};

}  // namespace lm
