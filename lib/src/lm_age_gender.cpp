#include "lm_age_gender.h"

#include <algorithm>

namespace lm {

namespace {

const char* const BASE_NAME = "agegender";
const cv::Size INPUT_SIZE(112, 112);
const cv::Scalar RGB_MEAN(131.0912, 103.8827, 91.4953, 0);
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

void AgeGender::loadNetwork(const Settings& settings) { mModel.load(settings, BASE_NAME); }

void AgeGender::onSettingsUpdate(const Settings& settings) {
    std::lock_guard<std::mutex> lock(mMutex);
    const bool switchesChanged = settings.useAge != mUseAge || settings.useGender != mUseGender;
    if (mModel.differs(settings) || switchesChanged) loadNetwork(settings);
    mModel.setTarget(settings.gpuTargetEnabled());

    mOutputNames.clear();
    mOutputs.clear();
    mOutputNames.reserve(2);
    mOutputs.reserve(2);
    mUseAge = settings.useAge;
    if (mUseAge) mOutputNames.emplace_back(AGE_OUTPUT_SCOPE);
    mUseGender = settings.useGender;
    if (mUseGender) mOutputNames.emplace_back(GENDER_OUTPUT_SCOPE);
}

int AgeGender::preferableTarget() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mModel.target();
}

void AgeGender::estimate(const cv::Mat& frame, std::vector<Person>& people) {
    if (!mUseAge && !mUseGender) return;
    std::lock_guard<std::mutex> lock(mMutex);
    // Read again under the lock: an update may have switched both heads off since, and a
    // pass with no output names must not run.
    const bool useAge = mUseAge;
    const bool useGender = mUseGender;
    if (mOutputNames.empty()) return;
    runFacePasses(mModel.net(), frame, people, INPUT_SIZE, RGB_MEAN, mOutputNames, mOutputs,
                  [&](Person& person, const std::vector<cv::Mat>& outputs) {
                      if (useAge) person.age = expectedAge(outputs[0]);
                      if (useGender) person.gender = genderScore(outputs[useAge ? 1 : 0]);
                  });
}

}  // namespace lm
