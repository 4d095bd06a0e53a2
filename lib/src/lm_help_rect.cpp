#include "lumora/lm_help_rect.h"

#include <algorithm>

namespace lm::help {

cv::Rect padRect(const cv::Rect& box, float factor) {
    const int dx = static_cast<int>(static_cast<float>(box.width) * factor);
    const int dy = static_cast<int>(static_cast<float>(box.height) * factor);
    return {box.x - dx, box.y - dy, box.width + 2 * dx, box.height + 2 * dy};
}

cv::Rect clipRect(const cv::Rect& box, const cv::Mat& image) {
    const int left = std::max(box.x, 0);
    const int top = std::max(box.y, 0);
    const int right = std::min(box.x + box.width, image.cols);
    const int bottom = std::min(box.y + box.height, image.rows);
    if (right - left <= 0 || bottom - top <= 0) return {0, 0, 0, 0};
    return {left, top, right - left, bottom - top};
}

cv::Rect padClipRect(const cv::Rect& box, float factor, const cv::Mat& image) {
    return clipRect(padRect(box, factor), image);
}

}  // namespace lm::help
