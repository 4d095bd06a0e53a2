#include "lm_bodyencoder.h"

#include <algorithm>
#include <stdexcept>

#include "lumora/lm_help_rect.h"

namespace lm {

namespace {

const char* const BASE_NAME = "bodyencoder";
// 1 / 57.63 after the mean.
const BlobInput INPUT{cv::Size(128, 256), cv::Scalar(123.675, 116.28, 103.56, 0), 0.01735207357279195};

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
    std::vector<cv::Mat> crops;
    for (const Detection& detection : detections) crops.push_back(frame(help::clipRect(detection.boundingBox, frame)));
    std::vector<AppearanceVector> vectors(detections.size(), AppearanceVector{});
    if (crops.empty()) return vectors;
    const OutputsPerImage outputs = mModel.forwardEach(crops, INPUT, {});
    for (std::size_t i = 0; i < vectors.size(); ++i) {
        const cv::Mat& output = outputs[i][0];
        if (output.total() != vectors[i].size())
            throw std::runtime_error("Encoder network not compatible with this version of the SDK");
        std::copy_n(output.ptr<float>(), vectors[i].size(), vectors[i].begin());
    }
    return vectors;
}

}  // namespace lm
