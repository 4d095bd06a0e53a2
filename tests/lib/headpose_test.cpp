// The head-pose estimator: the angles from their bin rows, the viewing and dwelling windows
// by distance, the head's position in camera coordinates and the head gaze.

#include <gtest/gtest.h>

#include <limits>

#include "lm_headpose.h"
#include "support/face_estimators.h"

namespace {

namespace hp = lm::headpose;

cv::Mat binRow(int bins, std::initializer_list<std::pair<int, float>> values) {
    cv::Mat row(std::vector<int>{1, bins}, CV_32F, cv::Scalar(0));
    for (const auto& [index, value] : values) row.ptr<float>()[index] = value;
    return row;
}

TEST(HeadposeGeometry, ExpectedAngleCountsBinsFromTheMiddle) {
    EXPECT_EQ(hp::expectedAngle(binRow(180, {{90, 1.0f}})), 0.0f);
    EXPECT_EQ(hp::expectedAngle(binRow(180, {{100, 1.0f}})), 10.0f);
    EXPECT_EQ(hp::expectedAngle(binRow(180, {{0, 1.0f}})), -90.0f);
    EXPECT_EQ(hp::expectedAngle(binRow(180, {{10, 0.5f}, {11, 0.5f}})), -79.5f);
    EXPECT_EQ(hp::expectedAngle(binRow(7, {{5, 1.0f}})), 1.5f);
}

TEST(HeadposeGeometry, WindowsNarrowWithDistance) {
    const struct {
        int distance;
        float viewing, dwelling;
    } cases[] = {{0, 45.0f, 90.0f},     {50, 45.0f, 90.0f},   {99, 45.0f, 90.0f},    {100, 39.198f, 90.0f},
                 {120, 31.30f, 90.0f},  {159, 22.70f, 90.0f}, {160, 22.55f, 89.23f}, {200, 17.72f, 58.99f},
                 {237, 14.82f, 45.87f}, {238, 15.0f, 45.0f},  {5000, 15.0f, 45.0f},  {-5, 45.0f, 90.0f}};
    for (const auto& c : cases) {
        const hp::Windows w = hp::windowsAt(c.distance);
        EXPECT_NEAR(w.viewing, c.viewing, 0.01f) << c.distance;
        EXPECT_NEAR(w.dwelling, c.dwelling, 0.01f) << c.distance;
    }
}

TEST(HeadposeGeometry, WorldPositionPlacesTheHeadFromBoxAndDistance) {
    const cv::Size vga(640, 480);
    const struct {
        cv::Rect box;
        int distance;
        lm::WorldPosition position;
    } cases[] = {
        {{300, 200, 40, 40}, 249, {0, 7, 248}},
        {{0, 0, 30, 30}, 20, {-152, 112, 0}},  // nearer than its offset from the centre
        {{300, 200, 40, 40}, 0, {0, 7, 0}},
        {{340, 240, 40, 40}, 100, {15, -7, 98}},
    };
    for (const auto& c : cases) {
        const lm::WorldPosition p = hp::worldPosition(c.box, c.distance, vga);
        EXPECT_EQ(p.x, c.position.x) << c.box;
        EXPECT_EQ(p.y, c.position.y) << c.box;
        EXPECT_EQ(p.z, c.position.z) << c.box;
    }
}

TEST(HeadposeGeometry, GazeMeetsTheCameraPlane) {
    const struct {
        lm::WorldPosition head;
        int yaw, pitch;
        int x, y;
    } cases[] = {
        {{0, 7, 248}, 0, 0, 0, 0},  {{0, 7, 248}, 10, 0, -43, 0},  {{0, 7, 248}, 0, 10, 0, 43},
        {{0, 0, 0}, 0, 0, 0, 0},                                    // a head at the camera has no direction: (0, 0)
        {{0, 0, 0}, 30, -20, 0, 0}, {{50, 0, 0}, 0, 0, -99950, 0},  // parallel to the plane: the fallback ray length 100000
    };
    for (const auto& c : cases) {
        const lm::Headgaze g =
            hp::headgaze(c.head, static_cast<std::int16_t>(c.yaw), static_cast<std::int16_t>(c.pitch));
        EXPECT_EQ(g.x, c.x) << c.yaw << "/" << c.pitch;
        EXPECT_EQ(g.y, c.y) << c.yaw << "/" << c.pitch;
    }
}

class HeadposeTest : public lmtest::FaceEstimatorTest<lm::HeadposeEstimator> {
public:
    HeadposeTest() : FaceEstimatorTest("headpose", 112) {}
};

TEST_F(HeadposeTest, AnglesAndFlagsFromTheTestNetwork) {
    stage.onSettingsUpdate(models.settings());
    // Angles (colour - 128) / 2 per channel, truncated toward zero; distance 200: windows
    // 17.72 and 58.99.
    const struct {
        int red, green, blue;
        int yaw, pitch, roll;
        bool viewing, dwelling;
    } cases[] = {
        {163, 128, 128, 17, 0, 0, true, true},
        {91, 149, 107, -18, 10, -10, false, true},
        {247, 128, 128, 59, 0, 0, false, false},
        {9, 128, 128, -59, 0, 0, false, false},
    };
    for (const auto& c : cases) {
        const lm::Person p =
            lmtest::estimateOne(stage, lmtest::colourFrame(c.red, c.green, c.blue), lmtest::FACE_BOX, 200);
        SCOPED_TRACE(c.red);
        EXPECT_EQ(p.headpose.yaw, c.yaw);
        EXPECT_EQ(p.headpose.pitch, c.pitch);
        EXPECT_EQ(p.headpose.roll, c.roll);
        EXPECT_EQ(p.isViewing, c.viewing);
        EXPECT_EQ(p.isDwelling, c.dwelling);
    }
}

TEST_F(HeadposeTest, PositionAndGazeOfTheWorkedExample) {
    stage.onSettingsUpdate(models.settings());
    const cv::Rect box(300, 200, 40, 40);
    const struct {
        int red, green;
        int x, y;
    } cases[] = {{128, 128, 0, 0}, {149, 128, -43, 0}, {128, 149, 0, 43}};
    for (const auto& c : cases) {
        const lm::Person p = lmtest::estimateOne(stage, lmtest::colourFrame(c.red, c.green, 128), box, 249);
        EXPECT_EQ(p.worldPosition.x, 0);
        EXPECT_EQ(p.worldPosition.y, 7);
        EXPECT_EQ(p.worldPosition.z, 248);
        EXPECT_EQ(p.headgaze.x, c.x) << c.red;
        EXPECT_EQ(p.headgaze.y, c.y) << c.green;
    }
}

TEST_F(HeadposeTest, AnglesBeyondTheFieldAreClamped) {
    std::vector<float> huge(180, 0.0f), nan(180, std::numeric_limits<float>::quiet_NaN()), low(180, 0.0f);
    huge[179] = 1.0e30f;
    low[0] = -1.0e30f;  // a negative "probability" drives the sum far below zero
    low[1] = -1.0e30f;
    useConstants({{"model/yaw/Softmax", huge}, {"model/pitch/Softmax", nan}, {"model/roll/Softmax", low}});
    const lm::Person p = lmtest::estimateOne(stage, grey, lmtest::FACE_BOX, 200);
    EXPECT_EQ(p.headpose.yaw, 32767);
    EXPECT_EQ(p.headpose.pitch, 0);
    EXPECT_EQ(p.headpose.roll, -32768);
    EXPECT_FALSE(p.isViewing || p.isDwelling);
}

TEST_F(HeadposeTest, SwitchedOffOrUndersizedTouchesNothing) {
    lm::Settings s = models.settings();
    s.useHeadpose = false;
    stage.onSettingsUpdate(s);
    const cv::Mat frame = lmtest::colourFrame(149, 128, 128);
    const auto untouched = [&](const lm::Person& p) {
        EXPECT_EQ(p.headpose.yaw, -360);
        EXPECT_EQ(p.headpose.pitch, -360);
        EXPECT_EQ(p.headpose.roll, -360);
        EXPECT_FALSE(p.isViewing || p.isDwelling);
        EXPECT_EQ(p.worldPosition.z, 0);
        EXPECT_EQ(p.headgaze.x, 0);
    };
    untouched(lmtest::estimateOne(stage, frame, lmtest::FACE_BOX, 60));
    s.useHeadpose = true;
    stage.onSettingsUpdate(s);
    untouched(lmtest::estimateOne(stage, frame, {100, 100, 14, 40}, 60));
    untouched(lmtest::estimateOne(stage, frame, {1000, 100, 40, 40}, 60));
    EXPECT_EQ(lmtest::estimateOne(stage, frame, lmtest::FACE_BOX, 60).headpose.yaw, 10);
}

}  // namespace
