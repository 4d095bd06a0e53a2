#include "lm_emotions.h"

namespace lm {

namespace {

const char* const BASE_NAME = "emotion";
const cv::Size INPUT_SIZE(112, 112);
const cv::Scalar RGB_MEAN(131.0912, 103.8827, 91.4953, 0);
const char* const OUTPUT_SCOPE = "model/emotion/Softmax";
const std::vector<std::string> OUTPUT_NAMES = {OUTPUT_SCOPE};

}  // namespace

void EmotionsEstimator::loadNetwork(const Settings& settings) { mModel.load(settings, BASE_NAME); }

void EmotionsEstimator::onSettingsUpdate(const Settings& settings) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mModel.differs(settings)) loadNetwork(settings);
    mModel.setTarget(settings.gpuTargetEnabled());
    mUseEmotions = settings.useEmotions;
}

int EmotionsEstimator::preferableTarget() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mModel.target();
}

void EmotionsEstimator::estimate(const cv::Mat& frame, std::vector<Person>& people) {
    if (!mUseEmotions) return;
    std::lock_guard<std::mutex> lock(mMutex);
    if (!mUseEmotions) return;  // switched off while this call waited for the lock
    runFacePasses(mModel.net(), frame, people, INPUT_SIZE, RGB_MEAN, OUTPUT_NAMES, mOutputs,
                  [](Person& person, const std::vector<cv::Mat>& outputs) {
                      const float* scores = outputValues(outputs[0], person.emotions.size());
                      for (std::size_t k = 0; k < person.emotions.size(); ++k)
                          person.emotions[k] = clampScore(scores[k], 0.0f, 1.0f);
                  });
}

}  // namespace lm
