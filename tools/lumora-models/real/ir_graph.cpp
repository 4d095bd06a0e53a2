#include "real/ir_graph.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <fmt/format.h>

namespace lm::models::real {
namespace {

std::string joined(const std::vector<int64_t>& values) {
    std::string text;
    for (size_t i = 0; i < values.size(); ++i) text += (i ? "," : "") + std::to_string(values[i]);
    return text;
}

std::string floatText(float v) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.9g", v);
    return buffer;
}

Shape broadcastShape(const Shape& a, const Shape& b) {
    if (a.size() != b.size()) throw std::runtime_error("broadcast of different ranks");
    Shape out(a.size());
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && a[i] != 1 && b[i] != 1)
            throw std::runtime_error("cannot broadcast " + shapeText(a) + " with " + shapeText(b));
        out[i] = std::max(a[i], b[i]);
    }
    return out;
}

}  // namespace

AxisPads tfPads(int64_t input, int kernel, int stride, Padding padding) {
    if (padding == Padding::Valid) return {(input - kernel) / stride + 1, 0, 0};
    const int64_t output = (input + stride - 1) / stride;
    const int64_t total = std::max<int64_t>((output - 1) * stride + kernel - input, 0);
    return {output, total / 2, total - total / 2};
}

IrGraph::IrGraph(std::string name) : name_(std::move(name)) {}

const Shape& IrGraph::shape(Port p) const { return layers_.at(p.layer).outputs.at(p.index); }

Port IrGraph::op(const std::string& type, const std::string& name, std::vector<Port> inputs,
                 std::vector<std::pair<std::string, std::string>> attributes, Shape output,
                 const std::string& version) {
    for (const auto& l : layers_)
        if (l.name == name) throw std::runtime_error(name_ + ": layer name used twice: " + name);
    IrLayer layer;
    layer.id = static_cast<int>(layers_.size());
    layer.name = name;
    layer.type = type;
    layer.version = version;
    layer.attributes = std::move(attributes);
    layer.inputs = std::move(inputs);
    layer.outputs.push_back(std::move(output));
    layers_.push_back(std::move(layer));
    return {layers_.back().id, 0};
}

Port IrGraph::parameter(const std::string& name, Shape shape) {
    return op("Parameter", name, {}, {{"shape", joined(shape)}, {"element_type", "f32"}}, shape);
}

Port IrGraph::constant(const std::string& name, Tensor values, bool isWeight) {
    const Shape shape = values.shape;
    const Port p = op("Const", name, {}, {}, shape);
    layers_[p.layer].values = std::move(values);
    layers_[p.layer].isWeight = isWeight;
    return p;
}

Port IrGraph::integers(const std::string& name, std::vector<int64_t> values) {
    const Port p = op("Const", name, {}, {}, {static_cast<int64_t>(values.size())});
    layers_[p.layer].integers = std::move(values);
    layers_[p.layer].isInteger = true;
    return p;
}

void IrGraph::result(Port p) {
    op("Result", layers_.at(p.layer).name + "/sink", {p}, {}, {});
    layers_.back().outputs.clear();
}

Port IrGraph::spatial(const std::string& type, const std::string& name, std::vector<Port> inputs,
                      std::vector<std::pair<std::string, std::string>> attributes, Port x, int64_t outChannels,
                      int kernelH, int kernelW, int stride, Padding padding, int64_t zeroPad) {
    const Shape& in = shape(x);
    if (in.size() != 4) throw std::runtime_error(name + ": input is not NCHW");
    if (zeroPad != 0 && padding != Padding::Valid) throw std::runtime_error(name + ": zero pad on a Same window");
    AxisPads h = tfPads(in[2] + 2 * zeroPad, kernelH, stride, padding);
    AxisPads w = tfPads(in[3] + 2 * zeroPad, kernelW, stride, padding);
    if (zeroPad != 0) h.begin = h.end = w.begin = w.end = zeroPad;
    attributes.push_back({"strides", joined({stride, stride})});
    attributes.push_back({"pads_begin", joined({h.begin, w.begin})});
    attributes.push_back({"pads_end", joined({h.end, w.end})});
    attributes.push_back({"auto_pad", padding == Padding::Same ? "same_upper" : zeroPad != 0 ? "explicit" : "valid"});
    return op(type, name, std::move(inputs), std::move(attributes), {in[0], outChannels, h.output, w.output});
}

