#include "hx_image.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include <lumora/lm_help.h>

#include "hx_log.h"

namespace hx::image {

namespace {

template <typename Record>
void translateBoxes(std::vector<Record>& records, const cv::Rect& roi, const cv::Mat& frame) {
    const cv::Rect effective = effectiveRoi(roi, frame);
    if (effective.area() <= 0) return;
    for (auto& record : records) {
        record.boundingBox.x += effective.x;
        record.boundingBox.y += effective.y;
    }
}

}  // namespace

cv::Mat preprocess(const cv::Mat& frame, bool flipHorizontally, bool flipVertically, Settings::RotateMode rotateMode,
                   float zoomFactor, cv::Point zoomCenterOffset) {
    cv::Mat result = frame.clone();
    if (flipHorizontally) cv::flip(result, result, 1);
    if (flipVertically) cv::flip(result, result, 0);
    switch (rotateMode) {
        case Settings::ROTATE_90: cv::rotate(result, result, cv::ROTATE_90_CLOCKWISE); break;
        case Settings::ROTATE_180: cv::rotate(result, result, cv::ROTATE_180); break;
        case Settings::ROTATE_270: cv::rotate(result, result, cv::ROTATE_90_COUNTERCLOCKWISE); break;
        case Settings::ROTATE_0: break;
    }
    if (zoomFactor != 1.0f) {
        const cv::Point center(result.cols / 2 + zoomCenterOffset.x, result.rows / 2 + zoomCenterOffset.y);
        zoom(result, result, zoomFactor, center);
    }
    return result;
}

void zoom(const cv::Mat& in, cv::Mat& out, float factor, const cv::Point& center) {
    if (factor < 1.0f) harbixLog()->error("Zoom factor should be bigger than x1.0");
    const int cols = in.cols;
    const int rows = in.rows;
    cv::Rect window(0, 0, cols, rows);
    // Below 1 the window would be larger than the image; the whole image is taken instead.
    // A factor that is not a number zooms nothing either.
    if (factor >= 1.0f) {
        const float wf = static_cast<float>(cols) / factor;
        const float hf = static_cast<float>(rows) / factor;
        // At least one pixel, so that a huge factor on a tiny image still has a window.
        window.width = std::max(1, static_cast<int>(wf));
        window.height = std::max(1, static_cast<int>(hf));
        window.x = center.x - static_cast<int>(wf * 0.5f);
        window.y = center.y - static_cast<int>(hf * 0.5f);
        if (window.x < 0) window.x = 0;
        if (window.y < 0) window.y = 0;
        if (window.x + window.width > cols) window.x = cols - window.width;
        if (window.y + window.height > rows) window.y = rows - window.height;
    }
    // Resizing into the image it reads from would overwrite the window while reading it.
    const cv::Mat view = in(window);
    const cv::Mat source = in.data == out.data ? view.clone() : view;
    cv::resize(source, out, cv::Size(cols, rows), 0, 0, cv::INTER_LINEAR);
}

cv::Rect effectiveRoi(const cv::Rect& roi, const cv::Mat& frame) {
    if (roi.area() <= 0) return {};
    const cv::Rect clipped = lm::help::clipRect(roi, frame);
    return clipped.area() > 0 ? clipped : cv::Rect();
}

cv::Mat applyRoi(const cv::Mat& frame, const cv::Rect& roi) {
    const cv::Rect effective = effectiveRoi(roi, frame);
    return effective.area() > 0 ? frame(effective) : frame;
}

void translateByRoi(std::vector<lm::Person>& people, const cv::Rect& roi, const cv::Mat& frame) {
    translateBoxes(people, roi, frame);
}

void translateByRoi(std::vector<lm::Body>& bodies, const cv::Rect& roi, const cv::Mat& frame) {
    translateBoxes(bodies, roi, frame);
}

std::int32_t toPixels(float fraction, int dimension) {
    return static_cast<std::int32_t>(std::ceil(fraction * static_cast<float>(dimension)));
}

PixelSettings toPixelSettings(const Settings& settings, cv::Size frameSize) {
    const int width = frameSize.width;
    const int height = frameSize.height;
    PixelSettings pixels;
    const int x = toPixels(settings.ROI_X, width);
    const int y = toPixels(settings.ROI_Y, height);
    const int w = toPixels(settings.ROI_W, width);
    const int h = toPixels(settings.ROI_H, height);
    harbixLog()->debug("Abs roi from settings: {} {} {} {} ", x, y, w, h);
    const int left = std::max(x, 0);
    const int top = std::max(y, 0);
    const int right = std::min(x + w, width);
    const int bottom = std::min(y + h, height);
    if (right - left > 0 && bottom - top > 0) pixels.roi = cv::Rect(left, top, right - left, bottom - top);
    pixels.maxFaceSize = toPixels(settings.maxFaceSize, width);
    pixels.minFaceSize = toPixels(settings.minFaceSize, width);
    pixels.zoomCenterOffset =
        cv::Point(toPixels(settings.zoomCenterOffset_X, width), toPixels(settings.zoomCenterOffset_Y, height));
    return pixels;
}

}  // namespace hx::image
