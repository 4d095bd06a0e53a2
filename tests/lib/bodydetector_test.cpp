// The body detector on the generated slot detector: a grid of 8 x 4 slots of 80 x 120
// pixels; a grey slot is detected with confidence grey / 255.

#include <gtest/gtest.h>

#include "lm_bodydetector.h"
#include "support/stages.h"

namespace {

cv::Rect bodySlot(int index) { return {80 * (index % 8), 120 * (index / 8), 80, 120}; }

cv::Mat frameWithBodies(const std::vector<int>& slots, int grey = 255) {
    cv::Mat frame(480, 640, CV_8UC3, cv::Scalar::all(0));
    for (int i : slots) frame(bodySlot(i)).setTo(cv::Scalar::all(grey));
    return frame;
}

class BodyDetectorTest : public ::testing::Test {
protected:
    void SetUp() override { detector.onSettingsUpdate(models.settings()); }
    lmtest::ModelDir models;
    lm::BodyDetector detector;
};

TEST_F(BodyDetectorTest, FixedThresholdOfSevenTenths) {
    EXPECT_TRUE(detector.detect(frameWithBodies({})).empty());
    const struct {
        int grey;
        bool found;
    } cases[] = {{170, false}, {178, false}, {180, true}, {255, true}};  // 0.667, 0.698, 0.706, 1
    for (const auto& c : cases)
        EXPECT_EQ(detector.detect(frameWithBodies({9}, c.grey)).size(), c.found ? 1u : 0u) << c.grey;
}

TEST_F(BodyDetectorTest, BodiesComeLargestAreaFirstWithOneTime) {
    // Reported boxes are a pixel larger than their slot, clipped by the frame: inside 81 x 121,
    // bottom row 81 x 120, right column 80 x 121, corner 80 x 120. No limit on their number.
    const auto bodies = detector.detect(frameWithBodies({31, 7, 24, 0, 1, 2, 3, 4, 5, 6, 8, 9, 10}));
    ASSERT_EQ(bodies.size(), 13u);
    EXPECT_EQ(bodies[10].boundingBox, cv::Rect(0, 360, 81, 120));
    EXPECT_EQ(bodies[11].boundingBox, cv::Rect(560, 0, 80, 121));
    EXPECT_EQ(bodies[12].boundingBox, cv::Rect(560, 360, 80, 120));
    for (std::size_t i = 0; i < 10; ++i) EXPECT_EQ(bodies[i].boundingBox.area(), 81 * 121) << i;
    for (const lm::Detection& d : bodies) {
        EXPECT_EQ(d.id, 0u);
        EXPECT_EQ(d.detectionDuration.count(), 0);
        EXPECT_EQ(d.detectionTime, bodies[0].detectionTime);
        EXPECT_NEAR(d.detectionConfidence, 1.0f, 1e-4f);
    }
    EXPECT_NE(bodies[0].detectionTime, lm::TimePoint{});
}

}  // namespace
