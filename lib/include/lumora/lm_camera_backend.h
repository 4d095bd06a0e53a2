#pragma once
// How the video source reaches a camera. The default opens the device by its index through
// V4L2; a program may put another back end in its place, for a camera that is reached
// another way, or to run its camera paths with no device at all.

#include <functional>

#include <opencv2/videoio.hpp>

#include "lumora/lm_export.h"

namespace lm::help {

struct LUMORA_EXPORT CameraBackend {
    // Opens the camera of that index on the capture; false when it cannot.
    std::function<bool(cv::VideoCapture& capture, int cameraIndex)> open;
    // Sets one property (a cv::CAP_PROP_ identifier) of the open camera; false when refused.
    std::function<bool(cv::VideoCapture& capture, int propertyId, double value)> set;

    // The device through V4L2, properties set on the capture.
    static CameraBackend v4l2();
};

// Every camera source opens through `backend` from its next open on; returns the back end
// it replaces, so a caller can put that one back. Throws std::invalid_argument when either
// function is missing.
LUMORA_EXPORT CameraBackend setCameraBackend(CameraBackend backend);

}  // namespace lm::help
