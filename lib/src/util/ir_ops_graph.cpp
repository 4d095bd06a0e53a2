// The ops that open and close the graph: Parameter (a network input), Const (a tensor of
// the weights) and Result (marks its producer as an output and adds nothing).

#include "util/ir_network_builder.h"
#include "util/ir_ops.h"

namespace lm::dnn::ir {

void onParameter(IrNetworkBuilder& builder, const IrLayer& layer) {
    requireInputs(layer, 0, 0);
    Value value;
    value.ref = builder.addNetworkInput(layer);
    value.dims = outputDims(layer);
    value.name = layer.name;
    builder.setOutput(layer, std::move(value));
}

void onConst(IrNetworkBuilder& builder, const IrLayer& layer) {
    requireInputs(layer, 0, 0);
    builder.setConstant(layer, builder.description().readConstant(layer));
}

void onResult(IrNetworkBuilder& builder, const IrLayer& layer) {
    requireInputs(layer, 1, 1);
    if (builder.input(layer, 0).isConstant()) fail(layer.what() + " returns a constant");
}

}  // namespace lm::dnn::ir
