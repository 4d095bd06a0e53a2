#pragma once
// The face-mask network: the face features of the pretrained age/gender network, averaged
// over the upper and over the lower part of the face (a mask covers the lower), followed
// by a logistic read-out fitted on labelled photographs of faces with and without a mask
// (lumora-models --train-facemask). Its output "model/mask/Softmax" is
// (P(no mask), 0, P(mask)): the stage reads the third value.

#include <vector>

#include "real/converters.h"

namespace lm::models::real {

// The layer whose output the read-out takes, and its length.
const char* const MASK_FEATURES = "features";
constexpr int MASK_FEATURE_COUNT = 1024;  // 512 channels, upper part then lower part each

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
