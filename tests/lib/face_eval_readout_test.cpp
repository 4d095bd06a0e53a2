// The read-out fit of the face evaluation: the weights it recovers, what its offset and
// its penalty do.

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include "readout_fit.h"

namespace {

using faceeval::fitLogistic;
using faceeval::sigmoid;

struct Sample {
    cv::Mat x, offset, y;
};

// Rows of two standard normal features and a column of ones, labels drawn from
// sigmoid(x w + offset).
Sample drawSample(const cv::Mat& w, double offsetSpread, int rows) {
    cv::RNG rng(20);
    Sample s{cv::Mat(rows, 3, CV_64F), cv::Mat(rows, 1, CV_64F), cv::Mat(rows, 1, CV_64F)};
    for (int r = 0; r < rows; ++r) {
        s.x.at<double>(r, 0) = rng.gaussian(1.0);
        s.x.at<double>(r, 1) = rng.gaussian(1.0);
        s.x.at<double>(r, 2) = 1.0;
        s.offset.at<double>(r) = rng.gaussian(offsetSpread);
        const double p = sigmoid(s.x.row(r) * w + s.offset.row(r)).at<double>(0);
        s.y.at<double>(r) = rng.uniform(0.0, 1.0) < p ? 1.0 : 0.0;
    }
    return s;
}

TEST(FaceEvalReadout, RecoversTheWeightsBesideAKnownOffset) {
    const cv::Mat truth = (cv::Mat_<double>(3, 1) << 1.5, -2.0, 0.5);
    const Sample s = drawSample(truth, 2.0, 6000);
    const cv::Mat fitted = fitLogistic(s.x, s.offset, s.y, 1e-6);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(fitted.at<double>(k), truth.at<double>(k), 0.15) << "weight " << k;
    // Left out, the offset's spread is taken for noise and every weight shrinks.
    const cv::Mat blind = fitLogistic(s.x, cv::Mat::zeros(s.x.rows, 1, CV_64F), s.y, 1e-6);
    EXPECT_LT(blind.at<double>(0), 0.8 * truth.at<double>(0));
}

TEST(FaceEvalReadout, APenaltyShrinksTheFeaturesButNotTheIntercept) {
    const cv::Mat truth = (cv::Mat_<double>(3, 1) << 1.0, 1.0, -1.5);
    const Sample s = drawSample(truth, 0.0, 4000);
    const cv::Mat fitted = fitLogistic(s.x, s.offset, s.y, 1e7);
    EXPECT_NEAR(fitted.at<double>(0), 0.0, 1e-3);
    EXPECT_NEAR(fitted.at<double>(1), 0.0, 1e-3);
    // With the features gone, the intercept alone gives the share of positives.
    EXPECT_NEAR(sigmoid(fitted.row(2)).at<double>(0), cv::mean(s.y)[0], 1e-3);
}

}  // namespace