Port IrGraph::conv(const std::string& name, Port x, const Tensor& oihw, const Tensor* bias, int stride, Padding padding,
                   int64_t zeroPad) {
    if (oihw.shape.size() != 4 || oihw.shape[1] != shape(x)[1])
        throw std::runtime_error(name + ": kernel " + shapeText(oihw.shape) + " does not fit input " +
                                 shapeText(shape(x)));
    const Port w = constant(name + "/weights", oihw, true);
    const std::string convName = bias ? name + "/conv" : name;
    Port y = spatial("Convolution", convName, {x, w}, {{"dilations", "1,1"}}, x, oihw.shape[0],
                     static_cast<int>(oihw.shape[2]), static_cast<int>(oihw.shape[3]), stride, padding, zeroPad);
    return bias ? addChannels(name, y, *bias) : y;
}

Port IrGraph::depthwise(const std::string& name, Port x, const Tensor& goihw, const Tensor* bias, int stride,
                        Padding padding, int64_t zeroPad) {
    if (goihw.shape.size() != 5 || goihw.shape[0] != shape(x)[1])
        throw std::runtime_error(name + ": depthwise kernel " + shapeText(goihw.shape) + " does not fit input " +
                                 shapeText(shape(x)));
    const Port w = constant(name + "/weights", goihw, true);
    const std::string convName = bias ? name + "/conv" : name;
    Port y = spatial("GroupConvolution", convName, {x, w}, {{"dilations", "1,1"}}, x, goihw.shape[0],
                     static_cast<int>(goihw.shape[3]), static_cast<int>(goihw.shape[4]), stride, padding, zeroPad);
    return bias ? addChannels(name, y, *bias) : y;
}

Port IrGraph::depthwise5x5As3x3(const std::string& name, Port x, const Tensor& goihw, const Tensor* bias) {
    const Shape& in = shape(x);
    if (goihw.shape != Shape{in[1], 1, 1, 5, 5})
        throw std::runtime_error(name + ": not a 5x5 depthwise kernel for input " + shapeText(in));
    // Along each axis a block takes kernel taps 0-2 (offsets -2..0: pads 2 before, 0 after) or
    // taps 3-4 behind a zero tap (offsets 0..+2: pads 0 before, 2 after).
    std::vector<Port> blocks;
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 2; ++c) {
            Tensor block({in[1], 1, 1, 3, 3}, 0.0f);
            for (int64_t ch = 0; ch < in[1]; ++ch)
                for (int i = 0; i < 3; ++i)
                    for (int j = 0; j < 3; ++j) {
                        const int ki = r == 0 ? i : i + 2, kj = c == 0 ? j : j + 2;
                        if ((r == 1 && i == 0) || (c == 1 && j == 0)) continue;
                        block.at({ch, 0, 0, i, j}) = goihw.at({ch, 0, 0, ki, kj});
                    }
            const std::string blockName = name + "/block" + std::to_string(2 * r + c);
            const Port w = constant(blockName + "/weights", block, true);
            const int64_t top = r == 0 ? 2 : 0, left = c == 0 ? 2 : 0;
            Port y = op("GroupConvolution", blockName, {x, w},
                        {{"dilations", "1,1"},
                         {"strides", "1,1"},
                         {"pads_begin", joined({top, left})},
                         {"pads_end", joined({2 - top, 2 - left})},
                         {"auto_pad", "explicit"}},
                        in);
            if (bias && blocks.empty()) y = addChannels(blockName + "/bias", y, *bias);
            blocks.push_back(y);
        }
    Port sum = add(name + "/sum01", blocks[0], blocks[1]);
    sum = add(name + "/sum012", sum, blocks[2]);
    return add(name, sum, blocks[3]);
}

Port IrGraph::addChannels(const std::string& name, Port x, const Tensor& bias, bool isWeight) {
    const Port c = constant(name + "/bias", Tensor({1, bias.count(), 1, 1}, bias.values), isWeight);
    return add(name, x, c);
}

Port IrGraph::mulChannels(const std::string& name, Port x, const Tensor& scale, bool isWeight) {
    const Port c = constant(name + "/scale", Tensor({1, scale.count(), 1, 1}, scale.values), isWeight);
    return multiply(name, x, c);
}

Port IrGraph::affineInput(const std::string& name, Port x, const std::vector<float>& a, const std::vector<float>& b) {
    const int64_t n = static_cast<int64_t>(a.size());
    const Port scaled = mulChannels(name + "/scale", x, Tensor({n}, a), false);
    return addChannels(name, scaled, Tensor({n}, b), false);
}

