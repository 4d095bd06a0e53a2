#include "track_scoring.h"

#include <algorithm>
#include <set>

#include "box_overlap.h"

namespace people_count {

namespace {

// The id of the body that overlaps the box most, or 0 when none overlaps it enough.
std::uint32_t matchedId(const cv::Rect& box, const std::vector<lm::Body>& bodies) {
    std::uint32_t best = 0;
    double bestIou = MIN_IOU;
    for (const lm::Body& body : bodies) {
        const double overlap = iou(box, body.boundingBox);
        if (overlap >= bestIou) {
            bestIou = overlap;
            best = body.id;
        }
    }
    return best;
}

}  // namespace

TrackScore scoreTracks(const WalkerLabels& labels, const std::map<int, std::vector<lm::Body>>& bodiesByFrame) {
    std::map<int, std::vector<LabelledBox>> boxesByWalker;
    for (const LabelledBox& labelled : labels.boxes) boxesByWalker[labelled.walker].push_back(labelled);

    TrackScore score;
    std::map<std::uint32_t, std::set<int>> walkersById;
    for (auto& [walker, boxes] : boxesByWalker) {
        std::sort(boxes.begin(), boxes.end(), [](const auto& a, const auto& b) { return a.frame < b.frame; });
        WalkerScore& w = score.walkers.emplace_back();
        w.walker = walker;
        for (const LabelledBox& labelled : boxes) {
            const auto frame = bodiesByFrame.find(labelled.frame);
            if (frame == bodiesByFrame.end()) continue;
            ++w.labelledBoxes;
            const std::uint32_t id = matchedId(labelled.box, frame->second);
            if (id == 0) continue;
            ++w.matchedBoxes;
            walkersById[id].insert(walker);
            if (!w.ids.empty() && w.ids.back() != id) ++w.idSwitches;
            if (w.ids.empty() || w.ids.back() != id) w.ids.push_back(id);
        }
    }
    for (const auto& [id, walkers] : walkersById)
        if (walkers.size() > 1) ++score.identitySwaps;
    return score;
}

double switchesPerWalker(const TrackScore& score) {
    int walkers = 0;
    int switches = 0;
    for (const WalkerScore& w : score.walkers) {
        if (w.labelledBoxes == 0) continue;
        ++walkers;
        switches += w.idSwitches;
    }
    return walkers > 0 ? static_cast<double>(switches) / walkers : 0.0;
}

}  // namespace people_count
