#include "lm_facemask.h"

namespace lm {

namespace {

const char* const BASE_NAME = "facemask";
const cv::Size INPUT_SIZE(112, 112);
const cv::Scalar RGB_MEAN(131.0912, 103.8827, 91.4953, 0);
const char* const FACEMASK_OUTPUT_SCOPE = "model/mask/Softmax";
constexpr std::size_t MASK_CLASS = 2;  // the mask class; the others are not read
const std::vector<std::string> OUTPUT_NAMES = {FACEMASK_OUTPUT_SCOPE};

}  // namespace

void FaceMask::loadNetwork(const Settings& settings) { mModel.load(settings, BASE_NAME); }

void FaceMask::onSettingsUpdate(const Settings& settings) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mModel.differs(settings)) loadNetwork(settings);
    mModel.setTarget(settings.gpuTargetEnabled());
    mUseFaceMask = settings.useFaceMask;
}

int FaceMask::preferableTarget() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mModel.target();
}

void FaceMask::estimate(const cv::Mat& frame, std::vector<Person>& people) {
    if (!mUseFaceMask) return;
    std::lock_guard<std::mutex> lock(mMutex);
    if (!mUseFaceMask) return;  // switched off while this call waited for the lock
    runFacePasses(mModel.net(), frame, people, INPUT_SIZE, RGB_MEAN, OUTPUT_NAMES, mOutputs,
                  [](Person& person, const std::vector<cv::Mat>& outputs) {
                      person.faceMask = clampScore(outputValues(outputs[0], MASK_CLASS + 1)[MASK_CLASS], 0.0f, 1.0f);
                  });
}

}  // namespace lm
