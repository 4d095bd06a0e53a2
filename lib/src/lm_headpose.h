#pragma once
// Head pose of every face (yaw, pitch, roll from three angle-bin heads of one network),
// and from it and the face's distance: whether the person is viewing or dwelling, where
// the head is in camera coordinates, and where the head's direction meets the camera plane.

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "face_estimator.h"
#include "lumora/lm_records.h"

namespace lm {

// Writes `headpose`, `isViewing`, `isDwelling`, `worldPosition` and `headgaze` of each
// face large enough, from its box and `distanceFromCamera`. Named with a suffix:
// lm::Headpose is already the records' three-angle group.
class HeadposeEstimator : public FaceEstimator {
public:
    HeadposeEstimator();

private:
    bool takeSwitches(const Settings& settings) override;
    void decode(Person& person, const std::vector<cv::Mat>& outputs, const cv::Size& frame) const override;
};

// The geometry after the network, in single precision as the stage computes it.
namespace headpose {

struct Windows {
    float viewing;   // |yaw| up to this many degrees is viewing
    float dwelling;  // |yaw| up to this many degrees is dwelling
};

// The expected angle of one row of N angle bins, bin i standing for i - N / 2 degrees.
float expectedAngle(const cv::Mat& output);
Windows windowsAt(std::int32_t distance);
WorldPosition worldPosition(const cv::Rect& box, std::int32_t distance, const cv::Size& frame);
Headgaze headgaze(const WorldPosition& position, std::int16_t yaw, std::int16_t pitch);

}  // namespace headpose

}  // namespace lm
