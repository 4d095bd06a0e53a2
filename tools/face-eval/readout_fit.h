#pragma once
// Penalised logistic regression for the detector's read-outs, fitted by iteratively
// reweighted least squares (Newton's method).

#include <opencv2/core.hpp>

namespace faceeval {

// 1 / (1 + e^-z), elementwise.
cv::Mat sigmoid(const cv::Mat& z);

// Weights w (x.cols x 1) of P(y = 1) = sigmoid(x w + offset): x holds one row per example
// (CV_64F) with a last column of ones, the unpenalised intercept; offset (rows x 1) is a
// known part of each logit that is not fitted (zeros for none); y is 0 or 1. The other
// weights carry an L2 penalty of `penalty` times their squared length, halved.
cv::Mat fitLogistic(const cv::Mat& x, const cv::Mat& offset, const cv::Mat& y, double penalty);

}  // namespace faceeval
