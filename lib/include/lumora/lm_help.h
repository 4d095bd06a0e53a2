#pragma once
// Free helper functions of the library: boxes, drawing and blurring, CSV lines.

#include <chrono>

#include <opencv2/core.hpp>

#include "lumora/lm_export.h"

namespace lm::help {

// Grows the box by the truncated factor x width left and right and factor x height above
// and below; a negative factor shrinks it.
LUMORA_EXPORT cv::Rect padRect(const cv::Rect& box, float factor);
// The part of the box inside the image; (0, 0, 0, 0) when nothing remains.
LUMORA_EXPORT cv::Rect clipRect(const cv::Rect& box, const cv::Mat& image);
LUMORA_EXPORT cv::Rect padClipRect(const cv::Rect& box, float factor, const cv::Mat& image);

// Frame-rate meter: each call reports the rate implied by the time since the previous
// call, in whole milliseconds, unsmoothed (infinity within one millisecond). A new meter
// starts at the clock's epoch, so call it once when built to make the first reading useful.
class LUMORA_EXPORT Fps {
public:
    float operator()();

private:
    std::chrono::system_clock::time_point mPrevious{};
};

}  // namespace lm::help
