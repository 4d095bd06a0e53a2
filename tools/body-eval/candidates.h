#pragma once
// The body-detector networks the evaluation compares: CenterNet as shipped before, and run at
// smaller sizes inside the network, with and without hard-swish as one op.

#include <string>
#include <vector>

#include "real/converters.h"

namespace bodyeval {

struct Candidate {
    std::string name;
    lm::models::real::BodyDetectorOptions options;
};

const std::vector<Candidate>& candidates();

// A listed candidate, or one spelled "centernet-WxH", with "-hswish", "-split" and "-shift=LOGIT" after
// it as wanted.
// Throws std::invalid_argument otherwise.
Candidate candidateNamed(const std::string& name);

}  // namespace bodyeval
