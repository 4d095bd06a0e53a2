#pragma once
// The preprocessing of every frame before analysis: mirroring, turning and zooming as the
// settings ask, the region of interest cut out and the boxes found in it moved back, and the
// relative settings turned into pixels of the source.

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include <lumora/lm_records.h>

#include "hx_settings.h"

namespace hx::image {

// A new image: the frame mirrored left to right, then top to bottom, then turned, then
// zoomed around the frame centre moved by `zoomCenterOffset`, each step only when asked for.
// The input is never modified.
cv::Mat preprocess(const cv::Mat& frame, bool flipHorizontally, bool flipVertically, Settings::RotateMode rotateMode,
                   float zoomFactor, cv::Point zoomCenterOffset);

// Writes into `out` the window of 1/factor of the size of `in` around `center`, moved (never
// shrunk) to lie inside `in`, scaled back to the size of `in`. `in` and `out` may be the same
// image. A factor below 1 is logged as an error and zooms nothing (the whole image is the
// window).
void zoom(const cv::Mat& in, cv::Mat& out, float factor, const cv::Point& center);

// The part of the region of interest inside the frame, when the region and that part both
// have a positive area; otherwise (0, 0, 0, 0), meaning the whole frame is analysed.
cv::Rect effectiveRoi(const cv::Rect& roi, const cv::Mat& frame);
// A view on the effective region of interest of the frame, or the frame itself without one.
cv::Mat applyRoi(const cv::Mat& frame, const cv::Rect& roi);
// Moves boxes found in applyRoi's view back to coordinates of the whole frame.
void translateByRoi(std::vector<lm::Person>& people, const cv::Rect& roi, const cv::Mat& frame);
void translateByRoi(std::vector<lm::Body>& bodies, const cv::Rect& roi, const cv::Mat& frame);

// A fraction of a dimension in whole pixels: the single-precision product, rounded up.
std::int32_t toPixels(float fraction, int dimension);

// The relative values of the settings in pixels of a frame of `frameSize`.
struct PixelSettings {
    cv::Rect roi;                // clipped to the frame; (0, 0, 0, 0) when there is none
    cv::Point zoomCenterOffset;  // from the frame centre
    std::int32_t minFaceSize = 0;
    std::int32_t maxFaceSize = 0;  // both fractions are of the width
};
PixelSettings toPixelSettings(const Settings& settings, cv::Size frameSize);

}  // namespace hx::image
