#pragma once
// Seven emotion scores of every face, in the order neutral, anger, disgust, fear,
// happiness, sadness, surprise, as the network gives them.

#include <vector>

#include <opencv2/core.hpp>

#include "face_estimator.h"
#include "lumora/lm_records.h"

namespace lm {

// Writes the seven `emotions` (0..1 each) of each face large enough; switched off, touches
// nothing. Named with a suffix: lm::Emotions is already the records' seven-score array.
class EmotionsEstimator : public FaceEstimator {
public:
    EmotionsEstimator();

private:
    bool takeSwitches(const Settings& settings) override;
    void decode(Person& person, const std::vector<cv::Mat>& outputs, const cv::Size& frame) const override;
};

}  // namespace lm
