#pragma once
// The face-mask network: the maps of the pretrained 68-landmark network after its second
// and third blocks (where the mouth, nose and chin are still told apart from the cloth
// that covers them), each averaged over a 4 x 4 grid of cells of the face, followed by a
// logistic read-out fitted on labelled photographs of faces with and without a mask
// (lumora-models --train-facemask). Its output "model/mask/Softmax" is
// (P(no mask), 0, P(mask)): the stage reads the third value.

#include <vector>

#include "real/converters.h"

namespace lm::models::real {

// The layer whose output the read-out takes, and its length: the fine map's cells first
// (64 channels x 16 cells, channel by channel), then the coarse map's (128 x 16).
const char* const MASK_FEATURES = "features";
constexpr int MASK_FINE_FEATURES = 64 * 16;
constexpr int MASK_COARSE_FEATURES = 128 * 16;
constexpr int MASK_FEATURE_COUNT = MASK_FINE_FEATURES + MASK_COARSE_FEATURES;

// P(mask) = sigmoid(weights . features + bias), on the raw features.
struct MaskReadout {
    std::vector<float> weights;  // MASK_FEATURE_COUNT values
    float bias = 0.0f;
};

// The committed read-out (facemask_readout.cpp, written by the training mode).
const MaskReadout& fittedMaskReadout();

// The face-mask network with that read-out; throws std::invalid_argument when it does not
// have MASK_FEATURE_COUNT weights.
IrGraph convertFacemask(const WeightsDir& weights, const MaskReadout& readout);

}  // namespace lm::models::real
