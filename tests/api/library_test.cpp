// What a program linked against the shared library sees from the moment it loads.
#include <gtest/gtest.h>

#include <spdlog/spdlog.h>
#include <opencv2/dnn.hpp>

#include <lumora/lm_lumora.h>

namespace {

TEST(Library, VersionIsThree) { EXPECT_EQ(lm::getVersion(), "3.0.0"); }

TEST(Library, LoggerExistsFromLoad) {
    auto logger = spdlog::get("LumoraLog");
    ASSERT_NE(logger, nullptr);
    EXPECT_EQ(logger->level(), spdlog::get_level());
}

TEST(Library, NetworksBuiltAfterLoadGetTheStandardizationLayer) {
    cv::dnn::Net net;
    cv::dnn::LayerParams params;
    params.name = "standardize";
    params.type = "ImageStandardization";
    net.addLayerToPrev(params.name, params.type, params);
    const int shape[] = {1, 3, 1, 2};
    cv::Mat blob(4, shape, CV_32F);
    float* v = blob.ptr<float>();
    for (int i = 0; i < 6; ++i) v[i] = static_cast<float>(i);
    net.setInput(blob);
    const cv::Mat out = net.forward();
    // Mean 2.5, population deviation sqrt(35/12).
    EXPECT_NEAR(out.ptr<float>()[0], -2.5 / std::sqrt(35.0 / 12.0), 1e-5);
    EXPECT_NEAR(out.ptr<float>()[5], 2.5 / std::sqrt(35.0 / 12.0), 1e-5);
}

}  // namespace
