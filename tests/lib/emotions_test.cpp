// The emotion estimator: seven scores in the network's order, each clamped; its switch.

#include <gtest/gtest.h>

#include <algorithm>

#include "lm_emotions.h"
#include "support/face_estimators.h"

namespace {

class EmotionsTest : public lmtest::FaceEstimatorTest<lm::EmotionsEstimator> {
public:
    EmotionsTest() : FaceEstimatorTest("emotion", 112) {}
    void useScores(const std::vector<float>& values) { useConstants({{"model/emotion/Softmax", values}}); }
};

enum { NEUTRAL, ANGER, DISGUST, FEAR, HAPPINESS, SADNESS, SURPRISE };

TEST_F(EmotionsTest, ColoursOfTheTestNetworkLandOnTheirEmotions) {
    stage.onSettingsUpdate(models.settings());
    for (float score : lmtest::estimateOne(stage, grey).emotions) EXPECT_NEAR(score, 1.0f / 7.0f, 0.001f);

    const struct {
        int red, green, blue;
        int strongest;
    } cases[] = {{224, 128, 128, ANGER}, {128, 224, 128, HAPPINESS}, {128, 128, 224, SURPRISE}};
    for (const auto& c : cases) {
        const lm::Emotions e = lmtest::estimateOne(stage, lmtest::colourFrame(c.red, c.green, c.blue)).emotions;
        EXPECT_EQ(std::max_element(e.begin(), e.end()) - e.begin(), c.strongest);
        EXPECT_GT(e[c.strongest], 0.9f);
    }
}

TEST_F(EmotionsTest, ScoresKeepTheNetworksOrderAndAreClamped) {
    useScores({0.5f, 0.1f, 0.1f, 0.1f, 0.1f, 0.05f, 0.05f, 0.9f});  // an eighth value is not read
    EXPECT_EQ(lmtest::estimateOne(stage, grey).emotions, (lm::Emotions{0.5f, 0.1f, 0.1f, 0.1f, 0.1f, 0.05f, 0.05f}));
    useScores({1.5f, -0.5f, 0.0f, 1.0f, 0.25f, -3.0f, 7.0f});
    EXPECT_EQ(lmtest::estimateOne(stage, grey).emotions, (lm::Emotions{1.0f, 0.0f, 0.0f, 1.0f, 0.25f, 0.0f, 1.0f}));
}

TEST_F(EmotionsTest, SwitchedOffOrUndersizedTouchesNothing) {
    lm::Settings s = models.settings();
    s.useEmotions = false;
    stage.onSettingsUpdate(s);
    EXPECT_EQ(lmtest::estimateOne(stage, grey).emotions, lm::UNSET_EMOTIONS);
    s.useEmotions = true;
    stage.onSettingsUpdate(s);
    EXPECT_EQ(lmtest::estimateOne(stage, grey, {100, 100, 40, 14}).emotions, lm::UNSET_EMOTIONS);
    EXPECT_EQ(lmtest::estimateOne(stage, grey, {900, 100, 40, 40}).emotions, lm::UNSET_EMOTIONS);
    EXPECT_NE(lmtest::estimateOne(stage, grey, {100, 100, 15, 15}).emotions, lm::UNSET_EMOTIONS);
}

}  // namespace
