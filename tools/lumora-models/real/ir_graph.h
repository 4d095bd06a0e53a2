#pragma once
// An intermediate-representation network under construction: layers with their IR type,
// attributes, inputs and output dims, built op by op with the dims inferred as they go.
// The converters build one of these per model role; it is then written out as an IR
// pair (plain or with compressed weights).
//
// Activations are NCHW. Convolutions follow TensorFlow's padding rules: "same" puts the
// odd pad pixel at the bottom/right, which is the IR's auto_pad "same_upper".

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "real/tensor.h"

namespace lm::models::real {

struct Port {
    int layer = -1;
    int index = 0;  // the layer's output number
};

enum class Padding { Same, Valid };

struct IrLayer {
    int id = 0;
    std::string name;
    std::string type;
    std::string version = "opset1";
    std::vector<std::pair<std::string, std::string>> attributes;
    std::vector<Port> inputs;
    std::vector<Shape> outputs;
    // Const only: f32 values, or i64 values when isInteger.
    Tensor values;
    std::vector<int64_t> integers;
    bool isInteger = false;
    bool isWeight = false;  // a trained weight: the quantized variant may compress it
};

class IrGraph {
public:
    explicit IrGraph(std::string name);

    const std::string& name() const { return name_; }
    const std::vector<IrLayer>& layers() const { return layers_; }
    const Shape& shape(Port p) const;
    const IrLayer& layer(Port p) const { return layers_.at(p.layer); }

    // --- primitives ---
    Port parameter(const std::string& name, Shape shape);
    Port constant(const std::string& name, Tensor values, bool isWeight);
    Port integers(const std::string& name, std::vector<int64_t> values);
    Port op(const std::string& type, const std::string& name, std::vector<Port> inputs,
            std::vector<std::pair<std::string, std::string>> attributes, Shape output,
            const std::string& version = "opset1");
    void result(Port p);

    // --- layers built from trained weights ---
    // Convolution with an OIHW kernel, optional bias [O]; Same pads as TensorFlow. A Valid
    // window may take zeroPad pixels of zeros on every side first (a graph's explicit pad
    // folded into the convolution).
    Port conv(const std::string& name, Port x, const Tensor& oihw, const Tensor* bias, int stride, Padding padding,
              int64_t zeroPad = 0);
    // Depthwise convolution with a [C,1,1,kh,kw] kernel.
    Port depthwise(const std::string& name, Port x, const Tensor& goihw, const Tensor* bias, int stride,
                   Padding padding, int64_t zeroPad = 0);
    // The same stride-1 "same" 5x5 depthwise convolution as four 3x3 ones, one per corner block
    // of the kernel, each with its own asymmetric pads, summed: OpenCV runs 3x3 depthwise
    // kernels several times faster than 5x5 ones, enough to pay for the extra passes.
    Port depthwise5x5As3x3(const std::string& name, Port x, const Tensor& goihw, const Tensor* bias);
    // Adds a per-channel bias [C] (or a scalar) as a [1,C,1,1] constant.
    Port addChannels(const std::string& name, Port x, const Tensor& bias, bool isWeight = true);
    Port mulChannels(const std::string& name, Port x, const Tensor& scale, bool isWeight = true);
    // y = a*x + b per channel: how a network's own input normalisation undoes the caller's mean.
    Port affineInput(const std::string& name, Port x, const std::vector<float>& a, const std::vector<float>& b);
    // Two-class SSD decoding with NMS at IoU nmsThreshold into keepTopK rows of 7 values,
    // boxes normalised to the frame; codeType is "CORNER" or "CENTER_SIZE".
    Port detectionOutput(const std::string& name, Port loc, Port conf, Port priors, const std::string& codeType,
                         float confidenceThreshold, int keepTopK, float nmsThreshold = 0.5f);
    // x [1,K] times a [K,N] matrix, plus a bias [N].
    Port dense(const std::string& name, Port x, const Tensor& kn, const Tensor& bias);

    // --- parameterless layers ---
    Port add(const std::string& name, Port a, Port b);
    Port multiply(const std::string& name, Port a, Port b);
    Port relu(const std::string& name, Port x);
    Port clamp(const std::string& name, Port x, float low, float high);
    Port sigmoid(const std::string& name, Port x);
    Port softmax(const std::string& name, Port x, int axis);
    Port maxPool(const std::string& name, Port x, int kernel, int stride, Padding padding);
    Port avgPool(const std::string& name, Port x, int kernel, int stride, Padding padding);
    Port globalMean(const std::string& name, Port x, bool keepDims);
    Port reshape(const std::string& name, Port x, Shape shape);
    Port transpose(const std::string& name, Port x, std::vector<int64_t> perm);
    Port concat(const std::string& name, std::vector<Port> inputs, int axis);
    // An NCHW map as one row [1, H*W*C] in NHWC order (cell by cell): the order in which
    // detection heads list their anchors.
    Port flattenNhwc(const std::string& name, Port x);
    // Bilinear resize with TensorFlow's legacy (asymmetric) coordinates, or with pixel centres
    // matched as cv::resize does (halfPixel).
    Port resizeBilinear(const std::string& name, Port x, int64_t height, int64_t width, bool halfPixel = false);
    // Elementwise a / b of two tensors of the same shape.
    Port divide(const std::string& name, Port a, Port b);
    // x scaled to the given L2 length over all of C, H and W.
    Port scaledToLength(const std::string& name, Port x, float length);

private:
    Port spatial(const std::string& type, const std::string& name, std::vector<Port> inputs,
                 std::vector<std::pair<std::string, std::string>> attributes, Port x, int64_t outChannels, int kernelH,
                 int kernelW, int stride, Padding padding, int64_t zeroPad = 0);

    std::string name_;
    std::vector<IrLayer> layers_;
};

// TensorFlow's padding: output = ceil(in/stride) for Same, with the smaller half of the
// total pad first; Valid pads nothing.
struct AxisPads {
    int64_t output;
    int64_t begin;
    int64_t end;
};
AxisPads tfPads(int64_t input, int kernel, int stride, Padding padding);

}  // namespace lm::models::real