Port IrGraph::dense(const std::string& name, Port x, const Tensor& kn, const Tensor& bias) {
    const Shape& in = shape(x);
    if (in.size() != 2 || kn.shape.size() != 2 || kn.shape[0] != in[1] || bias.count() != kn.shape[1])
        throw std::runtime_error(name + ": dense " + shapeText(kn.shape) + " does not fit " + shapeText(in));
    const Port w = constant(name + "/weights", kn, true);
    const Port m = op("MatMul", name + "/matmul", {x, w}, {{"transpose_a", "false"}, {"transpose_b", "false"}},
                      {in[0], kn.shape[1]});
    const Port b = constant(name + "/bias", Tensor({1, bias.count()}, bias.values), true);
    return add(name, m, b);
}

// Both ops commute; the reader maps a broadcast onto OpenCV's Scale only when the
// full-size tensor comes first.
static void largerFirst(const IrGraph& g, Port& a, Port& b) {
    if (elementCount(g.shape(a)) < elementCount(g.shape(b))) std::swap(a, b);
}

Port IrGraph::add(const std::string& name, Port a, Port b) {
    largerFirst(*this, a, b);
    return op("Add", name, {a, b}, {{"auto_broadcast", "numpy"}}, broadcastShape(shape(a), shape(b)));
}

Port IrGraph::multiply(const std::string& name, Port a, Port b) {
    largerFirst(*this, a, b);
    return op("Multiply", name, {a, b}, {{"auto_broadcast", "numpy"}}, broadcastShape(shape(a), shape(b)));
}

Port IrGraph::relu(const std::string& name, Port x) { return op("Relu", name, {x}, {}, shape(x)); }

Port IrGraph::clamp(const std::string& name, Port x, float low, float high) {
    return op("Clamp", name, {x}, {{"min", floatText(low)}, {"max", floatText(high)}}, shape(x));
}

Port IrGraph::sigmoid(const std::string& name, Port x) { return op("Sigmoid", name, {x}, {}, shape(x)); }

Port IrGraph::softmax(const std::string& name, Port x, int axis) {
    return op("SoftMax", name, {x}, {{"axis", std::to_string(axis)}}, shape(x));
}

Port IrGraph::maxPool(const std::string& name, Port x, int kernel, int stride, Padding padding) {
    return spatial("MaxPool", name, {x}, {{"kernel", joined({kernel, kernel})}, {"rounding_type", "floor"}}, x,
                   shape(x)[1], kernel, kernel, stride, padding);
}

Port IrGraph::avgPool(const std::string& name, Port x, int kernel, int stride, Padding padding) {
    return spatial("AvgPool", name, {x},
                   {{"kernel", joined({kernel, kernel})}, {"rounding_type", "floor"}, {"exclude-pad", "true"}}, x,
                   shape(x)[1], kernel, kernel, stride, padding);
}

Port IrGraph::globalMean(const std::string& name, Port x, bool keepDims) {
    const Shape& in = shape(x);
    const Port axes = integers(name + "/axes", {2, 3});
    Shape out = keepDims ? Shape{in[0], in[1], 1, 1} : Shape{in[0], in[1]};
    return op("ReduceMean", name, {x, axes}, {{"keep_dims", keepDims ? "true" : "false"}}, out);
}

Port IrGraph::reshape(const std::string& name, Port x, Shape to) {
    if (elementCount(to) != elementCount(shape(x)))
        throw std::runtime_error(name + ": cannot reshape " + shapeText(shape(x)) + " to " + shapeText(to));
    const Port target = integers(name + "/shape", to);
    return op("Reshape", name, {x, target}, {{"special_zero", "false"}}, to);
}

Port IrGraph::transpose(const std::string& name, Port x, std::vector<int64_t> perm) {
    const Shape& in = shape(x);
    Shape out(in.size());
    for (size_t i = 0; i < perm.size(); ++i) out[i] = in.at(perm[i]);
    const Port order = integers(name + "/order", perm);
    return op("Transpose", name, {x, order}, {}, out);
}

Port IrGraph::concat(const std::string& name, std::vector<Port> inputs, int axis) {
    Shape out = shape(inputs.at(0));
    for (size_t i = 1; i < inputs.size(); ++i) out[axis] += shape(inputs[i])[axis];
    return op("Concat", name, std::move(inputs), {{"axis", std::to_string(axis)}}, out);
}

