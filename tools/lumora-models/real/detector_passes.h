#pragma once
// The input of one pass of a fully convolutional face detector: the frame downsampled (or
// enlarged) by the pass's factor, then padded at the bottom and right to the side multiple
// the network's grids need. Shared by the detectors that run several passes.

#include <string>
#include <vector>

#include "real/ir_graph.h"

namespace lm::models::real {

// The frame downsampled by `factor`: averaged over factor x factor blocks when the factor
// is a whole number that divides the frame, else resized bilinearly (enlarged when the
// factor is below 1). Throws std::invalid_argument for factors of 1/4 and less, and for
// whole factors that leave a part of a pixel.
Port downsampled(IrGraph& g, const std::string& name, Port x, float factor);

// x with rows and columns of `fill` added at the bottom and right up to multiples of `multiple`.
Port padToMultiple(IrGraph& g, const std::string& name, Port x, int64_t multiple, float fill);

// The layer-name prefix of the pass at `factor` among `factors`: none when it is the only
// one, else "x2/", "x1.5/", ...
std::string passPrefix(const std::vector<float>& factors, float factor);

}  // namespace lm::models::real
