#pragma once
// Box arithmetic on face and body boxes: growing, shrinking and clipping them to an image.
// Kept apart from the drawing and CSV helpers so the network stages need nothing else.

#include <opencv2/core.hpp>

#include "lumora/lm_export.h"

namespace lm::help {

// Grows the box by the truncated factor x width left and right and factor x height above
// and below; a negative factor shrinks it.
LUMORA_EXPORT cv::Rect padRect(const cv::Rect& box, float factor);
// The part of the box inside the image; (0, 0, 0, 0) when nothing remains.
LUMORA_EXPORT cv::Rect clipRect(const cv::Rect& box, const cv::Mat& image);
LUMORA_EXPORT cv::Rect padClipRect(const cv::Rect& box, float factor, const cv::Mat& image);

}  // namespace lm::help
