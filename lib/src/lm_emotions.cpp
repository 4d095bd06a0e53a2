#include "lm_emotions.h"

namespace lm {

namespace {

const char* const BASE_NAME = "emotion";
constexpr int INPUT_SIDE = 112;
const char* const OUTPUT_SCOPE = "model/emotion/Softmax";

}  // namespace

EmotionsEstimator::EmotionsEstimator() : FaceEstimator(BASE_NAME, INPUT_SIDE, {OUTPUT_SCOPE}) {}

bool EmotionsEstimator::takeSwitches(const Settings& settings) { return settings.useEmotions; }

void EmotionsEstimator::decode(Person& person, const std::vector<cv::Mat>& outputs, const cv::Size&) const {
    const float* scores = outputValues(outputs[0], person.emotions.size());
    for (std::size_t k = 0; k < person.emotions.size(); ++k) person.emotions[k] = clampScore(scores[k], 0.0f, 1.0f);
}

}  // namespace lm
