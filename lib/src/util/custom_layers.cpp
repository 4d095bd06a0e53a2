#include "util/custom_layers.h"

#include <algorithm>
#include <cmath>

#include <opencv2/core/utils/trace.hpp>

namespace lm {

namespace {

// One image, as one row of values, to zero mean and unit deviation.
void standardizeImage(const cv::Mat& input, cv::Mat& output) {
    cv::Scalar mean, stddev;
    cv::meanStdDev(input, mean, stddev);
    const double count = static_cast<double>(input.total());
    const double divisor = std::max(1.0 / std::sqrt(count), stddev[0]);
    // (x - m) / d in double precision, so that a constant blob comes out as exact zeros.
    cv::Mat standardized;
    input.convertTo(standardized, CV_64F);
    standardized -= mean[0];
    standardized /= divisor;
    standardized.convertTo(output, output.type());
}

}  // namespace

ImageStandardizationLayer::ImageStandardizationLayer(const cv::dnn::LayerParams& params) { setParamsFrom(params); }

cv::Ptr<cv::dnn::Layer> ImageStandardizationLayer::create(cv::dnn::LayerParams& params) {
    return cv::Ptr<cv::dnn::Layer>(new ImageStandardizationLayer(params));
}

bool ImageStandardizationLayer::getMemoryShapes(const std::vector<cv::dnn::MatShape>& inputs, int requiredOutputs,
                                                std::vector<cv::dnn::MatShape>& outputs,
                                                std::vector<cv::dnn::MatShape>& internals) const {
    // The failed condition's text is the error callers see: its spacing is part of it.
    // clang-format off
    CV_Assert(inputs.size() == static_cast<size_t>( 1 ));
    // A shape without a channel axis cannot be checked for three channels.
    CV_Assert(inputs[0].size() >= static_cast<size_t>( 2 ));
    CV_Assert(inputs[0][1] == static_cast<size_t>( 3 ));
    // clang-format on
    return cv::dnn::Layer::getMemoryShapes(inputs, requiredOutputs, outputs, internals);
}

void ImageStandardizationLayer::forward(std::vector<cv::Mat*>& inputs, std::vector<cv::Mat>& outputs,
                                        std::vector<cv::Mat>& /*internals*/) {
    CV_TRACE_FUNCTION();
    CV_TRACE_ARG_VALUE(name, "name", name.c_str());
    const cv::Mat& input = *inputs[0];
    CV_Assert(input.isContinuous());

    // Each image of a batch on its own statistics, as it would be in a batch of one.
    const int images = input.size[0];
    const cv::Mat inputRows = input.reshape(1, images);
    cv::Mat outputRows = outputs[0].reshape(1, images);
    for (int i = 0; i < images; ++i) {
        cv::Mat outputRow = outputRows.row(i);
        standardizeImage(inputRows.row(i), outputRow);
    }
}

void ImageStandardizationLayer::forward(cv::InputArrayOfArrays inputs, cv::OutputArrayOfArrays outputs,
                                        cv::OutputArrayOfArrays internals) {
    CV_TRACE_FUNCTION();
    CV_TRACE_ARG_VALUE(name, "name", name.c_str());
    forward_fallback(inputs, outputs, internals);
}

void registerCustomLayers() {
    cv::dnn::LayerFactory::registerLayer("ImageStandardization", ImageStandardizationLayer::create);
}

}  // namespace lm
