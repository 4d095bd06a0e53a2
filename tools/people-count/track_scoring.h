#pragma once
// How the tracks of a run compare with the labelled walkers. Each labelled box is matched
// to the tracked body that overlaps it most (IoU at least MIN_IOU); the ids a walker takes
// in frame order give its id switches, and an id that two walkers take gives a swap.

#include <cstdint>
#include <map>
#include <vector>

#include <lumora/lm_records.h>

#include "walker_labels.h"

namespace people_count {

constexpr double MIN_IOU = 0.3;

struct WalkerScore {
    int walker = 0;
    int labelledBoxes = 0;
    int matchedBoxes = 0;
    int idSwitches = 0;              // changes of id between consecutive matched boxes
    std::vector<std::uint32_t> ids;  // in frame order, repeats collapsed
};

struct TrackScore {
    std::vector<WalkerScore> walkers;  // by walker
    int identitySwaps = 0;             // ids taken by more than one walker
};

// `bodiesByFrame`: the tracked bodies of every analysed frame, by frame index.
TrackScore scoreTracks(const WalkerLabels& labels, const std::map<int, std::vector<lm::Body>>& bodiesByFrame);

// The mean id switches of the walkers labelled in the analysed frames (0 without any).
double switchesPerWalker(const TrackScore& score);

}  // namespace people_count
