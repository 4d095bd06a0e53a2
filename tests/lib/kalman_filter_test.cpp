#include <gtest/gtest.h>

#include "kalman_filter.h"

namespace {

using namespace std::chrono_literals;

constexpr int VGA_AREA = 640 * 480;

std::vector<float> diagonal(const cv::Mat& m) {
    std::vector<float> d;
    for (int i = 0; i < m.rows; ++i) d.push_back(m.at<float>(i, i));
    return d;
}

float transitionDt(const lm::KalmanFilter& kf) {
    const cv::Mat& f = kf.filter().transitionMatrix;
    EXPECT_EQ(f.at<float>(0, 4), f.at<float>(3, 7));
    return f.at<float>(1, 5);
}

TEST(KalmanFilter, InitGivesBackTheBox) {
    lm::KalmanFilter kf;
    EXPECT_EQ(kf.getPrediction(), cv::Rect());
    kf.init(cv::Rect(10, 20, 31, 41), VGA_AREA);
    EXPECT_EQ(kf.getPrediction(), cv::Rect(10, 20, 31, 41));
    const cv::Mat& state = kf.filter().statePost;
    EXPECT_EQ(state.at<float>(0), 25.f);  // (2 * 10 + 31) / 2
    EXPECT_EQ(state.at<float>(1), 40.f);
    EXPECT_FLOAT_EQ(transitionDt(kf), 0.1f);
}

TEST(KalmanFilter, NoiseScalesWithTheShareOfTheFrame) {
    lm::KalmanFilter kf;
    kf.init(cv::Rect(0, 0, 320, 240), VGA_AREA);  // a quarter of the frame
    EXPECT_EQ(diagonal(kf.filter().measurementNoiseCov), (std::vector<float>{25, 25, 12.5, 12.5}));
    EXPECT_EQ(diagonal(kf.filter().processNoiseCov), (std::vector<float>{125, 125, 50, 50, 37.5, 37.5, 3.75, 3.75}));
    const std::vector<float> p0{6250, 6250, 2500, 2500, 7500, 7500, 750, 750};
    EXPECT_EQ(diagonal(kf.filter().errorCovPost), p0);
    EXPECT_EQ(diagonal(kf.filter().errorCovPre), p0);

    // An odd share, each term computed in float as factor * r, then / dt or * factor.
    lm::KalmanFilter small;
    small.init(cv::Rect(10, 20, 31, 41), VGA_AREA);
    const float r = 1271.f / static_cast<float>(VGA_AREA);
    EXPECT_EQ(diagonal(small.filter().measurementNoiseCov), (std::vector<float>{100 * r, 100 * r, 50 * r, 50 * r}));
    EXPECT_EQ(diagonal(small.filter().errorCovPost),
              (std::vector<float>{(500 * r) * 50, (500 * r) * 50, (200 * r) * 50, (200 * r) * 50, (150 * r) * 200,
                                  (150 * r) * 200, (15 * r) * 200, (15 * r) * 200}));
    small.step(40ms);
    const float dt = 40.f / 1000.f;
    EXPECT_EQ(diagonal(small.filter().processNoiseCov),
              (std::vector<float>{500 * r, 500 * r, 200 * r, 200 * r, (150 * r) / dt, (150 * r) / dt, (15 * r) / dt,
                                  (15 * r) / dt}));
}

TEST(KalmanFilter, ShortStepsAreClampedToATenthOfAMillisecond) {
    const float r = 0.25f;
    for (const auto elapsed : {0ms, -5ms}) {
        lm::KalmanFilter kf;
        kf.init(cv::Rect(0, 0, 320, 240), VGA_AREA);
        kf.step(elapsed);
        EXPECT_EQ(transitionDt(kf), 0.0001f);
        const auto q = diagonal(kf.filter().processNoiseCov);
        EXPECT_EQ(q[4], (150 * r) / 0.0001f);
        EXPECT_EQ(q[7], (15 * r) / 0.0001f);
        EXPECT_EQ(kf.getPrediction(), cv::Rect(0, 0, 320, 240));  // no velocity yet
    }
    lm::KalmanFilter kf;
    kf.init(cv::Rect(0, 0, 320, 240), VGA_AREA);
    kf.step(1ms);
    EXPECT_EQ(transitionDt(kf), 0.001f);
}

TEST(KalmanFilter, CorrectionIsWhatThePredictionShowsAndMotionCarriesOn) {
    lm::KalmanFilter kf;
    kf.init(cv::Rect(100, 100, 40, 40), VGA_AREA);
    for (int i = 1; i <= 5; ++i) {
        kf.step(100ms);
        const cv::Rect predicted = kf.getPrediction();
        kf.correct(cv::Rect(100 + 10 * i, 100, 40, 40));
        const cv::Rect corrected = kf.getPrediction();
        const cv::Mat& post = kf.filter().statePost;
        EXPECT_EQ(corrected.x + corrected.width / 2, static_cast<int>(post.at<float>(0)));
        EXPECT_GT(corrected.x, predicted.x) << "frame " << i;  // pulled toward the detection
    }
    const cv::Rect before = kf.getPrediction();
    kf.step(100ms);
    EXPECT_GT(kf.getPrediction().x, before.x);  // the learnt velocity moves the box on
    EXPECT_EQ(kf.getPrediction().y, before.y);
}

TEST(KalmanFilter, NonPositiveSizeGivesTheEmptyBox) {
    for (const cv::Rect box : {cv::Rect(5, 5, 0, 10), cv::Rect(5, 5, 10, 0), cv::Rect(5, 5, -4, 10)}) {
        lm::KalmanFilter kf;
        kf.init(box, VGA_AREA);
        EXPECT_EQ(kf.getPrediction(), cv::Rect()) << box;
        kf.step(40ms);
        EXPECT_EQ(kf.getPrediction(), cv::Rect()) << box;
    }
}

TEST(KalmanFilter, CorrectUsesItsOwnCentreFormula) {
    // x = -3, w = 5: init's (2x + w) / 2 = 0 but correct's x + w / 2 = -1.
    lm::KalmanFilter kf;
    kf.init(cv::Rect(-3, 10, 5, 20), VGA_AREA);
    EXPECT_EQ(kf.filter().statePost.at<float>(0), 0.f);
    lm::KalmanFilter measured;
    measured.init(cv::Rect(-3, 10, 5, 20), VGA_AREA);
    measured.correct(cv::Rect(-3, 10, 5, 20));
    EXPECT_LT(measured.filter().statePost.at<float>(0), 0.f);
}

TEST(KalmanFilter, ZeroFrameAreaStaysFinite) {
    lm::KalmanFilter kf;
    kf.init(cv::Rect(10, 10, 20, 20), 0);
    kf.step(40ms);
    kf.correct(cv::Rect(12, 10, 20, 20));
    kf.step(40ms);
    EXPECT_TRUE(cv::checkRange(kf.filter().statePost));
    EXPECT_EQ(kf.getPrediction().size(), cv::Size(20, 20));
}

}  // namespace

namespace {

TEST(KalmanFilter, CopiesDoNotShareState) {
    lm::KalmanFilter live;
    live.init(cv::Rect(100, 100, 40, 40), VGA_AREA);
    live.step(std::chrono::milliseconds(100));
    live.correct(cv::Rect(110, 100, 40, 40));
    const lm::KalmanFilter copy = live;
    const cv::Rect copied = copy.getPrediction();
    live.step(std::chrono::milliseconds(100));
    live.correct(cv::Rect(150, 130, 40, 40));
    EXPECT_EQ(copy.getPrediction(), copied);
    EXPECT_NE(live.getPrediction(), copied);
}

}  // namespace
