#include "kalman_filter.h"

#include <climits>
#include <cmath>

namespace lm {

namespace {

// Position, size and velocity noise factors of the process noise, per state element.
constexpr float PROCESS_NOISE[KalmanFilter::STATE_SIZE] = {500.f, 500.f, 200.f, 200.f, 150.f, 150.f, 15.f, 15.f};
constexpr float MEASUREMENT_NOISE[KalmanFilter::MEASUREMENT_SIZE] = {100.f, 100.f, 50.f, 50.f};
// The initial uncertainty is a multiple of the process noise: positions and sizes x50,
// velocities x200.
constexpr float POSITION_COVARIANCE_FACTOR = 50.f;
constexpr float VELOCITY_COVARIANCE_FACTOR = 200.f;
constexpr float INITIAL_DT = 0.1f;

void setTransitionDt(cv::Mat& transition, float dt) {
    for (int i = 0; i < 4; ++i) transition.at<float>(i, i + 4) = dt;
}

void setMeasurementNoise(cv::KalmanFilter& filter, float r) {
    filter.measurementNoiseCov = cv::Mat::zeros(KalmanFilter::MEASUREMENT_SIZE, KalmanFilter::MEASUREMENT_SIZE, CV_32F);
    for (int i = 0; i < KalmanFilter::MEASUREMENT_SIZE; ++i)
        filter.measurementNoiseCov.at<float>(i, i) = MEASUREMENT_NOISE[i] * r;
}

void setProcessNoise(cv::KalmanFilter& filter, float r, float dt) {
    filter.processNoiseCov = cv::Mat::zeros(KalmanFilter::STATE_SIZE, KalmanFilter::STATE_SIZE, CV_32F);
    for (int i = 0; i < KalmanFilter::STATE_SIZE; ++i) {
        const float scaled = PROCESS_NOISE[i] * r;
        filter.processNoiseCov.at<float>(i, i) = i < 4 ? scaled : scaled / dt;
    }
}

cv::Mat initialCovariance(float r) {
    cv::Mat p = cv::Mat::zeros(KalmanFilter::STATE_SIZE, KalmanFilter::STATE_SIZE, CV_32F);
    for (int i = 0; i < KalmanFilter::STATE_SIZE; ++i) {
        const float factor = i < 4 ? POSITION_COVARIANCE_FACTOR : VELOCITY_COVARIANCE_FACTOR;
        p.at<float>(i, i) = (PROCESS_NOISE[i] * r) * factor;
    }
    return p;
}

// Truncates toward zero; false when the value has no int (NaN, infinite, out of range).
bool toInt(float value, int& out) {
    if (!std::isfinite(value) || value <= static_cast<float>(INT_MIN) || value >= static_cast<float>(INT_MAX))
        return false;
    out = static_cast<int>(value);
    return true;
}

}  // namespace

KalmanFilter::KalmanFilter() : mFilter(STATE_SIZE, MEASUREMENT_SIZE, 0, CV_32F) {}

KalmanFilter::KalmanFilter(const KalmanFilter& other) { *this = other; }

KalmanFilter& KalmanFilter::operator=(const KalmanFilter& other) {
    if (this == &other) return *this;
    const cv::KalmanFilter& from = other.mFilter;
    cv::KalmanFilter& to = mFilter;
    for (auto member :
         {&cv::KalmanFilter::statePre, &cv::KalmanFilter::statePost, &cv::KalmanFilter::transitionMatrix,
          &cv::KalmanFilter::controlMatrix, &cv::KalmanFilter::measurementMatrix, &cv::KalmanFilter::processNoiseCov,
          &cv::KalmanFilter::measurementNoiseCov, &cv::KalmanFilter::errorCovPre, &cv::KalmanFilter::gain,
          &cv::KalmanFilter::errorCovPost, &cv::KalmanFilter::temp1, &cv::KalmanFilter::temp2, &cv::KalmanFilter::temp3,
          &cv::KalmanFilter::temp4, &cv::KalmanFilter::temp5})
        to.*member = (from.*member).clone();
    mPrediction = other.mPrediction.clone();
    mFrameArea = other.mFrameArea;
    return *this;
}

// A frame area of 0 or less has no meaning; the box is then given relative size 0, which
// keeps every noise term finite (the filter simply stops adapting). A box with a negative
// side has no area either.
float KalmanFilter::relativeSize(const cv::Rect& box) const {
    if (mFrameArea <= 0.0f) return 0.0f;
    if (box.width <= 0 || box.height <= 0) return 0.0f;
    return static_cast<float>(box.width * box.height) / mFrameArea;
}

void KalmanFilter::init(const cv::Rect& box, int frameArea) {
    mFrameArea = static_cast<float>(frameArea);

    mFilter.transitionMatrix = cv::Mat::eye(STATE_SIZE, STATE_SIZE, CV_32F);
    setTransitionDt(mFilter.transitionMatrix, INITIAL_DT);
    mFilter.measurementMatrix = cv::Mat::zeros(MEASUREMENT_SIZE, STATE_SIZE, CV_32F);
    for (int i = 0; i < MEASUREMENT_SIZE; ++i) mFilter.measurementMatrix.at<float>(i, i) = 1.0f;

    const float r = relativeSize(box);
    setMeasurementNoise(mFilter, r);
    setProcessNoise(mFilter, r, 1.0f);
    mFilter.errorCovPost = initialCovariance(r);
    mFilter.errorCovPre = initialCovariance(r);

    const int cx = (2 * box.x + box.width) / 2;
    const int cy = (2 * box.y + box.height) / 2;
    cv::Mat state = (cv::Mat_<float>(STATE_SIZE, 1) << static_cast<float>(cx), static_cast<float>(cy),
                     static_cast<float>(box.width), static_cast<float>(box.height), 0.f, 0.f, 0.f, 0.f);
    mFilter.statePost = state.clone();
    mFilter.statePre = state.clone();
    mPrediction = state;
}

void KalmanFilter::step(std::chrono::milliseconds elapsed) {
    float dt = static_cast<float>(elapsed.count()) / 1000.0f;
    if (dt < MIN_DT) dt = MIN_DT;
    setTransitionDt(mFilter.transitionMatrix, dt);
    setProcessNoise(mFilter, relativeSize(getPrediction()), dt);
    mPrediction = mFilter.predict().clone();
}

void KalmanFilter::correct(const cv::Rect& box) {
    // The measured centre uses x + w/2 (halves truncated), unlike init's (2x + w)/2; the two
    // differ by a pixel only for negative corners with odd sizes.
    const cv::Mat z =
        (cv::Mat_<float>(MEASUREMENT_SIZE, 1) << static_cast<float>(box.x + box.width / 2),
         static_cast<float>(box.y + box.height / 2), static_cast<float>(box.width), static_cast<float>(box.height));
    setMeasurementNoise(mFilter, relativeSize(box));
    mPrediction = mFilter.correct(z).clone();
}

float KalmanFilter::centreSpread() const {
    // The prediction leaves its covariance in both the prior and the posterior matrices, a
    // correction in the posterior: the posterior is the current one either way.
    const cv::Mat& p = mFilter.errorCovPost;
    if (p.empty()) return 0.0f;
    const float variance = p.at<float>(0, 0) + p.at<float>(1, 1);
    return variance > 0.0f && std::isfinite(variance) ? std::sqrt(variance) : 0.0f;
}

cv::Rect KalmanFilter::getPrediction() const {
    if (mPrediction.empty()) return {};
    int cx = 0, cy = 0, w = 0, h = 0;
    if (!toInt(mPrediction.at<float>(0), cx) || !toInt(mPrediction.at<float>(1), cy) ||
        !toInt(mPrediction.at<float>(2), w) || !toInt(mPrediction.at<float>(3), h))
        return {};
    if (w <= 0 || h <= 0) return {};
    return {cx - w / 2, cy - h / 2, w, h};
}

}  // namespace lm
