#include "lm_facemask.h"

namespace lm {

namespace {

const char* const BASE_NAME = "facemask";
constexpr int INPUT_SIDE = 112;
const char* const FACEMASK_OUTPUT_SCOPE = "model/mask/Softmax";
constexpr std::size_t MASK_CLASS = 2;  // the mask class; the others are not read

}  // namespace

FaceMask::FaceMask() : FaceEstimator(BASE_NAME, INPUT_SIDE, {FACEMASK_OUTPUT_SCOPE}) {}

bool FaceMask::takeSwitches(const Settings& settings) { return settings.useFaceMask; }

void FaceMask::decode(Person& person, const std::vector<cv::Mat>& outputs, const cv::Size&) const {
    person.faceMask = clampScore(outputValues(outputs[0], MASK_CLASS + 1)[MASK_CLASS], 0.0f, 1.0f);
}

}  // namespace lm
