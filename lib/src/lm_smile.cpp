#include "lm_smile.h"

namespace lm {

namespace {

const char* const BASE_NAME = "smile";
constexpr int INPUT_SIDE = 64;
const char* const SMILE_OUTPUT_SCOPE = "model/smile/Sigmoid";

}  // namespace

Smile::Smile() : FaceEstimator(BASE_NAME, INPUT_SIDE, {SMILE_OUTPUT_SCOPE}) {}

bool Smile::takeSwitches(const Settings& settings) { return settings.useSmile; }

void Smile::decode(Person& person, const std::vector<cv::Mat>& outputs, const cv::Size&) const {
    person.smile = clampScore(outputValues(outputs[0], 1)[0], 0.0f, 1.0f);
}

}  // namespace lm
