// The smile estimator: its decoding and clamp, its switch, and the faces it skips.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "lm_smile.h"
#include "support/face_estimators.h"

namespace {

class SmileTest : public lmtest::FaceEstimatorTest<lm::Smile> {
public:
    SmileTest() : FaceEstimatorTest("smile", 64) {}
    void useConstant(float value) { useConstants({{"model/smile/Sigmoid", {value}}}); }
};

TEST_F(SmileTest, ReadsTheSmileFromBlueOfTheTestNetwork) {
    stage.onSettingsUpdate(models.settings());
    const struct {
        int blue;
        float smile;
    } cases[] = {{128, 0.5f}, {160, 0.881f}, {96, 0.119f}};
    for (const auto& c : cases)
        EXPECT_NEAR(lmtest::estimateOne(stage, lmtest::colourFrame(128, 128, c.blue)).smile, c.smile, 0.002f) << c.blue;
}

TEST_F(SmileTest, SmileIsClampedToZeroAndOne) {
    const struct { float value, smile; } cases[] = {{1.3f, 1.0f}, {-0.2f, 0.0f}, {0.4f, 0.4f}, {1.0f, 1.0f}};
    for (const auto& c : cases) {
        useConstant(c.value);
        EXPECT_EQ(lmtest::estimateOne(stage, grey).smile, c.smile) << c.value;
    }
    useConstant(std::numeric_limits<float>::quiet_NaN());
    EXPECT_TRUE(std::isnan(lmtest::estimateOne(stage, grey).smile));
}

TEST_F(SmileTest, SwitchedOffTouchesNothing) {
    lm::Settings s = models.settings();
    s.useSmile = false;
    stage.onSettingsUpdate(s);
    EXPECT_EQ(lmtest::estimateOne(stage, lmtest::colourFrame(128, 128, 160)).smile, -1.0f);
    s.useSmile = true;
    stage.onSettingsUpdate(s);
    EXPECT_NEAR(lmtest::estimateOne(stage, lmtest::colourFrame(128, 128, 160)).smile, 0.881f, 0.002f);
}

TEST_F(SmileTest, UndersizedAndOutsideFacesKeepTheirValues) {
    stage.onSettingsUpdate(models.settings());
    std::vector<lm::Person> people = {lmtest::faceAt({100, 100, 14, 40}), lmtest::faceAt({100, 100, 40, 14}),
                                      lmtest::faceAt({-300, 600, 40, 40}), lmtest::faceAt({100, 100, 15, 15})};
    stage.estimate(lmtest::colourFrame(128, 128, 160), people);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(people[i].smile, -1.0f) << i;
    EXPECT_NEAR(people[3].smile, 0.881f, 0.002f);
}

}  // namespace
