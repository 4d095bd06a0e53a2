#pragma once
// lumora-models --train-facemask: fits the face-mask read-out on labelled photographs and
// measures the resulting network on the test part of the fixed split, then writes the
// read-out as the C++ source that the converter builds the network from.

#include <ostream>
#include <string>

#include "real/converters.h"

namespace lm::models::training {

struct FacemaskTraining {
    std::string photosDir;      // with_mask/ and without_mask/
    real::WeightsDir weights;   // the fetched pretrained weights
    std::string readoutSource;  // where the fitted read-out is written (facemask_readout.cpp)
    std::string scratchDir;     // for the converted face detector
    std::string examplesDir;    // when set: masked.png and bare.png, a test face of each class
    std::string cropCache;      // when set: the stage crops are kept there and reused
};

// Prints the counts, the split, the test-part figures (plain and "_quantized") and the
// Debian sample photos to report. Throws std::runtime_error when the photos or weights
// cannot be read.
void trainFacemask(const FacemaskTraining& training, std::ostream& report);

}  // namespace lm::models::training
