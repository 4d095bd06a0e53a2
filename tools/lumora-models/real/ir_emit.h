#pragma once
// Writes an IrGraph as an IR pair through the project's model writer.

#include <string>

#include "real/ir_graph.h"

namespace lm::models::real {

struct IrPair {
    std::string xml;
    std::string weights;
};

// compressWeights stores the trained weights as float16 (Const f16 -> Convert), the
// "_quantized" variant; priors, shapes and normalisation constants stay float32.
IrPair emitIr(const IrGraph& graph, bool compressWeights);

}  // namespace lm::models::real
