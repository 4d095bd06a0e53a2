#pragma once
// Translates the convolutional part of a TensorFlow graph model, node by node, into an
// IrGraph. The graph is NHWC; the IR is NCHW, so channel axes and reductions are remapped.
// Only the ops these models use are known; any other op is an error naming it, so a
// changed model cannot be converted half-right.

#include <map>
#include <optional>
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
    // Hard-swish written out as c*x * relu6(x + 3) becomes one HSwish op, x * relu6(x + 3) / 6:
    // one pass over the tensor in place of four, at a relative error of |6c - 1| (2.4e-4
    // for the float16 c of the human package's graphs).
    void fuseHardSwish(bool fuse) { mFuseHardSwish = fuse; }
    // Stride-1 5x5 depthwise convolutions as four 3x3 ones (IrGraph::depthwise5x5As3x3).
    void split5x5Depthwise(bool split) { mSplit5x5Depthwise = split; }

private:
    Port translate(const GraphNode& node);
    Port convolution(const GraphNode& node, bool depthwise);
    Port binary(const GraphNode& node, bool isAdd);
    Port channelPad(const GraphNode& node);
    // The x of a hard-swish ending in this Mul node, or nothing when the node is another Mul.
    std::optional<std::string> hardSwishInput(const GraphNode& mul) const;
    bool isScalarConst(const std::string& input) const;
    float scalarValue(const std::string& input) const;
    std::string irName(const std::string& node) const;

    const GraphModel& mModel;
    IrGraph& mGraph;
    std::string mNamePrefix;
    std::map<std::string, Port> mBuilt;
    bool mFuseHardSwish = false;
    bool mSplit5x5Depthwise = false;
};

}  // namespace lm::models::real
