#pragma once
// Labelled walkers of chosen video frames and how a detector's boxes score against them.
//
// Label file: '#' comments, then one row per box, "walker,FRAME,X,Y,W,H" for a person the
// detector should find, "partial,FRAME,X,Y,W,H" for one mostly hidden or cut by the frame's
// edge, whom it may find or not. Boxes are in the video's own pixels.

#include <map>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace bodyeval {

struct FrameLabels {
    std::vector<cv::Rect> walkers;
    std::vector<cv::Rect> partial;
};

// Frame number -> its labels. Throws std::runtime_error naming the line of a malformed row.
std::map<int, FrameLabels> readWalkerLabels(const std::string& path);

// Two boxes are the same person when their intersection over union reaches this: the
// detector's boxes of a walker 30 px wide wander by several pixels from frame to frame.
constexpr double SAME_PERSON_IOU = 0.3;

double intersectionOverUnion(const cv::Rect& a, const cv::Rect& b);

struct FrameScore {
    int walkers = 0;
    int found = 0;                        // walkers matched by a detection
    std::vector<cv::Rect> missed;         // walkers no detection matched
    std::vector<cv::Rect> falsePositive;  // detections matching neither a walker nor a partial one
};

// Each detection matches at most one walker and each walker one detection, best overlap first.
FrameScore scoreFrame(const FrameLabels& labels, const std::vector<cv::Rect>& detections);

// The boxes of `boxes` that overlap no box of `others` at SAME_PERSON_IOU.
std::vector<cv::Rect> unmatched(const std::vector<cv::Rect>& boxes, const std::vector<cv::Rect>& others);

}  // namespace bodyeval
