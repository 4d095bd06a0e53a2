#include "lm_bodydetector.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "clock.h"

namespace lm {

namespace {

const char* const BASE_NAME = "bodydetect";
const cv::Size INPUT_SIZE(640, 480);
const cv::Scalar RGB_MEAN(123, 117, 104, 0);
constexpr float CONFIDENCE_THRESHOLD = 0.7f;
constexpr float NMS_THRESHOLD = 0.0f;

}  // namespace

void BodyDetector::loadNetwork(const Settings& settings) {
    mModel.load(settings, BASE_NAME);
    mDetector.emplace(mModel.net());
    mDetector->setInputScale(1.0).setInputSwapRB(true).setInputSize(INPUT_SIZE).setInputMean(RGB_MEAN);
}

void BodyDetector::onSettingsUpdate(const Settings& settings) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mModel.differs(settings)) loadNetwork(settings);
    // The detection model runs the stage's network itself, so this is its target too.
    mModel.setTarget(settings.gpuTargetEnabled());
}

int BodyDetector::preferableTarget() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mModel.target();
}

std::vector<Detection> BodyDetector::detect(const cv::Mat& frame) {
    std::lock_guard<std::mutex> lock(mMutex);
    std::vector<int> classIds;
    std::vector<float> confidences;
    std::vector<cv::Rect> boxes;
    if (!mDetector) throw std::logic_error("Body detection before any model was loaded");
    mDetector->detect(frame, classIds, confidences, boxes, CONFIDENCE_THRESHOLD, NMS_THRESHOLD);
    // The library's clock, which the trackers and aggregators read too.
    const TimePoint detectionTime = clock::systemNow();

    std::vector<Detection> detections;
    detections.reserve(boxes.size());
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        Detection detection;
        detection.boundingBox = boxes[i];
        detection.detectionConfidence = confidences[i];
        detection.detectionTime = detectionTime;
        detections.push_back(detection);
    }
    std::sort(detections.begin(), detections.end(), [](const Detection& a, const Detection& b) {
        return a.boundingBox.width * a.boundingBox.height > b.boundingBox.width * b.boundingBox.height;
    });
    return detections;
}

}  // namespace lm
