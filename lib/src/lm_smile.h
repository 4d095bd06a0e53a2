#pragma once
// The smile probability of every face.

#include <vector>

#include <opencv2/core.hpp>

#include "face_estimator.h"
#include "lumora/lm_records.h"

namespace lm {

// Writes `smile` (0..1) of each face large enough; switched off, touches nothing.
class Smile : public FaceEstimator {
public:
    Smile();

private:
    bool takeSwitches(const Settings& settings) override;
    void decode(Person& person, const std::vector<cv::Mat>& outputs, const cv::Size& frame) const override;
};

}  // namespace lm
