#pragma once
// The face detector: the first stage of the face pipeline. It finds the faces of a frame
// with a detection model over "detect_regular" or "detect_long", takes a second look at
// its boxes where the model directory holds "faceverify" (face_verifier.h), keeps those
// that pass the confidence, width and count limits of the settings and do not lie mostly
// inside a more confident box (a part of that face), estimates each face's distance from
// the camera from its box width, and returns them largest box first.

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include <opencv2/dnn.hpp>

#include "face_verifier.h"
#include "lm_network.h"
#include "lm_settings_observer.h"
#include "lumora/lm_records.h"

namespace lm {

class FaceDetector : public ISettingsObserver {
public:
    FaceDetector() = default;
    ~FaceDetector() override = default;
    FaceDetector(const FaceDetector&) = delete;
    FaceDetector& operator=(const FaceDetector&) = delete;

    // Loads the model on every update, changed or not, so a failed load is retried by the
    // next update. On failure the previous model, target, threshold and limits stay.
    void onSettingsUpdate(const Settings& settings) override;

    // New records with every attribute unset but the box, confidence, distance and time.
    std::vector<Person> detect(const cv::Mat& frame);

    // The target last applied to the detection model (cv::dnn::Target).
    int preferableTarget() const;

private:
    void loadNetwork(const Settings& settings);

    mutable std::mutex mMutex;
    StageModel mModel;
    std::optional<cv::dnn::DetectionModel> mDetector;  // none until the first load
    FaceVerifier mVerifier;
    float mConfidenceThreshold = 0.1f;
    std::int32_t mMaxNumFaces = -1;
    std::int32_t mMinFaceSize = 0;
    std::int32_t mMaxFaceSize = 0;
    Settings::Range mRange = Settings::REGULAR;
};

// The distance constant for a frame width: the centimetres times ten that one pixel of
// face width stands for, calibrated per common camera width.
float distanceConstant(int frameWidth);
// Distance from the camera in centimetres of a face box of that width.
std::int32_t distanceFromCamera(int boxWidth, int frameWidth);

}  // namespace lm
