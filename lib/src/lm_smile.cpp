#include "lm_smile.h"

namespace lm {

namespace {

const char* const BASE_NAME = "smile";
const cv::Size INPUT_SIZE(64, 64);
const cv::Scalar RGB_MEAN(131.0912, 103.8827, 91.4953, 0);
const char* const SMILE_OUTPUT_SCOPE = "model/smile/Sigmoid";
const std::vector<std::string> OUTPUT_NAMES = {SMILE_OUTPUT_SCOPE};

}  // namespace

void Smile::loadNetwork(const Settings& settings) { mModel.load(settings, BASE_NAME); }

void Smile::onSettingsUpdate(const Settings& settings) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mModel.differs(settings)) loadNetwork(settings);
    mModel.setTarget(settings.gpuTargetEnabled());
    mUseSmile = settings.useSmile;
}

int Smile::preferableTarget() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mModel.target();
}

void Smile::estimate(const cv::Mat& frame, std::vector<Person>& people) {
    if (!mUseSmile) return;
    std::lock_guard<std::mutex> lock(mMutex);
    if (!mUseSmile) return;  // switched off while this call waited for the lock
    runFacePasses(mModel.net(), frame, people, INPUT_SIZE, RGB_MEAN, OUTPUT_NAMES, mOutputs,
                  [](Person& person, const std::vector<cv::Mat>& outputs) {
                      person.smile = clampScore(outputValues(outputs[0], 1)[0], 0.0f, 1.0f);
                  });
}

}  // namespace lm
