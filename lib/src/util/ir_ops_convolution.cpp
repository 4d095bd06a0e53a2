// Layers with a window or weights: Convolution and GroupConvolution, MaxPool and AvgPool,
// ReduceMean and ReduceMax (global pooling) and MatMul (a fully connected layer).

#include <algorithm>

#include "util/ir_network_builder.h"
#include "util/ir_ops.h"

namespace lm::dnn::ir {

namespace {

constexpr int64_t MAX_KERNEL = 1024;

// The pads of one spatial axis from auto_pad, or the explicit ones.
void resolvePads(const std::string& autoPad, int64_t in, int64_t kernel, int64_t stride, int64_t dilation,
                 int64_t& begin, int64_t& end) {
    if (autoPad == "valid") {
        begin = end = 0;
    } else if (autoPad == "same_upper" || autoPad == "same_lower") {
        const int64_t out = (in + stride - 1) / stride;
        const int64_t total = std::max<int64_t>(0, (out - 1) * stride + (kernel - 1) * dilation + 1 - in);
        // same_upper puts the odd pixel at the end, same_lower at the beginning.
        begin = autoPad == "same_upper" ? total / 2 : total - total / 2;
        end = total - begin;
    }
}

struct Window {
    std::vector<int64_t> kernel, strides, dilations, padsBegin, padsEnd;
};

Window readWindow(const IrLayer& layer, const Dims& input, std::vector<int64_t> kernel) {
    Window w;
    w.kernel = std::move(kernel);
    w.strides = attrList<int64_t>(layer, "strides");
    w.dilations = attrList<int64_t>(layer, "dilations", std::vector<int64_t>{1, 1});
    w.padsBegin = attrList<int64_t>(layer, "pads_begin", std::vector<int64_t>{0, 0});
    w.padsEnd = attrList<int64_t>(layer, "pads_end", std::vector<int64_t>{0, 0});
    if (input.size() != 4 || w.kernel.size() != 2 || w.strides.size() != 2 || w.dilations.size() != 2 ||
        w.padsBegin.size() != 2 || w.padsEnd.size() != 2)
        fail(layer.what() + " is supported only as a 2-D window over an NCHW tensor");
    const std::string autoPad = attrString(layer, "auto_pad", std::string("explicit"));
    if (autoPad != "explicit" && autoPad != "notset" && autoPad != "valid" && autoPad != "same_upper" &&
        autoPad != "same_lower")
        fail(layer.what() + " has the unknown auto_pad '" + autoPad + "'");
    for (int i = 0; i < 2; ++i) {
        if (w.kernel[i] < 1 || w.kernel[i] > MAX_KERNEL || w.strides[i] < 1 || w.strides[i] > MAX_KERNEL ||
            w.dilations[i] < 1 || w.dilations[i] > MAX_KERNEL || w.padsBegin[i] < 0 || w.padsBegin[i] > MAX_KERNEL ||
            w.padsEnd[i] < 0 || w.padsEnd[i] > MAX_KERNEL)
            fail(layer.what() + " has a window, stride, dilation or pad out of range");
        resolvePads(autoPad, input[2 + i], w.kernel[i], w.strides[i], w.dilations[i], w.padsBegin[i], w.padsEnd[i]);
    }
    return w;
}

void setWindowParams(cv::dnn::LayerParams& params, const Window& w, bool withPads) {
    params.set("kernel_h", static_cast<int>(w.kernel[0]));
    params.set("kernel_w", static_cast<int>(w.kernel[1]));
    params.set("stride_h", static_cast<int>(w.strides[0]));
    params.set("stride_w", static_cast<int>(w.strides[1]));
    params.set("pad_t", withPads ? static_cast<int>(w.padsBegin[0]) : 0);
    params.set("pad_l", withPads ? static_cast<int>(w.padsBegin[1]) : 0);
    params.set("pad_b", withPads ? static_cast<int>(w.padsEnd[0]) : 0);
    params.set("pad_r", withPads ? static_cast<int>(w.padsEnd[1]) : 0);
}

// OpenCV's convolution refuses asymmetric pads: a Padding layer in front of it applies them.
PortRef padInFront(IrNetworkBuilder& builder, const IrLayer& layer, const Value& x, const Window& window) {
    const std::vector<int> paddings = {0,
                                       0,
                                       0,
                                       0,
                                       static_cast<int>(window.padsBegin[0]),
                                       static_cast<int>(window.padsEnd[0]),
                                       static_cast<int>(window.padsBegin[1]),
                                       static_cast<int>(window.padsEnd[1])};
    cv::dnn::LayerParams pad;
    pad.set("paddings", intList(paddings));
    pad.set("value", 0.0);
    return {builder.addLayer(layer, "Padding", pad, {x.ref}, layer.name + "/pad"), 0};
}

}  // namespace

void onConvolution(IrNetworkBuilder& builder, const IrLayer& layer) {
    requireInputs(layer, 2, 2);
    Value& x = builder.runtimeInput(layer, 0);
    const Constant& weights = builder.constantInput(layer, 1, "weights");
    const bool grouped = layer.type == "GroupConvolution";
    const Dims& w = weights.shape;
    if (w.size() != (grouped ? 5u : 4u) || x.dims.size() != 4)
        fail(layer.what() + " with weights " + dimsText(w) + " on " + dimsText(x.dims) + " is not supported");
    const int64_t groups = grouped ? w[0] : 1;
    const int64_t outChannels = grouped ? w[0] * w[1] : w[0];
    const int64_t inPerGroup = grouped ? w[2] : w[1];
    if (groups < 1 || inPerGroup * groups != x.dims[1])
        fail(layer.what() + " expects " + std::to_string(inPerGroup * groups) + " input channels, gets " +
             std::to_string(x.dims[1]));
    Window window = readWindow(layer, x.dims, {w[w.size() - 2], w[w.size() - 1]});

    const bool symmetric = window.padsBegin == window.padsEnd;
    const PortRef source = symmetric ? x.ref : padInFront(builder, layer, x, window);
    cv::dnn::LayerParams params;
    setWindowParams(params, window, symmetric);
    params.set("dilation_h", static_cast<int>(window.dilations[0]));
    params.set("dilation_w", static_cast<int>(window.dilations[1]));
    params.set("num_output", static_cast<int>(outChannels));
    params.set("group", static_cast<int>(groups));
    params.set("bias_term", false);
    // Grouped weights [G, O/G, I/G, kh, kw] are the same bytes as [O, I/G, kh, kw].
    params.blobs.push_back(toBlob(weights, {static_cast<int>(outChannels), static_cast<int>(inPerGroup),
                                            static_cast<int>(w[w.size() - 2]), static_cast<int>(w[w.size() - 1])}));
    builder.addLayer(layer, "Convolution", params, {source});
}

void onPool(IrNetworkBuilder& builder, const IrLayer& layer) {
    requireInputs(layer, 1, 1);
    Value& x = builder.runtimeInput(layer, 0);
    if (layer.outputs.size() > 1 && builder.consumers(layer, 1) > 0)
        fail(layer.what() + ": the indices output is not supported");
    Window window = readWindow(layer, x.dims, attrList<int64_t>(layer, "kernel"));
    if (window.dilations != std::vector<int64_t>{1, 1}) fail(layer.what() + " with dilations is not supported");
    const Dims& out = outputDims(layer);
    if (out.size() != 4) fail(layer.what() + " declares the output " + dimsText(out));
    // OpenCV rounds pooled sizes up unless told otherwise; the reader rounds down and
    // grows the end pads until the sizes match the IR (its rounding_type included).
    for (int i = 0; i < 2; ++i) {
        auto floorSize = [&] {
            return (x.dims[2 + i] + window.padsBegin[i] + window.padsEnd[i] - window.kernel[i]) / window.strides[i] + 1;
        };
        while (floorSize() < out[2 + i] && window.padsEnd[i] < window.kernel[i]) ++window.padsEnd[i];
        if (floorSize() != out[2 + i])
            fail(layer.what() + " declares " + dimsText(out) + " where the window gives " +
                 std::to_string(floorSize()) + " on axis " + std::to_string(2 + i));
    }
    cv::dnn::LayerParams params;
    params.set("pool", layer.type == "MaxPool" ? "max" : "ave");
    setWindowParams(params, window, true);
    params.set("ceil_mode", false);
    if (layer.type == "AvgPool") params.set("ave_pool_padded_area", !attrBool(layer, "exclude-pad", false));
    builder.addLayer(layer, "Pooling", params, {x.ref});
}

void onReduce(IrNetworkBuilder& builder, const IrLayer& layer) {
    requireInputs(layer, 2, 2);
    Value& x = builder.runtimeInput(layer, 0);
    std::vector<int> axes = normaliseAxes(builder.constantInput(layer, 1, "axes"), x.dims.size(), layer);
    std::sort(axes.begin(), axes.end());
    if (x.dims.size() != 4 || axes != std::vector<int>{2, 3})
        fail(layer.what() + " is supported only over the spatial axes of an NCHW tensor");
    const bool keepDims = attrBool(layer, "keep_dims", false);
    cv::dnn::LayerParams params;
    params.set("pool", layer.type == "ReduceMean" ? "ave" : "max");
    params.set("global_pooling", true);
    if (keepDims) {
        builder.addLayer(layer, "Pooling", params, {x.ref});
        return;
    }
    const int pool = builder.addLayer(layer, "Pooling", params, {x.ref}, layer.name + "/pool");
    cv::dnn::LayerParams reshape;
    // 0 keeps the batch of the input, so that a blob of several images keeps them apart.
    reshape.set("dim", intList({0, static_cast<int>(x.dims[1])}));
    builder.addLayer(layer, "Reshape", reshape, {{pool, 0}});
}

void onMatMul(IrNetworkBuilder& builder, const IrLayer& layer) {
    requireInputs(layer, 2, 2);
    Value& x = builder.runtimeInput(layer, 0);
    const Constant& b = builder.constantInput(layer, 1, "weights");
    if (attrBool(layer, "transpose_a", false)) fail(layer.what() + " with transpose_a is not supported");
    if (x.dims.size() != 2 || b.shape.size() != 2) fail(layer.what() + " is supported only as [M,K] by constant [K,N]");
    const bool transposeB = attrBool(layer, "transpose_b", false);
    const int64_t k = transposeB ? b.shape[1] : b.shape[0];
    const int64_t n = transposeB ? b.shape[0] : b.shape[1];
    if (k != x.dims[1]) fail(layer.what() + " multiplies " + dimsText(x.dims) + " by " + dimsText(b.shape));
    // InnerProduct keeps its weights as [N, K].
    cv::Mat weights = toBlob(b, {static_cast<int>(b.shape[0]), static_cast<int>(b.shape[1])});
    // cv::transpose rather than Mat::t(): matrix expressions share a lazily made global
    // that concurrent loads would race on.
    if (!transposeB) {
        cv::Mat transposed;
        cv::transpose(weights, transposed);
        weights = transposed;
    }
    cv::dnn::LayerParams params;
    params.set("num_output", static_cast<int>(n));
    params.set("bias_term", false);
    params.set("axis", 1);
    params.blobs.push_back(weights.clone());
    builder.addLayer(layer, "InnerProduct", params, {x.ref});
}

}  // namespace lm::dnn::ir
