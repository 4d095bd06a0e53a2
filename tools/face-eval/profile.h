#pragma once
// Where a face network spends its forward time: OpenCV's own per-layer timings of the
// network as the project's IR reader builds it, summed by layer type.

#include <string>

#include "candidates.h"

namespace faceeval {

struct ProfileRequest {
    int width = 640;
    int height = 480;
    int threads = 1;  // 0 keeps OpenCV's default pool
    int passes = 10;  // timed forwards after one that allocates
    bool quantized = false;
    bool openCl = false;  // DNN_TARGET_OPENCL instead of DNN_TARGET_CPU
};

// Prints the mean forward time, the time per layer type and the slowest layers.
void printProfile(const Candidate& candidate, const lm::models::real::WeightsDir& weights,
                  const ProfileRequest& request);

}  // namespace faceeval
