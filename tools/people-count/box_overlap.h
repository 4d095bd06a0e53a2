#pragma once
// Intersection over union of two boxes, 0 when neither has area.

#include <opencv2/core/types.hpp>

namespace people_count {

inline double iou(const cv::Rect& a, const cv::Rect& b) {
    const double overlap = (a & b).area();
    const double joint = a.area() + b.area() - overlap;
    return joint > 0 ? overlap / joint : 0.0;
}

}  // namespace people_count
