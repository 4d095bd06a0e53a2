// The body encoder on the generated colour-grid encoder: value k·64 + cell is colour mix k
// of the blob over that grid cell, (colour - mean) × 0.017352 per channel.

#include <gtest/gtest.h>

#include "lm_bodyencoder.h"
#include "support/stages.h"

namespace {

constexpr float BODY_SCALE = 35.616783f;

lm::AppearanceVector filled(float value) {
    lm::AppearanceVector v;
    v.fill(value);
    return v;
}

lm::Detection bodyAt(const cv::Rect& box) {
    lm::Detection d;
    d.boundingBox = box;
    return d;
}

class BodyEncoderTest : public ::testing::Test {
protected:
    void SetUp() override { encoder.onSettingsUpdate(models.settings()); }
    lmtest::ModelDir models;
    lm::BodyEncoder encoder;
};

TEST_F(BodyEncoderTest, VectorHoldsTheStandardisedColourOfTheCrop) {
    const cv::Mat frame = lmtest::colourFrame(200, 100, 50);
    const auto vectors = encoder.encodeBodies(frame, {bodyAt({100, 100, 60, 150})});
    ASSERT_EQ(vectors.size(), 1u);
    const float red = (200 - 123.675f) * 0.017352f, green = (100 - 116.28f) * 0.017352f,
                blue = (50 - 103.56f) * 0.017352f;
    for (int cell = 0; cell < 64; ++cell) {
        EXPECT_NEAR(vectors[0][cell], red, 1e-3f);
        EXPECT_NEAR(vectors[0][64 + cell], green, 1e-3f);
        EXPECT_NEAR(vectors[0][128 + cell], blue, 1e-3f);
        EXPECT_NEAR(vectors[0][448 + cell], 0.0f, 1e-6f);
    }
}

TEST_F(BodyEncoderTest, OneVectorPerDetectionInOrderAndClippedToTheFrame) {
    cv::Mat frame = lmtest::colourFrame(30, 30, 30);
    frame(cv::Rect(0, 0, 320, 480)).setTo(cv::Scalar(200, 40, 40));     // blue left half
    frame(cv::Rect(560, 360, 80, 120)).setTo(cv::Scalar(40, 200, 40));  // green corner
    const std::vector<lm::Detection> bodies = {bodyAt({400, 100, 80, 160}), bodyAt({50, 100, 80, 160}),
                                               bodyAt({560, 360, 200, 300}), bodyAt({560, 360, 80, 120})};
    const auto vectors = encoder.encodeBodies(frame, bodies);
    ASSERT_EQ(vectors.size(), 4u);
    EXPECT_LT(vectors[0][128], 0.0f);   // grey: blue below its mean
    EXPECT_GT(vectors[1][128], 1.0f);   // blue
    EXPECT_EQ(vectors[2], vectors[3]);  // the part inside the frame is the same crop
    EXPECT_EQ(lm::BodyEncoder::similarity(vectors[2], vectors[3], BODY_SCALE), 1.0f);
    EXPECT_LT(lm::BodyEncoder::similarity(vectors[0], vectors[1], BODY_SCALE), 0.9f);
}

TEST_F(BodyEncoderTest, NoDetectionsRunNoPass) {
    // With the wrong-length encoder a pass would fail: none runs for an empty list.
    lm::Settings s = models.settings();
    s.neuralNetworksPath = models.freshDirectory();
    lm::models::writeTestNetwork(s.neuralNetworksPath, "bodyencoder", {false, 256});
    encoder.onSettingsUpdate(s);
    EXPECT_TRUE(encoder.encodeBodies(lmtest::colourFrame(0, 0, 0), {}).empty());
}

TEST_F(BodyEncoderTest, WrongLengthEncoderFailsWithoutAPartialResult) {
    lm::Settings s = models.settings();
    s.neuralNetworksPath = models.freshDirectory();
    lm::models::writeTestNetwork(s.neuralNetworksPath, "bodyencoder", {false, 256});
    encoder.onSettingsUpdate(s);
    std::vector<lm::AppearanceVector> result = {filled(7.0f)};
    try {
        result = encoder.encodeBodies(lmtest::colourFrame(90, 90, 90), {bodyAt({10, 10, 50, 100})});
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Encoder network not compatible with this version of the SDK");
    }
    ASSERT_EQ(result.size(), 1u);
    EXPECT_EQ(result[0][0], 7.0f);
    // The stage stays usable once a fitting network is back.
    encoder.onSettingsUpdate(models.settings());
    EXPECT_EQ(encoder.encodeBodies(lmtest::colourFrame(90, 90, 90), {bodyAt({10, 10, 50, 100})}).size(), 1u);
}

}  // namespace