Port IrGraph::resizeBilinear(const std::string& name, Port x, int64_t height, int64_t width, bool halfPixel) {
    const Shape& in = shape(x);
    const Port sizes = integers(name + "/sizes", {height, width});
    const Port scales = constant(
        name + "/scales", Tensor({2}, {static_cast<float>(height) / in[2], static_cast<float>(width) / in[3]}), false);
    const Port axes = integers(name + "/axes", {2, 3});
    return op("Interpolate", name, {x, sizes, scales, axes},
              {{"mode", "linear"},
               {"shape_calculation_mode", "sizes"},
               {"coordinate_transformation_mode", halfPixel ? "half_pixel" : "asymmetric"},
               {"nearest_mode", "floor"},
               {"antialias", "false"},
               {"pads_begin", "0,0,0,0"},
               {"pads_end", "0,0,0,0"},
               {"cube_coeff", "-0.75"}},
              {in[0], in[1], height, width}, "opset4");
}

Port IrGraph::divide(const std::string& name, Port a, Port b) {
    if (shape(a) != shape(b)) throw std::runtime_error(name + ": divide needs equal shapes");
    return op("Divide", name, {a, b}, {{"auto_broadcast", "numpy"}}, shape(a));
}

Port IrGraph::scaledToLength(const std::string& name, Port x, float length) {
    // The network reader has no NormalizeL2 (and no Sqrt or Power), so the norm is taken
    // with the ops it has: the mean square s of all values, then sqrt(s) by Heron's
    // iteration q <- (q + s/q) / 2 from q = (s + 1) / 2, which is never below sqrt(s) and
    // converges for every s > 0: far from the root each step halves q, near it the error
    // squares, so sixteen steps reach float precision for s from 1e-7 to 1e7 (the
    // standardised values here keep s between about 0.1 and 100). s = 0 gives zeros, not NaN.
    const Shape& in = shape(x);
    const int64_t channels = in[1];
    const float count = static_cast<float>(elementCount(in) / in[0]);
    const Port square = multiply(name + "/square", x, x);
    const Port cellMean = globalMean(name + "/mean_hw", square, true);  // [1,C,1,1]
    const Tensor average({1, channels, 1, 1}, 1.0f / static_cast<float>(channels));
    const Port meanSquare = conv(name + "/mean", cellMean, average, nullptr, 1, Padding::Valid);
    Port root = addChannels(name + "/root0", mulChannels(name + "/root0/half", meanSquare, Tensor({1}, 0.5f), false),
                            Tensor({1}, 0.5f), false);
    for (int step = 1; step <= 16; ++step) {
        const std::string at = name + "/root" + std::to_string(step);
        const Port sum = add(at + "/sum", root, divide(at + "/quotient", meanSquare, root));
        root = mulChannels(at, sum, Tensor({1}, 0.5f), false);
    }
    // length / |x| = (length / sqrt(count)) / sqrt(s), spread over the channels so that
    // it scales x as a per-channel factor.
    const Port numerator =
        addChannels(name + "/numerator", mulChannels(name + "/numerator/zero", root, Tensor({1}, 0.0f), false),
                    Tensor({1}, length / std::sqrt(count)), false);
    const Port factor = divide(name + "/factor", numerator, root);
    const Port perChannel =
        conv(name + "/factor/channels", factor, Tensor({channels, 1, 1, 1}, 1.0f), nullptr, 1, Padding::Valid);
    return multiply(name, x, perChannel);
}

Port IrGraph::flattenNhwc(const std::string& name, Port x) {
    const Port nhwc = transpose(name + "/nhwc", x, {0, 2, 3, 1});
    return reshape(name + "/flat", nhwc, {1, elementCount(shape(x))});
}

Port IrGraph::detectionOutput(const std::string& name, Port loc, Port conf, Port priors, const std::string& codeType,
                              float confidenceThreshold, int keepTopK, float nmsThreshold) {
    return op("DetectionOutput", name, {loc, conf, priors},
              {{"num_classes", "2"},
               {"background_label_id", "0"},
               {"top_k", "400"},
               {"keep_top_k", std::to_string(keepTopK)},
               {"code_type", "caffe.PriorBoxParameter." + codeType},
               {"share_location", "true"},
               {"nms_threshold", fmt::format("{}", nmsThreshold)},
               {"confidence_threshold", fmt::format("{}", confidenceThreshold)},
               {"variance_encoded_in_target", "false"},
               {"normalized", "true"},
               {"clip_before_nms", "false"},
               {"clip_after_nms", "false"},
               {"decrease_label_id", "false"},
               {"input_height", "1"},
               {"input_width", "1"},
               {"objectness_score", "0"}},
              {1, 1, keepTopK, 7});
}

}  // namespace lm::models::real
