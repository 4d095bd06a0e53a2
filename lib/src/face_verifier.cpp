#include "face_verifier.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "face_estimator.h"

namespace lm {

namespace {

const char* const BASE_NAME = "faceverify";
const char* const OUTPUT = "model/face/Softmax";
constexpr std::size_t FACE_CLASS = 2;
const cv::Size INPUT_SIZE(112, 112);
// Keeps the logits finite for a confidence of exactly 0 or 1.
constexpr double PROBABILITY_FLOOR = 1e-6;

double logit(double p) {
    const double clamped = std::clamp(p, PROBABILITY_FLOOR, 1.0 - PROBABILITY_FLOOR);
    return std::log(clamped / (1.0 - clamped));
}

}  // namespace

void FaceVerifier::onSettingsUpdate(const Settings& settings) {
    const ModelFiles files = modelFiles(settings.neuralNetworksPath, BASE_NAME, settings.networkType);
    std::error_code ignored;
    if (!std::filesystem::exists(files.description, ignored)) {
        mActive = false;
        return;
    }
    mModel.load(settings, BASE_NAME);
    mModel.setTarget(settings.gpuTargetEnabled());
    mActive = true;
}

void FaceVerifier::verify(const cv::Mat& frame, const std::vector<cv::Rect>& boxes, std::vector<float>& confidences) {
    if (!mActive) return;
    std::vector<std::size_t> looked;
    std::vector<cv::Mat> crops;
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        if (!(confidences[i] >= SECOND_LOOK)) continue;
        const cv::Rect square = estimatorCrop(boxes[i], frame);
        if (square.empty()) continue;
        looked.push_back(i);
        crops.push_back(frame(square));
    }
    if (crops.empty()) return;
    const OutputsPerImage outputs = mModel.forwardEach(crops, {INPUT_SIZE, FACE_CROP_MEAN, 1.0}, {OUTPUT});
    for (std::size_t k = 0; k < looked.size(); ++k) {
        const double p = outputValues(outputs[k][0], FACE_CLASS + 1)[FACE_CLASS];
        float& confidence = confidences[looked[k]];
        confidence = static_cast<float>(1.0 / (1.0 + std::exp(-(logit(confidence) + logit(p)))));
    }
}

}  // namespace lm
