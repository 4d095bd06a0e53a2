#include "face_estimator.h"

#include <algorithm>
#include <utility>

#include <opencv2/dnn.hpp>

#include "lumora/lm_help_rect.h"

namespace lm {

namespace {

constexpr float CROP_PADDING = 0.3f;
constexpr float CROP_SHRINK = -0.0625f;

}  // namespace

cv::Rect faceCropSquare(const cv::Rect& box, const cv::Mat& frame) {
    const cv::Rect c = help::padClipRect(help::padRect(box, CROP_PADDING), CROP_SHRINK, frame);
    const int side = std::min(c.width, c.height);
    return {c.x + (c.width - side) / 2, c.y + (c.height - side) / 2, side, side};
}

cv::Rect estimatorCrop(const cv::Rect& box, const cv::Mat& frame) {
    if (box.width < MIN_BBOX_SIZE.width || box.height < MIN_BBOX_SIZE.height) return {};
    return faceCropSquare(box, frame);
}

FaceEstimator::FaceEstimator(const char* baseName, int inputSide, std::vector<std::string> heads)
    : mBaseName(baseName), mInputSize(inputSide, inputSide), mHeads(std::move(heads)) {}

std::vector<std::string> FaceEstimator::headsFor(const Settings&) const { return mHeads; }

void FaceEstimator::onSettingsUpdate(const Settings& settings) {
    std::lock_guard<std::mutex> lock(mMutex);
    std::vector<std::string> heads = headsFor(settings);
    if (mModel.differs(settings) || heads != mHeads) mModel.load(settings, mBaseName);
    mModel.setTarget(settings.gpuTargetEnabled());
    mHeads = std::move(heads);
    mSwitchedOn = takeSwitches(settings);
}

int FaceEstimator::preferableTarget() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mModel.target();
}

void FaceEstimator::estimate(const cv::Mat& frame, std::vector<Person>& people) {
    if (!mSwitchedOn) return;
    std::lock_guard<std::mutex> lock(mMutex);
    if (!mSwitchedOn) return;  // switched off while this call waited for the lock
    std::vector<Person*> faces;
    std::vector<cv::Mat> crops;
    for (Person& person : people) {
        const cv::Rect square = estimatorCrop(person.boundingBox, frame);
        if (square.empty()) continue;
        faces.push_back(&person);
        crops.push_back(frame(square));
    }
    if (faces.empty()) return;
    const OutputsPerImage outputs = mModel.forwardEach(crops, {mInputSize, FACE_CROP_MEAN, 1.0}, mHeads);
    for (std::size_t i = 0; i < faces.size(); ++i) decode(*faces[i], outputs[i], frame.size());
}

}  // namespace lm
