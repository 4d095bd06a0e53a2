#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include <lumora/lm_settings.h>

namespace {

using S = lm::Settings;

TEST(Settings, Defaults) {
    const S s;
    EXPECT_EQ(s.neuralNetworksPath, "");
    EXPECT_EQ(s.logLevel, S::INFO);
    EXPECT_EQ(s.dnnTarget, S::CPU);
    EXPECT_EQ(s.bodyTrackFps, S::DYNAMIC);
    EXPECT_EQ(s.faceTrackFps, S::DYNAMIC);
    EXPECT_EQ(s.networkType, S::NORMAL);
    EXPECT_TRUE(s.useAge && s.useGender && s.useHeadpose && s.useSmile && s.useFaceMask && s.useEmotions);
    EXPECT_FLOAT_EQ(s.faceConfidenceThreshold, 0.8f);
    EXPECT_EQ(s.maxNumFaces, -1);
    EXPECT_EQ(s.minFaceSize, 0);
    EXPECT_EQ(s.maxFaceSize, 0);
    EXPECT_EQ(s.detectionRange, S::REGULAR);
    EXPECT_EQ(s.numThreads, -1);
    EXPECT_TRUE(S() == S());
    EXPECT_FALSE(S() != S());
}

TEST(Settings, EnumeratorValues) {
    EXPECT_EQ(S::TRACE, 0);
    EXPECT_EQ(S::CRITICAL, 5);
    EXPECT_EQ(S::GPU_MT, 2);
    EXPECT_EQ(S::QUANTIZED, 1);
    EXPECT_EQ(S::LONG, 1);
    EXPECT_EQ(S::FPS_5, 3);
}

struct FieldChange {
    const char* field;
    std::function<void(S&)> change;
};

TEST(Settings, EveryComparedFieldMakesRecordsUnequal) {
    const FieldChange changes[] = {
        {"faceConfidenceThreshold", [](S& s) { s.faceConfidenceThreshold = 0.5f; }},
        {"neuralNetworksPath", [](S& s) { s.neuralNetworksPath = "./networks"; }},
        {"logLevel", [](S& s) { s.logLevel = S::DEBUG; }},
        {"dnnTarget", [](S& s) { s.dnnTarget = S::GPU; }},
        {"bodyTrackFps", [](S& s) { s.bodyTrackFps = S::FPS_10; }},
        {"faceTrackFps", [](S& s) { s.faceTrackFps = S::FPS_30; }},
        {"useAge", [](S& s) { s.useAge = false; }},
        {"useGender", [](S& s) { s.useGender = false; }},
        {"useHeadpose", [](S& s) { s.useHeadpose = false; }},
        {"useSmile", [](S& s) { s.useSmile = false; }},
        {"useFaceMask", [](S& s) { s.useFaceMask = false; }},
        {"useEmotions", [](S& s) { s.useEmotions = false; }},
        {"maxNumFaces", [](S& s) { s.maxNumFaces = 3; }},
        {"minFaceSize", [](S& s) { s.minFaceSize = 20; }},
        {"maxFaceSize", [](S& s) { s.maxFaceSize = 200; }},
        {"detectionRange", [](S& s) { s.detectionRange = S::LONG; }},
        {"numThreads", [](S& s) { s.numThreads = 4; }},
    };
    for (const auto& c : changes) {
        S changed;
        c.change(changed);
        EXPECT_TRUE(changed != S()) << c.field;
        EXPECT_FALSE(changed == S()) << c.field;
    }
}

TEST(Settings, NetworkTypeIsNotCompared) {
    S quantized;
    quantized.networkType = S::QUANTIZED;
    EXPECT_TRUE(quantized == S());
    EXPECT_FALSE(quantized != S());
}

TEST(Settings, NanThresholdIsNeverEqual) {
    S s;
    s.faceConfidenceThreshold = std::numeric_limits<float>::quiet_NaN();
    const S copy = s;
    EXPECT_TRUE(s != copy);
    EXPECT_FALSE(s == copy);
}

TEST(Settings, TargetPredicates) {
    S s;
    EXPECT_TRUE(s.cpuTargetEnabled());
    EXPECT_FALSE(s.gpuTargetEnabled());
    for (auto target : {S::GPU, S::GPU_MT}) {
        s.dnnTarget = target;
        EXPECT_FALSE(s.cpuTargetEnabled());
        EXPECT_TRUE(s.gpuTargetEnabled());
    }
}

}  // namespace
