#pragma once
// Translates the convolutional part of a TensorFlow graph model, node by node, into an
// IrGraph. The graph is NHWC; the IR is NCHW, so channel axes and reductions are remapped.
// Only the ops these models use are known; any other op is an error naming it, so a
// changed model cannot be converted half-right.

#include <map>
#include <string>

#include "real/ir_graph.h"
#include "real/tfjs.h"

namespace lm::models::real {

class TfGraphTranslator {
public:
    // namePrefix goes before every layer name, so that one graph can be built twice into
    // the same network (at two input scales) with unique layer names.
    TfGraphTranslator(const GraphModel& model, IrGraph& graph, std::string namePrefix = "");

    // Gives a node (typically the Placeholder) a value that is already built.
    void bind(const std::string& node, Port value);
    // Builds the node and everything it depends on; returns its value.
    Port build(const std::string& node);

private:
    Port translate(const GraphNode& node);
    Port convolution(const GraphNode& node, bool depthwise);
    Port binary(const GraphNode& node, bool isAdd);
    Port channelPad(const GraphNode& node);
    bool isScalarConst(const std::string& input) const;
    float scalarValue(const std::string& input) const;
    std::string irName(const std::string& node) const;

    const GraphModel& mModel;
    IrGraph& mGraph;
    std::string mNamePrefix;
    std::map<std::string, Port> mBuilt;
};

}  // namespace lm::models::real
