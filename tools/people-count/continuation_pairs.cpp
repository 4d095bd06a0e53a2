#include "continuation_pairs.h"

#include <cmath>

#include "box_overlap.h"

namespace people_count {

namespace {

// The index of the box that overlaps `box` most from `minimum` on, or -1.
int bestMatch(const cv::Rect& box, const std::vector<cv::Rect>& boxes, double minimum) {
    int best = -1;
    double bestOverlap = minimum;
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        const double o = iou(box, boxes[i]);
        if (o >= bestOverlap) {
            bestOverlap = o;
            best = static_cast<int>(i);
        }
    }
    return best;
}

bool closeBy(const cv::Rect& a, const cv::Rect& b) {
    const double dx = (a.x + a.width / 2.0) - (b.x + b.width / 2.0);
    const double dy = (a.y + a.height / 2.0) - (b.y + b.height / 2.0);
    return std::hypot(dx, dy) <= RIVAL_WIDTHS * (a.width + b.width) / 2.0;
}

// Walker -> index of its detection in the labelled frame.
std::map<int, std::size_t> labelledDetections(const std::vector<const LabelledBox*>& labelled,
                                              const std::vector<cv::Rect>& detections) {
    std::map<int, std::size_t> found;
    for (const LabelledBox* l : labelled) {
        const int index = bestMatch(l->box, detections, LABEL_MATCH_IOU);
        if (index >= 0) found[l->walker] = static_cast<std::size_t>(index);
    }
    return found;
}

// Walker -> index of its detection in the next frame, where only that walker claims it.
std::map<int, std::size_t> followedDetections(const std::map<int, std::size_t>& current,
                                              const std::vector<cv::Rect>& now, const std::vector<cv::Rect>& next) {
    std::map<int, std::size_t> followed;
    std::map<std::size_t, int> claims;
    for (const auto& [walker, index] : current) {
        const int candidate = bestMatch(now[index], next, FOLLOW_IOU);
        if (candidate < 0) continue;
        bool ambiguous = false;
        for (const auto& [other, otherIndex] : current)
            if (other != walker && iou(now[otherIndex], next[candidate]) >= FOLLOW_IOU) ambiguous = true;
        if (ambiguous) continue;
        followed[walker] = static_cast<std::size_t>(candidate);
        ++claims[static_cast<std::size_t>(candidate)];
    }
    for (auto it = followed.begin(); it != followed.end();)
        it = claims[it->second] > 1 ? followed.erase(it) : std::next(it);
    return followed;
}

}  // namespace

std::vector<ContinuationPair> continuationPairs(const WalkerLabels& labels,
                                                const std::map<int, std::vector<cv::Rect>>& detectionsByFrame) {
    std::map<int, std::vector<const LabelledBox*>> labelledByFrame;
    for (const LabelledBox& l : labels.boxes) labelledByFrame[l.frame].push_back(&l);

    std::vector<ContinuationPair> pairs;
    for (const auto& [frame, labelled] : labelledByFrame) {
        const auto now = detectionsByFrame.find(frame);
        const auto next = detectionsByFrame.find(frame + 1);
        if (now == detectionsByFrame.end() || next == detectionsByFrame.end()) continue;
        const std::map<int, std::size_t> current = labelledDetections(labelled, now->second);
        const std::map<int, std::size_t> followed = followedDetections(current, now->second, next->second);
        for (const auto& [walker, index] : current) {
            for (const auto& [other, nextIndex] : followed) {
                const bool same = other == walker;
                if (!same && !closeBy(now->second[index], next->second[nextIndex])) continue;
                pairs.push_back({frame, index, nextIndex, same});
            }
        }
    }
    return pairs;
}

}  // namespace people_count
