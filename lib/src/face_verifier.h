#pragma once
// The second look at the face detector's boxes: each box the detector gives at
// SECOND_LOOK or more is cropped as the estimators crop a face and read by "faceverify",
// the face-mask network's landmark cells with a read-out fitted on the detector's true and
// false boxes of labelled scenes and photographs. Its output (1 - p, 0, p) corrects the
// detector's confidence c to sigmoid(logit(c) + logit(p)): masked and small faces that the
// detector scores low are raised, face-like patches lowered. A model directory without
// "faceverify" gives the detector's confidences unchanged. Not locked: the face detector
// calls it under its own mutex.

#include <vector>

#include <opencv2/core.hpp>

#include "lm_network.h"
#include "lumora/lm_settings.h"

namespace lm {

// The detector's confidence a box needs for a second look; below it a box keeps its own.
constexpr float SECOND_LOOK = 0.5f;

class FaceVerifier {
public:
    // Loads "faceverify" when the model directory holds it, for both ranges, and holds none
    // otherwise. A model that is there but fails to load propagates (see
    // loadModel) and leaves the one held before.
    void onSettingsUpdate(const Settings& settings);
    bool active() const { return mActive; }

    // Corrects the confidence of every box at SECOND_LOOK or more that estimatorCrop
    // accepts, in one forward pass over their crops.
    void verify(const cv::Mat& frame, const std::vector<cv::Rect>& boxes, std::vector<float>& confidences);

private:
    StageModel mModel;
    bool mActive = false;
};

}  // namespace lm
