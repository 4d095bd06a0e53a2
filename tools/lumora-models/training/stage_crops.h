#pragma once
// What the face-mask stage sees of a labelled photograph: the project's face detector runs
// on it (on a padded canvas when the photo is too tight for the detector), and the
// estimators' square crop of the largest face, resized to the stage's input as the
// stage's blob conversion resizes it.

#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "real/converters.h"

namespace lm {
class FaceDetector;
}

namespace lm::models::training {

struct LabelledPhoto {
    std::string name;  // the file name, unique over the set
    std::string path;
    bool mask = false;
};

// with_mask/*.jpg (mask) and without_mask/*.jpg of dir, in name order. Throws
// std::runtime_error when either folder is missing or empty.
std::vector<LabelledPhoto> listLabelledPhotos(const std::string& dir);

enum class FaceFound { AsIs, OnCanvas, None };

struct StageCrop {
    FaceFound found = FaceFound::None;
    float confidence = 0.0f;  // the detector's
    cv::Mat input;            // the square crop at the stage's input size; empty when no face
};

class StageCropper {
public:
    // Converts the face detector into scratchDir and loads it with the library's default
    // settings but for the confidence threshold.
    StageCropper(const real::WeightsDir& weights, const std::string& scratchDir, float confidenceThreshold);
    ~StageCropper();

    // The largest face of the frame, as the stage would crop it.
    StageCrop cropFrame(const cv::Mat& frame);
    // The photo as it stands, else centred on a canvas of its mean colour twice its size.
    StageCrop cropPhoto(const cv::Mat& photo);

private:
    std::unique_ptr<FaceDetector> mDetector;
};

// A frame with the photo in its middle: the detector needs some background around a face.
cv::Mat photoOnCanvas(const cv::Mat& photo);

}  // namespace lm::models::training
