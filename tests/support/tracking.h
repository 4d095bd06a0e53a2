#pragma once
// Helpers for driving the trackers in tests and benchmarks.

#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "lumora/lm_records.h"
#include "tracker.h"

namespace lmtest {

inline const cv::Mat& vgaFrame() {
    static const cv::Mat frame(cv::Size(640, 480), CV_8UC1, cv::Scalar(0));
    return frame;
}

inline std::vector<lm::Detection> detectionsAt(const std::vector<cv::Rect>& boxes) {
    std::vector<lm::Detection> detections;
    for (const cv::Rect& box : boxes) {
        lm::Detection d;
        d.boundingBox = box;
        d.detectionConfidence = 0.9f;
        detections.push_back(d);
    }
    return detections;
}

// One tracking step without appearance vectors; returns the ids given out.
inline std::vector<std::uint32_t> track(lm::ObjectTracker& tracker, std::vector<lm::Detection>& detections,
                                        const cv::Mat& frame = vgaFrame()) {
    lm::ObjectTracker::Features none;
    tracker.update(detections, frame, none, 0.0f);
    std::vector<std::uint32_t> ids;
    for (const lm::Detection& d : detections) ids.push_back(d.id);
    return ids;
}

inline std::vector<std::uint32_t> track(lm::ObjectTracker& tracker, const std::vector<cv::Rect>& boxes,
                                        const cv::Mat& frame = vgaFrame()) {
    auto detections = detectionsAt(boxes);
    return track(tracker, detections, frame);
}

// An appearance vector that is `marker` everywhere.
inline lm::AppearanceVector appearance(float marker) {
    lm::AppearanceVector v;
    v.fill(marker);
    return v;
}

}  // namespace lmtest
