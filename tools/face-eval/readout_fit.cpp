#include "readout_fit.h"

namespace faceeval {

namespace {

constexpr int NEWTON_STEPS = 30;
constexpr double CONVERGED_STEP = 1e-5;

}  // namespace

cv::Mat sigmoid(const cv::Mat& z) {
    cv::Mat e;
    cv::exp(-z, e);
    return 1.0 / (1.0 + e);
}

cv::Mat fitLogistic(const cv::Mat& x, const cv::Mat& offset, const cv::Mat& y, double penalty) {
    cv::Mat prior = cv::Mat::eye(x.cols, x.cols, CV_64F) * penalty;
    prior.at<double>(x.cols - 1, x.cols - 1) = 0;
    cv::Mat w = cv::Mat::zeros(x.cols, 1, CV_64F);
    for (int step = 0; step < NEWTON_STEPS; ++step) {
        const cv::Mat p = sigmoid(x * w + offset);
        const cv::Mat curvature = p.mul(1.0 - p);
        const cv::Mat hessian = x.t() * x.mul(cv::repeat(curvature, 1, x.cols)) + prior;
        cv::Mat change;
        cv::solve(hessian, x.t() * (p - y) + prior * w, change, cv::DECOMP_CHOLESKY);
        w -= change;
        if (cv::norm(change, cv::NORM_INF) < CONVERGED_STEP) break;
    }
    return w;
}

}  // namespace faceeval
