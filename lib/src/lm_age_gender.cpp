#include "lm_age_gender.h"

#include <algorithm>

namespace lm {

namespace {

const char* const BASE_NAME = "agegender";
constexpr int INPUT_SIDE = 112;
const char* const AGE_OUTPUT_SCOPE = "model/age/Softmax";
const char* const GENDER_OUTPUT_SCOPE = "model/gender/Sigmoid";
constexpr float MAX_AGE = 101.0f;

// The expected index of the age distribution, summed in single precision in index order.
std::int32_t expectedAge(const cv::Mat& output) {
    const int bins = output.dims >= 2 ? output.size[1] : 0;
    if (bins <= 0) return 0;
    const float* p = outputValues(output, static_cast<std::size_t>(bins));
    float sum = 0.0f;
    for (int i = 0; i < bins; ++i) sum += static_cast<float>(i) * p[i];
    // Clamped as a float so that NaN or a huge sum cannot overflow the conversion.
    if (!(sum >= 0.0f)) return 0;
    return static_cast<std::int32_t>(std::min(sum, MAX_AGE));
}

float genderScore(const cv::Mat& output) { return clampScore(2.0f * outputValues(output, 1)[0] - 1.0f, -1.0f, 1.0f); }

}  // namespace

// No heads until the first settings arrive.
AgeGender::AgeGender() : FaceEstimator(BASE_NAME, INPUT_SIDE, {}) {}

std::vector<std::string> AgeGender::headsFor(const Settings& settings) const {
    std::vector<std::string> heads;
    if (settings.useAge) heads.emplace_back(AGE_OUTPUT_SCOPE);
    if (settings.useGender) heads.emplace_back(GENDER_OUTPUT_SCOPE);
    return heads;
}

// Both switches off ask for no head at all, and a pass with no heads must not run.
bool AgeGender::takeSwitches(const Settings& settings) {
    mUseAge = settings.useAge;
    mUseGender = settings.useGender;
    return mUseAge || mUseGender;
}

void AgeGender::decode(Person& person, const std::vector<cv::Mat>& outputs, const cv::Size&) const {
    if (mUseAge) person.age = expectedAge(outputs[0]);
    if (mUseGender) person.gender = genderScore(outputs[mUseAge ? 1 : 0]);
}

}  // namespace lm
