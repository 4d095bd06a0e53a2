#include "lm_facedetector.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "clock.h"

namespace lm {

namespace {

const cv::Size INPUT_SIZE_REGULAR(640, 480);
const cv::Size INPUT_SIZE_LONG(1024, 768);
const cv::Scalar RGB_MEAN(123, 117, 104, 0);
constexpr float MIN_CONFIDENCE_THRESHOLD = 0.1f;
constexpr float NMS_THRESHOLD = 0.0f;

const char* baseName(Settings::Range range) { return range == Settings::REGULAR ? "detect_regular" : "detect_long"; }
cv::Size inputSize(Settings::Range range) { return range == Settings::REGULAR ? INPUT_SIZE_REGULAR : INPUT_SIZE_LONG; }

// Written so that NaN also falls to the floor: an unfloored threshold lets OpenCV's
// all-zero "nothing found" row through as a face.
float flooredThreshold(float threshold) {
    return threshold >= MIN_CONFIDENCE_THRESHOLD ? threshold : MIN_CONFIDENCE_THRESHOLD;
}

std::int32_t nonNegativeOr(std::int32_t value, std::int32_t fallback) { return value >= 0 ? value : fallback; }

}  // namespace

float distanceConstant(int frameWidth) {
    switch (frameWidth) {
        case 320: return 43500.0f;
        case 640: return 99900.0f;
        case 800: return 108750.0078125f;
        case 1024: return 130500.0f;
        case 1280: return 130500.0f;
        case 1920: return 195450.015625f;
        default: return 66900.0f;
    }
}

std::int32_t distanceFromCamera(int boxWidth, int frameWidth) {
    return truncateToInt32(distanceConstant(frameWidth) / static_cast<float>(boxWidth) / 10.0f);
}

void FaceDetector::loadNetwork(const Settings& settings) {
    mModel.load(settings, baseName(settings.detectionRange));
    mRange = settings.detectionRange;
    mDetector.emplace(mModel.net());
    mDetector->setInputScale(1.0).setInputSwapRB(true).setInputSize(inputSize(mRange)).setInputMean(RGB_MEAN);
}

void FaceDetector::onSettingsUpdate(const Settings& settings) {
    std::lock_guard<std::mutex> lock(mMutex);
    // The second look first: a failure there leaves the detector as it was too.
    mVerifier.onSettingsUpdate(settings);
    loadNetwork(settings);
    // The detection model runs the stage's network itself, so the target set on that
    // network is the detection model's target.
    mModel.setTarget(settings.gpuTargetEnabled());
    mConfidenceThreshold = flooredThreshold(settings.faceConfidenceThreshold);
    mMaxNumFaces = nonNegativeOr(settings.maxNumFaces, -1);
    mMinFaceSize = nonNegativeOr(settings.minFaceSize, 0);
    mMaxFaceSize = nonNegativeOr(settings.maxFaceSize, 0);
}

int FaceDetector::preferableTarget() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mModel.target();
}

std::vector<Person> FaceDetector::detect(const cv::Mat& frame) {
    std::lock_guard<std::mutex> lock(mMutex);
    std::vector<int> classIds;
    std::vector<float> confidences;
    std::vector<cv::Rect> boxes;
    if (!mDetector) throw std::logic_error("Face detection before any model was loaded");
    // A box the detector scores under the threshold may still be a face to the second look.
    const float detectorThreshold =
        mVerifier.active() ? std::min(mConfidenceThreshold, SECOND_LOOK) : mConfidenceThreshold;
    mDetector->detect(frame, classIds, confidences, boxes, detectorThreshold, NMS_THRESHOLD);
    mVerifier.verify(frame, boxes, confidences);
    // The library's clock, which the trackers and aggregators read too.
    const TimePoint detectionTime = clock::systemNow();

    std::vector<Person> people;
    if (boxes.empty()) return people;
    people.reserve(boxes.size());
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        const cv::Rect& box = boxes[i];
        if (!(confidences[i] >= mConfidenceThreshold)) continue;
        if (mMaxFaceSize >= 1 && box.width > mMaxFaceSize) continue;
        if (mMinFaceSize >= 1 && box.width < mMinFaceSize) continue;
        Person person;
        person.detectionConfidence = confidences[i];
        person.boundingBox = box;
        person.distanceFromCamera = distanceFromCamera(box.width, frame.cols);
        person.detectionTime = detectionTime;
        people.push_back(person);
    }
    std::sort(people.begin(), people.end(), [](const Person& a, const Person& b) {
        return a.boundingBox.width * a.boundingBox.height > b.boundingBox.width * b.boundingBox.height;
    });
    const auto maxFaces = static_cast<std::uint32_t>(mMaxNumFaces);
    if (maxFaces < people.size()) people.resize(maxFaces);
    return people;
}

}  // namespace lm
