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

}  // namespace faceeval
