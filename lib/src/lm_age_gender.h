#pragma once
// Age and gender of every face from one network with two heads. Either head can be
// switched off; the network is asked only for the heads switched on, and a change of
// either switch reloads the model.

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "face_estimator.h"
#include "lumora/lm_records.h"

namespace lm {

// Writes `age` (0..101) and `gender` (-1..1, positive female) of each face large enough.
class AgeGender : public FaceEstimator {
public:
    AgeGender();

private:
    std::vector<std::string> headsFor(const Settings& settings) const override;
    bool takeSwitches(const Settings& settings) override;
    void decode(Person& person, const std::vector<cv::Mat>& outputs, const cv::Size& frame) const override;

    // Guarded by the estimator's lock, like the heads they choose.
    bool mUseAge = false;
    bool mUseGender = false;
};

}  // namespace lm
