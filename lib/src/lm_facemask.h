#pragma once
// The probability that a face wears a mask: the third class of the mask network.

#include <vector>

#include <opencv2/core.hpp>

#include "face_estimator.h"
#include "lumora/lm_records.h"

namespace lm {

// Writes `faceMask` (0..1) of each face large enough; switched off, touches nothing.
class FaceMask : public FaceEstimator {
public:
    FaceMask();

private:
    bool takeSwitches(const Settings& settings) override;
    void decode(Person& person, const std::vector<cv::Mat>& outputs, const cv::Size& frame) const override;
};

}  // namespace lm
