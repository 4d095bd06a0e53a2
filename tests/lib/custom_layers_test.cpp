#include <gtest/gtest.h>

#include <cmath>

#include <opencv2/dnn.hpp>

#include "util/custom_layers.h"

namespace {

// A net of one ImageStandardization layer fed by the net's input.
cv::dnn::Net standardizationNet() {
    cv::dnn::Net net;
    cv::dnn::LayerParams params;
    params.name = "standardize";
    params.type = "ImageStandardization";
    net.addLayerToPrev(params.name, params.type, params);
    return net;
}

cv::Mat runNet(const cv::Mat& blob) {
    cv::dnn::Net net = standardizationNet();
    net.setInput(blob);
    return net.forward().clone();
}

cv::Mat blobOf(const std::vector<int>& shape, const std::vector<float>& values) {
    cv::Mat blob(static_cast<int>(shape.size()), shape.data(), CV_32F);
    std::copy(values.begin(), values.end(), blob.ptr<float>());
    return blob;
}

TEST(ImageStandardization, NetworksGetTheLayerFromTheFactory) {
    cv::dnn::LayerParams params;
    params.name = "probe";
    params.type = "ImageStandardization";
    cv::Ptr<cv::dnn::Layer> layer = cv::dnn::LayerFactory::createLayerInstance("ImageStandardization", params);
    ASSERT_FALSE(layer.empty());
    EXPECT_NE(dynamic_cast<lm::ImageStandardizationLayer*>(layer.get()), nullptr);
}

TEST(ImageStandardization, StandardisesOverTheWholeBlob) {
    const std::vector<float> values = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    const cv::Mat out = runNet(blobOf({1, 3, 2, 2}, values));
    ASSERT_EQ(out.size, cv::Mat(blobOf({1, 3, 2, 2}, values)).size);  // shape kept
    const double mean = 5.5, sd = std::sqrt(143.0 / 12.0);
    for (int i = 0; i < 12; ++i) EXPECT_NEAR(out.ptr<float>()[i], (values[i] - mean) / sd, 1e-5) << i;
}

TEST(ImageStandardization, ConstantBlobGivesZeros) {
    const cv::Mat out = runNet(blobOf({1, 3, 2, 2}, std::vector<float>(12, 42.0f)));
    for (int i = 0; i < 12; ++i) EXPECT_EQ(out.ptr<float>()[i], 0.0f);
}

TEST(ImageStandardization, SmallDeviationIsDividedByOneOverRootN) {
    // 12 values, sd 0.05 < 1/sqrt(12) = 0.2887.
    std::vector<float> values(12, 1.0f);
    for (int i = 0; i < 6; ++i) values[i] = 1.1f;
    const cv::Mat out = runNet(blobOf({1, 3, 2, 2}, values));
    const double divisor = 1.0 / std::sqrt(12.0);
    EXPECT_NEAR(out.ptr<float>()[0], 0.05 / divisor, 1e-5);
    EXPECT_NEAR(out.ptr<float>()[11], -0.05 / divisor, 1e-5);
}

TEST(ImageStandardization, ShapeChecks) {
    cv::dnn::LayerParams params;
    lm::ImageStandardizationLayer layer(params);
    std::vector<cv::dnn::MatShape> outputs, internals;
    const struct {
        std::vector<cv::dnn::MatShape> inputs;
        const char* condition;
    } cases[] = {
        {{{1, 4, 2, 2}}, "inputs[0][1] == static_cast<size_t>( 3 )"},
        {{{1, 3, 2, 2}, {1, 3, 2, 2}}, "inputs.size() == static_cast<size_t>( 1 )"},
        {{{3}}, "inputs[0].size() >= static_cast<size_t>( 2 )"},
    };
    for (const auto& c : cases) {
        try {
            layer.getMemoryShapes(c.inputs, 1, outputs, internals);
            ADD_FAILURE() << c.condition << ": no exception";
        } catch (const cv::Exception& e) {
            EXPECT_EQ(e.err, c.condition);
            EXPECT_EQ(e.func.find("getMemoryShapes") != std::string::npos, true) << e.func;
        }
    }
    EXPECT_FALSE(layer.getMemoryShapes({{1, 3, 8, 8}}, 1, outputs, internals));
    ASSERT_EQ(outputs.size(), 1u);
    EXPECT_EQ(outputs[0], cv::dnn::MatShape({1, 3, 8, 8}));
}

}  // namespace
