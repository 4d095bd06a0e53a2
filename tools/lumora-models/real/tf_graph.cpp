#include "real/tf_graph.h"

#include <cmath>
#include <stdexcept>
#include <utility>

namespace lm::models::real {
namespace {

std::string stripOutputIndex(const std::string& input) {
    const auto colon = input.find(':');
    if (colon != std::string::npos && input.substr(colon) != ":0")
        throw std::runtime_error("graph input " + input + " uses a second output");
    return input.substr(0, colon);
}

Padding paddingOf(const GraphNode& node) {
    const std::string padding = node.stringAttribute("padding");
    if (padding == "SAME") return Padding::Same;
    if (padding == "VALID") return Padding::Valid;
    throw std::runtime_error(node.name + ": padding " + padding + " is not supported");
}

int strideOf(const GraphNode& node) {
    const auto strides = node.intListAttribute("strides");
    if (strides.size() != 4 || strides[1] != strides[2])
        throw std::runtime_error(node.name + ": only equal NHWC strides are supported");
    return static_cast<int>(strides[1]);
}

}  // namespace

TfGraphTranslator::TfGraphTranslator(const GraphModel& model, IrGraph& graph, std::string namePrefix)
    : mModel(model), mGraph(graph), mNamePrefix(std::move(namePrefix)) {}

void TfGraphTranslator::bind(const std::string& node, Port value) { mBuilt[node] = value; }

Port TfGraphTranslator::build(const std::string& name) {
    const std::string key = stripOutputIndex(name);
    const auto it = mBuilt.find(key);
    if (it != mBuilt.end()) return it->second;
    const Port value = translate(mModel.node(key));
    mBuilt[key] = value;
    return value;
}

std::string TfGraphTranslator::irName(const std::string& node) const {
    // The graph's names carry the converter's scope prefixes; the last parts are enough.
    const std::string prefix = "StatefulPartitionedCall/";
    std::string name = node.rfind(prefix, 0) == 0 ? node.substr(prefix.size()) : node;
    const std::string tower = "tower_0/";
    return mNamePrefix + (name.rfind(tower, 0) == 0 ? name.substr(tower.size()) : name);
}

bool TfGraphTranslator::isScalarConst(const std::string& input) const {
    const GraphNode& node = mModel.node(stripOutputIndex(input));
    return node.op == "Const" && mModel.weight(node.name).count() == 1;
}

float TfGraphTranslator::scalarValue(const std::string& input) const {
    return mModel.weight(stripOutputIndex(input)).values.at(0);
}

// The zeros a Pad node adds on every side of both spatial axes, or -1 when it pads
// anything else or unevenly.
int64_t uniformSpatialPad(const GraphModel& model, const GraphNode& pad) {
    const Tensor& pads = model.weight(stripOutputIndex(pad.inputs.at(1)));
    if (pads.count() != 8) return -1;
    const float side = pads.values[2];
    const std::vector<float> uniform = {0, 0, side, side, side, side, 0, 0};
    return pads.values == uniform ? static_cast<int64_t>(side) : -1;
}

Port TfGraphTranslator::convolution(const GraphNode& node, bool depthwise) {
    // Keras pads explicitly before a VALID window: folded into the convolution, which
    // pads symmetrically itself, instead of a layer of its own.
    const GraphNode& source = mModel.node(stripOutputIndex(node.inputs.at(0)));
    int64_t zeroPad = 0;
    if (source.op == "Pad" && paddingOf(node) == Padding::Valid) zeroPad = uniformSpatialPad(mModel, source);
    if (zeroPad < 0) zeroPad = 0;
    const Port x = build(zeroPad > 0 ? source.inputs.at(0) : node.inputs.at(0));
    const Tensor& kernel = mModel.weight(stripOutputIndex(node.inputs.at(1)));
    std::vector<std::string> fused;
    if (node.attributes->has("fused_ops")) fused = node.stringListAttribute("fused_ops");
    const Tensor* bias = nullptr;
    if (!fused.empty()) {
        if (fused[0] != "BiasAdd") throw std::runtime_error(node.name + ": fused op " + fused[0]);
        bias = &mModel.weight(stripOutputIndex(node.inputs.at(2)));
    }
    const std::string name = irName(node.name);
    const bool activated = fused.size() > 1;
    const std::string convName = activated ? name + "/preact" : name;
    const bool split = depthwise && mSplit5x5Depthwise && kernel.shape[0] == 5 && kernel.shape[1] == 5 &&
                       strideOf(node) == 1 && paddingOf(node) == Padding::Same && zeroPad == 0;
    Port y = split ? mGraph.depthwise5x5As3x3(convName, x, depthwiseKernelToGoihw(kernel), bias)
             : depthwise
                 ? mGraph.depthwise(convName, x, depthwiseKernelToGoihw(kernel), bias, strideOf(node), paddingOf(node),
                                    zeroPad)
                 : mGraph.conv(convName, x, convKernelToOihw(kernel), bias, strideOf(node), paddingOf(node), zeroPad);
    if (fused.size() > 2) throw std::runtime_error(node.name + ": too many fused ops");
    if (activated) {
        if (fused[1] == "Relu") return mGraph.relu(name, y);
        if (fused[1] == "Relu6") return mGraph.clamp(name, y, 0.0f, 6.0f);
        throw std::runtime_error(node.name + ": fused activation " + fused[1]);
    }
    return y;
}

Port TfGraphTranslator::binary(const GraphNode& node, bool isAdd) {
    const std::string name = irName(node.name);
    const std::string& a = node.inputs.at(0);
    const std::string& b = node.inputs.at(1);
    if (isScalarConst(a) || isScalarConst(b)) {
        const bool firstConst = isScalarConst(a);
        const Port x = build(firstConst ? b : a);
        const Tensor c({1}, scalarValue(firstConst ? a : b));
        return isAdd ? mGraph.addChannels(name, x, c, false) : mGraph.mulChannels(name, x, c, false);
    }
    const Port x = build(a);
    const Port y = build(b);
    return isAdd ? mGraph.add(name, x, y) : mGraph.multiply(name, x, y);
}

// Residual blocks that widen their input pad it with zero channels; spatial pads are
// folded into the convolution they feed, so any other padding is an error.
Port TfGraphTranslator::channelPad(const GraphNode& node) {
    const Tensor& pads = mModel.weight(stripOutputIndex(node.inputs.at(1)));
    if (pads.count() != 8) throw std::runtime_error(node.name + ": only 4-D padding is supported");
    for (int i = 0; i < 7; ++i)
        if (pads.values[i] != 0) throw std::runtime_error(node.name + ": only trailing channel padding is supported");
    const Port x = build(node.inputs.at(0));
    Shape zerosShape = mGraph.shape(x);
    zerosShape[1] = static_cast<int64_t>(pads.values[7]);
    const std::string name = irName(node.name);
    const Port zeros = mGraph.constant(name + "/zeros", Tensor(zerosShape, 0.0f), false);
    return mGraph.concat(name, {x, zeros}, 1);
}

std::optional<std::string> TfGraphTranslator::hardSwishInput(const GraphNode& mul) const {
    if (mul.inputs.size() != 2) return std::nullopt;
    for (int r = 0; r < 2; ++r) {
        const GraphNode& relu6 = mModel.node(stripOutputIndex(mul.inputs[r]));
        const GraphNode& scaled = mModel.node(stripOutputIndex(mul.inputs[1 - r]));
        if (relu6.op != "Relu6" || scaled.op != "Mul" || scaled.inputs.size() != 2) continue;
        const GraphNode& add = mModel.node(stripOutputIndex(relu6.inputs.at(0)));
        if ((add.op != "Add" && add.op != "AddV2") || add.inputs.size() != 2) continue;
        const int addConst = isScalarConst(add.inputs[0]) ? 0 : 1;
        const int mulConst = isScalarConst(scaled.inputs[0]) ? 0 : 1;
        if (!isScalarConst(add.inputs[addConst]) || scalarValue(add.inputs[addConst]) != 3.0f) continue;
        if (!isScalarConst(scaled.inputs[mulConst]) ||
            std::abs(6.0f * scalarValue(scaled.inputs[mulConst]) - 1) > 1e-3f)
            continue;
        const std::string x = stripOutputIndex(add.inputs[1 - addConst]);
        if (stripOutputIndex(scaled.inputs[1 - mulConst]) == x) return x;
    }
    return std::nullopt;
}

Port TfGraphTranslator::translate(const GraphNode& node) {
    const std::string& op = node.op;
    const std::string name = irName(node.name);
    if (op == "_FusedConv2D" || op == "Conv2D") return convolution(node, false);
    if (op == "DepthwiseConv2dNative" || op == "FusedDepthwiseConv2dNative") return convolution(node, true);
    if (op == "Add" || op == "AddV2") return binary(node, true);
    if (op == "Mul") {
        if (mFuseHardSwish)
            if (const auto x = hardSwishInput(node)) {
                const Port input = build(*x);
                return mGraph.op("HSwish", name, {input}, {}, mGraph.shape(input), "opset4");
            }
        return binary(node, false);
    }
    if (op == "Relu") return mGraph.relu(name, build(node.inputs.at(0)));
    if (op == "Relu6") return mGraph.clamp(name, build(node.inputs.at(0)), 0.0f, 6.0f);
    if (op == "Sigmoid") return mGraph.sigmoid(name, build(node.inputs.at(0)));
    // CReLU's negated half.
    if (op == "Neg") return mGraph.mulChannels(name, build(node.inputs.at(0)), Tensor({1}, -1.0f), false);
    if (op == "Identity") return build(node.inputs.at(0));
    if (op == "MaxPool") {
        const auto kernel = node.intListAttribute("ksize");
        if (kernel.size() != 4 || kernel[1] != kernel[2])
            throw std::runtime_error(node.name + ": only square pools are supported");
        return mGraph.maxPool(name, build(node.inputs.at(0)), static_cast<int>(kernel[1]), strideOf(node),
                              paddingOf(node));
    }
    if (op == "Mean") {
        const Tensor& axes = mModel.weight(stripOutputIndex(node.inputs.at(1)));
        if (axes.count() != 2 || axes.values[0] != 1 || axes.values[1] != 2)
            throw std::runtime_error(node.name + ": only spatial means are supported");
        return mGraph.globalMean(name, build(node.inputs.at(0)), node.boolAttribute("keep_dims", false));
    }
    if (op == "ConcatV2") {
        const Tensor& axis = mModel.weight(stripOutputIndex(node.inputs.back()));
        if (axis.values.at(0) != 3 && axis.values.at(0) != -1)
            throw std::runtime_error(node.name + ": only channel concatenation is supported");
        std::vector<Port> parts;
        for (size_t i = 0; i + 1 < node.inputs.size(); ++i) parts.push_back(build(node.inputs[i]));
        return mGraph.concat(name, parts, 1);
    }
    if (op == "ResizeBilinear") {
        if (node.boolAttribute("align_corners", false))
            throw std::runtime_error(node.name + ": resizing with aligned corners is not supported");
        // The graph's size constant holds the doubled grid at its own input size; the
        // doubling is what is meant, so the size follows the input actually converted.
        const Port x = build(node.inputs.at(0));
        const Shape& in = mGraph.shape(x);
        return mGraph.resizeBilinear(name, x, 2 * in[2], 2 * in[3], node.boolAttribute("half_pixel_centers", false));
    }
    if (op == "Pad") return channelPad(node);
    if (op == "Softmax") {
        const Port x = build(node.inputs.at(0));
        return mGraph.softmax(name, x, 1);
    }
    throw std::runtime_error("graph node " + node.name + ": op " + op + " is not supported");
}

}  // namespace lm::models::real
