#pragma once
// The face networks the evaluation compares, each buildable for both detection ranges.

#include <functional>
#include <string>
#include <vector>

#include "real/converters.h"

namespace faceeval {

struct Candidate {
    std::string name;
    std::string description;
    std::function<lm::models::real::IrGraph(const lm::models::real::WeightsDir&, int width, int height)> build;
};

const std::vector<Candidate>& candidates();

// A listed candidate by name, or a BlazeFace variant spelled
// "blazeface:factors=1/2+shift=0.5+scale=1.1+nms=0.3" or a FaceBoxes one spelled
// "faceboxes:factors=1/0.6667+shift=0.5+nms=0.3" (any of the keys, defaults otherwise),
// so that settings can be compared without a build. Throws std::invalid_argument otherwise.
Candidate candidateNamed(const std::string& name);

}  // namespace faceeval
