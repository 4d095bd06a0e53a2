#pragma once
// Pairs of detections in consecutive frames that the body tracker must tell apart: a
// labelled walker's detection and its own detection in the next frame (a continuation),
// or the next-frame detection of another labelled walker close by (a rival). The labels
// name walkers at some frames only; a walker is followed into the next frame by overlap,
// and only where that is unambiguous.

#include <cstddef>
#include <map>
#include <vector>

#include <opencv2/core/types.hpp>

#include "walker_labels.h"

namespace people_count {

// A labelled box names the detection that overlaps it most, from this IoU on.
constexpr double LABEL_MATCH_IOU = 0.5;
// A walker's detection in the next frame overlaps its own by at least this much, and no
// other walker's detection by as much.
constexpr double FOLLOW_IOU = 0.3;
// Rivals are the other walkers whose centres lie within this many mean box widths.
constexpr double RIVAL_WIDTHS = 2.0;

struct ContinuationPair {
    int frame = 0;           // of the first detection; the second is in the next frame
    std::size_t first = 0;   // index among the detections of `frame`
    std::size_t second = 0;  // index among the detections of `frame` + 1
    bool sameWalker = false;
};

// `detectionsByFrame`: the detector's boxes of each frame, by frame index; frames that
// are missing give no pairs.
std::vector<ContinuationPair> continuationPairs(const WalkerLabels& labels,
                                                const std::map<int, std::vector<cv::Rect>>& detectionsByFrame);

}  // namespace people_count
