#pragma once
// Reading the tracker weights as bit patterns, so tests compare floats exactly.

#include <cstdint>
#include <cstring>
#include <vector>

#include "tracker.h"

namespace lmtest {

inline std::uint32_t bitsOf(float value) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// IoU, distance, size, appearance, threshold bits, then the hits to confirm.
inline std::vector<std::uint32_t> weightBits(const lm::ObjectTracker::Weights& w) {
    return {bitsOf(w.iou),        bitsOf(w.distance),       bitsOf(w.size),
            bitsOf(w.appearance), bitsOf(w.matchThreshold), static_cast<std::uint32_t>(w.minHits)};
}

}  // namespace lmtest
