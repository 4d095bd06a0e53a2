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

// A box lying this much inside a more confident one is a part of that face: the detector's
// frame pass boxes the eyes or the lower face of a face that its half-size pass boxes whole,
// and each would be counted as a person of its own.
constexpr double INSIDE_SHARE = 0.8;

// Per box, whether it passes the threshold and lies no more than INSIDE_SHARE of its area
// inside a more confident box that passes it too.
std::vector<bool> keptBoxes(const std::vector<cv::Rect>& boxes, const std::vector<float>& confidences,
                            float threshold) {
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < boxes.size(); ++i)
        if (confidences[i] >= threshold) order.push_back(i);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return confidences[a] > confidences[b]; });
    std::vector<bool> kept(boxes.size(), false);
    for (std::size_t k = 0; k < order.size(); ++k) {
        const cv::Rect& box = boxes[order[k]];
        kept[order[k]] = std::none_of(order.begin(), order.begin() + k, [&](std::size_t j) {
            return kept[j] && (box & boxes[j]).area() >= INSIDE_SHARE * box.area();
        });
    }
    return kept;
}

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
    const std::vector<bool> kept = keptBoxes(boxes, confidences, mConfidenceThreshold);
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        const cv::Rect& box = boxes[i];
        if (!kept[i]) continue;
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
