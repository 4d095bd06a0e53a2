#include "real/ir_emit.h"

#include "ir_writer.h"

namespace lm::models::real {

IrPair emitIr(const IrGraph& graph, bool compressWeights) {
    lm::models::IrWriter writer(graph.name());
    std::vector<lm::models::Port> firstOutput(graph.layers().size());
    auto portOf = [&](Port p) {
        const lm::models::Port& first = firstOutput.at(p.layer);
        return p.index == 0 ? first : writer.outputs(first).at(p.index);
    };
    for (const IrLayer& layer : graph.layers()) {
        lm::models::Port out;
        if (layer.type == "Parameter") {
            out = writer.parameter(layer.name, layer.outputs.at(0));
        } else if (layer.type == "Const" && layer.isInteger) {
            out = writer.constantI64(layer.name, layer.integers, layer.outputs.at(0));
        } else if (layer.type == "Const") {
            const auto storage =
                compressWeights && layer.isWeight ? lm::models::Storage::F16 : lm::models::Storage::F32;
            out = writer.constant(layer.name, layer.values.values, layer.outputs.at(0), storage);
        } else if (layer.type == "Result") {
            writer.result(portOf(layer.inputs.at(0)));
            continue;
        } else {
            std::vector<lm::models::Port> inputs;
            for (const Port& p : layer.inputs) inputs.push_back(portOf(p));
            out = writer.op(layer.type, layer.name, inputs, layer.attributes, layer.outputs, layer.version);
        }
        firstOutput[layer.id] = out;
    }
    return {writer.xml(), writer.weights()};
}

}  // namespace lm::models::real
