#include "lm_bodyencoder.h"

#include <algorithm>
#include <stdexcept>

#include "lumora/lm_help_rect.h"

namespace lm {

namespace {

const char* const BASE_NAME = "bodyencoder";
const cv::Size INPUT_SIZE(128, 256);
const cv::Scalar RGB_MEAN(123.675, 116.28, 103.56, 0);
constexpr double INPUT_SCALE = 0.01735207357279195;  // 1 / 57.63

}  // namespace

void BodyEncoder::loadNetwork(const Settings& settings) { mModel.load(settings, BASE_NAME); }

void BodyEncoder::onSettingsUpdate(const Settings& settings) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mModel.differs(settings)) loadNetwork(settings);
    mModel.setTarget(settings.gpuTargetEnabled());
}

int BodyEncoder::preferableTarget() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mModel.target();
}

std::vector<AppearanceVector> BodyEncoder::encodeBodies(const cv::Mat& frame,
                                                        const std::vector<Detection>& detections) {
    std::lock_guard<std::mutex> lock(mMutex);
    std::vector<AppearanceVector> vectors(detections.size(), AppearanceVector{});
    for (std::size_t i = 0; i < detections.size(); ++i) {
        const cv::Mat crop = frame(help::clipRect(detections[i].boundingBox, frame));
        mModel.net().setInput(cv::dnn::blobFromImage(crop, INPUT_SCALE, INPUT_SIZE, RGB_MEAN, true, false, CV_32F));
        const cv::Mat output = mModel.net().forward();
        if (output.total() != vectors[i].size())
            throw std::runtime_error("Encoder network not compatible with this version of the SDK");
        const cv::Mat values = output.isContinuous() ? output : output.clone();
        std::copy_n(values.ptr<float>(), vectors[i].size(), vectors[i].begin());
    }
    return vectors;
}

}  // namespace lm
