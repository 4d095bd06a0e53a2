#include "training/stage_crops.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "face_estimator.h"
#include "lm_facedetector.h"
#include "real/real_models.h"

namespace lm::models::training {

namespace {

constexpr int STAGE_INPUT_SIDE = 112;

std::vector<LabelledPhoto> photosIn(const std::filesystem::path& folder, bool mask) {
    if (!std::filesystem::is_directory(folder)) throw std::runtime_error("no folder " + folder.string());
    std::vector<LabelledPhoto> photos;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.path().extension() == ".jpg")
            photos.push_back({entry.path().filename().string(), entry.path().string(), mask});
    if (photos.empty()) throw std::runtime_error("no .jpg photos in " + folder.string());
    std::sort(photos.begin(), photos.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    return photos;
}

}  // namespace

std::vector<LabelledPhoto> listLabelledPhotos(const std::string& dir) {
    std::vector<LabelledPhoto> photos = photosIn(std::filesystem::path(dir) / "with_mask", true);
    const std::vector<LabelledPhoto> bare = photosIn(std::filesystem::path(dir) / "without_mask", false);
    photos.insert(photos.end(), bare.begin(), bare.end());
    return photos;
}

cv::Mat photoOnCanvas(const cv::Mat& photo) {
    cv::Mat canvas(photo.rows * 2, photo.cols * 2, photo.type(), cv::mean(photo));
    photo.copyTo(canvas(cv::Rect(photo.cols / 2, photo.rows / 2, photo.cols, photo.rows)));
    return canvas;
}

StageCropper::StageCropper(const real::WeightsDir& weights, const std::string& scratchDir, float confidenceThreshold)
    : mDetector(std::make_unique<FaceDetector>()) {
    real::writeRealModel(weights, real::realModel("detect_regular"), scratchDir);
    Settings settings;
    settings.neuralNetworksPath = scratchDir;
    settings.faceConfidenceThreshold = confidenceThreshold;
    mDetector->onSettingsUpdate(settings);
}

StageCropper::~StageCropper() = default;

StageCrop StageCropper::cropFrame(const cv::Mat& frame) {
    const std::vector<Person> faces = mDetector->detect(frame);
    if (faces.empty()) return {};
    const cv::Rect square = estimatorCrop(faces.front().boundingBox, frame);
    if (square.empty()) return {};
    StageCrop crop{FaceFound::AsIs, faces.front().detectionConfidence, {}};
    // The same resize as the stage's blobFromImage, so the stored input is what it feeds.
    cv::resize(frame(square), crop.input, cv::Size(STAGE_INPUT_SIDE, STAGE_INPUT_SIDE), 0, 0, cv::INTER_LINEAR);
    return crop;
}

StageCrop StageCropper::cropPhoto(const cv::Mat& photo) {
    StageCrop crop = cropFrame(photo);
    if (crop.found != FaceFound::None) return crop;
    crop = cropFrame(photoOnCanvas(photo));
    if (crop.found != FaceFound::None) crop.found = FaceFound::OnCanvas;
    return crop;
}

}  // namespace lm::models::training
