// The emotion estimator: seven scores in the network's order, each clamped; its switch.

#include <gtest/gtest.h>

#include <algorithm>

#include "lm_emotions.h"
#include "support/stages.h"

namespace {

class EmotionsTest : public ::testing::Test {
protected:
    void useConstants(const std::vector<float>& values) {
        lm::Settings s = models.settings();
        s.neuralNetworksPath = models.freshDirectory();
        lmtest::writeConstantNetwork(s.neuralNetworksPath, "emotion", 112, {{"model/emotion/Softmax", values}});
        stage.onSettingsUpdate(s);
    }

    lmtest::ModelDir models;
    lm::EmotionsEstimator stage;
    const cv::Mat grey = lmtest::colourFrame(128, 128, 128);
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
    useConstants({0.5f, 0.1f, 0.1f, 0.1f, 0.1f, 0.05f, 0.05f, 0.9f});  // an eighth value is not read
    EXPECT_EQ(lmtest::estimateOne(stage, grey).emotions, (lm::Emotions{0.5f, 0.1f, 0.1f, 0.1f, 0.1f, 0.05f, 0.05f}));
    useConstants({1.5f, -0.5f, 0.0f, 1.0f, 0.25f, -3.0f, 7.0f});
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
