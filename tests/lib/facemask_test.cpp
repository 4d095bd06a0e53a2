// The face-mask estimator: the third class of its network, clamped; its switch.

#include <gtest/gtest.h>

#include "face_estimator.h"
#include "lm_facemask.h"
#include "support/face_estimators.h"

namespace {

class FaceMaskTest : public lmtest::FaceEstimatorTest<lm::FaceMask> {
public:
    FaceMaskTest() : FaceEstimatorTest("facemask", 112) {}
    void useMaskRow(const std::vector<float>& values) { useConstants({{"model/mask/Softmax", values}}); }
};

TEST_F(FaceMaskTest, ABrightLowerHalfOfTheCropIsAMask) {
    stage.onSettingsUpdate(models.settings());
    EXPECT_NEAR(lmtest::estimateOne(stage, grey).faceMask, 1.0f / 3.0f, 0.01f);

    // The lower half of the face's crop brighter than the upper half.
    cv::Mat frame = lmtest::colourFrame(40, 40, 40);
    const cv::Rect square = lm::faceCropSquare(lmtest::FACE_BOX, frame);
    frame(cv::Rect(square.x, square.y + square.height / 2, square.width, square.height - square.height / 2))
        .setTo(cv::Scalar::all(230));
    EXPECT_GT(lmtest::estimateOne(stage, frame).faceMask, 0.9f);
}

TEST_F(FaceMaskTest, MaskIsTheThirdValueClamped) {
    const struct {
        std::vector<float> values;
        float mask;
    } cases[] = {{{0.1f, 0.2f, 0.7f}, 0.7f}, {{0.9f, 0.0f, 1.4f}, 1.0f}, {{0.5f, 0.6f, -0.1f}, 0.0f}};
    for (const auto& c : cases) {
        useMaskRow(c.values);
        EXPECT_EQ(lmtest::estimateOne(stage, grey).faceMask, c.mask);
    }
}

TEST_F(FaceMaskTest, AHeadWithoutTheMaskClassFailsWithoutReadingPastIt) {
    useMaskRow({0.1f, 0.9f});
    std::vector<lm::Person> people = {lmtest::faceAt(lmtest::FACE_BOX)};
    EXPECT_THROW(stage.estimate(grey, people), std::runtime_error);
    EXPECT_EQ(people[0].faceMask, -1.0f);
}

TEST_F(FaceMaskTest, SwitchedOffOrUndersizedTouchesNothing) {
    lm::Settings s = models.settings();
    s.useFaceMask = false;
    stage.onSettingsUpdate(s);
    EXPECT_EQ(lmtest::estimateOne(stage, grey).faceMask, -1.0f);
    s.useFaceMask = true;
    stage.onSettingsUpdate(s);
    EXPECT_EQ(lmtest::estimateOne(stage, grey, {100, 100, 14, 40}).faceMask, -1.0f);
    EXPECT_NE(lmtest::estimateOne(stage, grey, {100, 100, 15, 15}).faceMask, -1.0f);
}

}  // namespace
