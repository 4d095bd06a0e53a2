#pragma once
// The face-mask network: the maps of the pretrained 68-landmark network after its second
// and third blocks (where the mouth, nose and chin are still told apart from the cloth
// that covers them), each averaged over a 4 x 4 grid of cells of the face, followed by a
// logistic read-out fitted on labelled photographs of faces with and without a mask
// (lumora-models --train-facemask). Its output "model/mask/Softmax" is
// (P(no mask), 0, P(mask)): the stage reads the third value.

#include <string>
#include <vector>

#include "real/converters.h"

namespace lm::models::real {

// The layer whose output the read-out takes, and its length: the fine map's cells first
// (64 channels x 16 cells, channel by channel), then the coarse map's (128 x 16).
const char* const MASK_FEATURES = "features";
constexpr int MASK_FINE_FEATURES = 64 * 16;
constexpr int MASK_COARSE_FEATURES = 128 * 16;
constexpr int MASK_FEATURE_COUNT = MASK_FINE_FEATURES + MASK_COARSE_FEATURES;

// The probability of a logistic read-out of the cells, sigmoid(weights . features + bias),
// on the raw features: P(mask) for the face-mask network, and the second look's correction
// of the face detector (face_verifier.h).
struct CellReadout {
    std::vector<float> weights;  // MASK_FEATURE_COUNT values
    float bias = 0.0f;
};

// The committed read-out (facemask_readout.cpp, written by the training mode).
const CellReadout& fittedMaskReadout();

// The face-mask network with that read-out; throws std::invalid_argument when it does not
// have MASK_FEATURE_COUNT weights.
IrGraph convertFacemask(const WeightsDir& weights, const CellReadout& readout);

// The landmark network's cells and a read-out, ending in the softmax `output` of
// (1 - p, 0, p): the face-mask network's shape, for any read-out of the cells.
IrGraph convertCellReadout(const WeightsDir& weights, const CellReadout& readout, const std::string& name,
                           const std::string& output);

// The C++ source of a committed read-out: `comment` (whole comment lines) first, then the
// definition of `const CellReadout& function()` in lm::models::real, including `header`.
std::string cellReadoutSource(const CellReadout& readout, const std::string& comment, const std::string& header,
                              const std::string& function);

}  // namespace lm::models::real
