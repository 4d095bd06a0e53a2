// Element-wise ops: Convert, the four arithmetic ops, the activations and SoftMax.
// Arithmetic on constants is folded at load time; a constant operand of a runtime tensor
// becomes a bias fused into the layer before it, a Power or Scale layer, or a Const layer.

#include <algorithm>
#include <cmath>
#include <map>

#include "util/ir_network_builder.h"
#include "util/ir_ops.h"

namespace lm::dnn::ir {

namespace {

double roundToHalf(double value) { return static_cast<float>(cv::float16_t(static_cast<float>(value))); }

// Numpy-style broadcasting of two constants.
Constant broadcastConstants(const Constant& a, const Constant& b, double (*op)(double, double), const IrLayer& layer) {
    const size_t rank = std::max(a.shape.size(), b.shape.size());
    Dims shape(rank);
    auto dimAt = [rank](const Dims& d, size_t i) {
        const size_t offset = rank - d.size();
        return i < offset ? int64_t(1) : d[i - offset];
    };
    for (size_t i = 0; i < rank; ++i) {
        const int64_t da = dimAt(a.shape, i), db = dimAt(b.shape, i);
        if (da != db && da != 1 && db != 1)
            fail(layer.what() + " cannot broadcast " + dimsText(a.shape) + " with " + dimsText(b.shape));
        shape[i] = std::max(da, db);
    }
    requireFoldable(layer, shape);
    Constant result;
    result.shape = shape;
    result.values.resize(static_cast<size_t>(elementCount(shape)));
    std::vector<int64_t> index(rank, 0);
    auto flatIndex = [&](const Dims& d) {
        int64_t flat = 0;
        const size_t offset = rank - d.size();
        for (size_t i = offset; i < rank; ++i) flat = flat * d[i - offset] + (d[i - offset] == 1 ? 0 : index[i]);
        return flat;
    };
    for (size_t n = 0; n < result.values.size(); ++n) {
        result.values[n] = op(a.values[flatIndex(a.shape)], b.values[flatIndex(b.shape)]);
        for (size_t i = rank; i-- > 0;) {
            if (++index[i] < shape[i]) break;
            index[i] = 0;
        }
    }
    return result;
}

// How a constant combines with a runtime tensor of the given dims: as one scalar, or
// along one block of consecutive axes starting at `axis` (what OpenCV's Scale layer does).
struct BroadcastPlan {
    bool scalar = false;
    bool valid = false;
    int axis = 1;
};

BroadcastPlan planBroadcast(const Dims& x, const Dims& c) {
    BroadcastPlan plan;
    if (c.size() > x.size()) return plan;
    const size_t offset = x.size() - c.size();
    int first = -1, last = -1;
    for (size_t i = 0; i < c.size(); ++i) {
        if (c[i] == 1) continue;
        if (c[i] != x[offset + i]) return plan;
        if (first < 0) first = static_cast<int>(offset + i);
        last = static_cast<int>(offset + i);
    }
    if (first < 0) {
        plan.scalar = plan.valid = true;
        return plan;
    }
    for (int i = first; i <= last; ++i)
        if (c[i - offset] != x[i]) return plan;  // a 1 inside the block would need real broadcasting
    plan.valid = true;
    plan.axis = first;
    return plan;
}

// A bias after a convolution or a fully connected layer joins that layer when the layer
// feeds nothing else; the fused layer takes the Add's name.
bool fuseBias(IrNetworkBuilder& builder, const IrLayer& layer, const Value& x, const Constant& c,
              const BroadcastPlan& plan, int sourceConsumers) {
    if (x.ref.layer < 0 || sourceConsumers != 1) return false;
    PendingLayer& producer = builder.pendingLayer(x.ref.layer);
    const bool fusable = producer.type == "Convolution" || producer.type == "InnerProduct";
    const int channels = fusable ? producer.params.get<int>("num_output") : 0;
    const bool channelBias = plan.scalar || (plan.axis == 1 && c.values.size() == static_cast<size_t>(channels));
    if (!fusable || !channelBias) return false;
    cv::Mat bias =
        producer.params.blobs.size() > 1 ? producer.params.blobs[1] : cv::Mat(1, channels, CV_32F, cv::Scalar(0));
    for (int i = 0; i < channels; ++i) bias.at<float>(i) += static_cast<float>(c.values[plan.scalar ? 0 : i]);
    if (producer.params.blobs.size() > 1)
        producer.params.blobs[1] = bias;
    else
        producer.params.blobs.push_back(bias);
    producer.params.set("bias_term", true);
    producer.name = producer.params.name = layer.name;
    producer.expected = outputDims(layer);
    Value value = x;
    value.dims = outputDims(layer);
    value.name = layer.name;
    builder.setOutput(layer, value);
    return true;
}

// A Scale layer with its own blobs is kept to one value per channel: OpenCV fuses such a
// layer into a convolution before it and fails on any other count.
bool perChannel(const Value& x, const Constant& c, const BroadcastPlan& plan) {
    return plan.axis == 1 && x.dims.size() >= 2 && static_cast<int64_t>(c.values.size()) == x.dims[1];
}

// Any other constant becomes a Const layer: combined element by element when it is as
// large as x, else as the second input of a Scale layer over its block of axes.
void combineWithConstantLayer(IrNetworkBuilder& builder, const IrLayer& layer, const Value& x, const Constant& c,
                              const BroadcastPlan& plan, bool add) {
    Constant full = c;
    const bool sameSize = static_cast<int64_t>(c.values.size()) == elementCount(x.dims);
    full.shape.assign(x.dims.size(), 1);
    if (sameSize)
        full.shape = x.dims;
    else
        for (size_t i = 0, offset = x.dims.size() - c.shape.size(); i < c.shape.size(); ++i)
            full.shape[offset + i] = c.shape[i];
    Value constant;
    constant.constant = std::make_shared<const Constant>(std::move(full));
    constant.dims = constant.constant->shape;
    constant.name = layer.name + "/constant";
    const PortRef ref = builder.refOf(constant);
    cv::dnn::LayerParams params;
    if (sameSize) {
        params.set("operation", add ? "sum" : "prod");
        builder.addLayer(layer, "Eltwise", params, {x.ref, ref});
        return;
    }
    params.set("axis", plan.axis);
    params.set("bias_term", add);
    builder.addLayer(layer, "Scale", params, {x.ref, ref});
}

// Adds the constant to x, or multiplies x by it: a scalar is a Power layer, one value per
// channel a Scale layer with its own blobs.
void combineWithConstant(IrNetworkBuilder& builder, const IrLayer& layer, const Value& x, const Constant& c,
                         const BroadcastPlan& plan, bool add) {
    cv::dnn::LayerParams params;
    if (plan.scalar) {
        params.set("power", 1.0);
        params.set("scale", add ? 1.0 : c.values[0]);
        params.set("shift", add ? c.values[0] : 0.0);
        builder.addLayer(layer, "Power", params, {x.ref});
        return;
    }
    if (!perChannel(x, c, plan)) {
        combineWithConstantLayer(builder, layer, x, c, plan, add);
        return;
    }
    params.set("axis", plan.axis);
    params.set("bias_term", add);
    if (add) {
        Constant ones = c;
        std::fill(ones.values.begin(), ones.values.end(), 1.0);
        params.blobs = {toBlob(ones), toBlob(c)};
    } else {
        params.blobs = {toBlob(c)};
    }
    builder.addLayer(layer, "Scale", params, {x.ref});
}

void foldConstants(IrNetworkBuilder& builder, const IrLayer& layer, const Constant& a, const Constant& b) {
    const std::string& type = layer.type;
    double (*op)(double, double) = type == "Add"        ? +[](double x, double y) { return x + y; }
                                   : type == "Subtract" ? +[](double x, double y) { return x - y; }
                                   : type == "Multiply" ? +[](double x, double y) { return x * y; }
                                                        : +[](double x, double y) { return x / y; };
    builder.setConstant(layer, broadcastConstants(a, b, op, layer));
}

// Subtract and Divide become Add and Multiply of the negated or inverted constant.
void combineTensorWithConstant(IrNetworkBuilder& builder, const IrLayer& layer, const Value& a, const Value& b) {
    const std::string& type = layer.type;
    const bool constantFirst = a.isConstant();
    const Value& x = constantFirst ? b : a;
    Constant c = constantFirst ? *a.constant : *b.constant;
    if (constantFirst && (type == "Subtract" || type == "Divide"))
        fail(layer.what() + " with a constant first operand is not supported");
    if (type == "Subtract")
        for (double& v : c.values) v = -v;
    if (type == "Divide")
        for (double& v : c.values) v = 1.0 / v;
    const bool add = type == "Add" || type == "Subtract";
    const BroadcastPlan plan = planBroadcast(x.dims, c.shape);
    if (!plan.valid || c.shape.size() > x.dims.size()) {
        if (add) fail(layer.what() + " cannot add " + dimsText(c.shape) + " to " + dimsText(x.dims));
        fail(layer.what() + " cannot multiply " + dimsText(x.dims) + " by " + dimsText(c.shape));
    }
    if (add && fuseBias(builder, layer, x, c, plan, builder.sourceConsumers(layer, constantFirst ? 1 : 0))) return;
    combineWithConstant(builder, layer, x, c, plan, add);
}

void combineTensors(IrNetworkBuilder& builder, const IrLayer& layer, const Value& a, const Value& b) {
    static constexpr float SUBTRACT_COEFFICIENTS[] = {1.f, -1.f};
    const std::string& type = layer.type;
    if (a.dims == b.dims) {
        cv::dnn::LayerParams params;
        if (type == "Add")
            params.set("operation", "sum");
        else if (type == "Multiply")
            params.set("operation", "prod");
        else if (type == "Divide")
            params.set("operation", "div");
        else {
            params.set("operation", "sum");
            params.set("coeff", cv::dnn::DictValue::arrayReal(SUBTRACT_COEFFICIENTS, 2));
        }
        builder.addLayer(layer, "Eltwise", params, {a.ref, b.ref});
        return;
    }
    if (type == "Add" || type == "Multiply") {
        // OpenCV's Scale layer takes its weights (or bias) from a second input that
        // spans a block of the first one's axes; either operand may be the smaller one.
        const bool bSmaller = elementCount(b.dims) <= elementCount(a.dims);
        const Value& big = bSmaller ? a : b;
        const Value& small = bSmaller ? b : a;
        const BroadcastPlan plan = planBroadcast(big.dims, small.dims);
        if (plan.valid && !plan.scalar && big.dims.size() == small.dims.size() && outputDims(layer) == big.dims) {
            cv::dnn::LayerParams params;
            // Two runtime tensors of one image each ([1,C,H,W] by [1,C,1,1], a squeeze-excite
            // gain) carry the batch in their first axis at run time: the block then starts at
            // the batch axis, so that a batch of N scales each image by its own N-th gain.
            const bool sharedBatchAxis = plan.axis == 1 && big.dims[0] == 1 && small.dims[0] == 1;
            params.set("axis", sharedBatchAxis ? 0 : plan.axis);
            params.set("bias_term", type == "Add");
            builder.addLayer(layer, "Scale", params, {big.ref, small.ref});
            return;
        }
    }
    fail(layer.what() + " of tensors " + dimsText(a.dims) + " and " + dimsText(b.dims) + " is not supported");
}

}  // namespace

void onConvert(IrNetworkBuilder& builder, const IrLayer& layer) {
    requireInputs(layer, 1, 1);
    const std::string destination = attrString(layer, "destination_type");
    Value& source = builder.input(layer, 0);
    if (!source.isConstant()) {
        if (destination != "f32" && destination != "f16")
            fail(layer.what() + " to '" + destination + "' on a runtime tensor is not supported");
        builder.setAlias(layer, source);  // OpenCV computes in f32 throughout
        return;
    }
    Constant converted = *source.constant;
    for (double& v : converted.values) {
        if (destination == "f32")
            v = static_cast<float>(v);
        else if (destination == "f16")
            v = roundToHalf(v);
        else if (destination == "i64" || destination == "i32" || destination == "u8" || destination == "i8")
            v = std::trunc(v);
        else if (destination == "boolean")
            v = v != 0.0;
        else
            fail(layer.what() + " to the unsupported type '" + destination + "'");
    }
    builder.setConstant(layer, std::move(converted));
}

void onBinary(IrNetworkBuilder& builder, const IrLayer& layer) {
    requireInputs(layer, 2, 2);
    Value& a = builder.input(layer, 0);
    Value& b = builder.input(layer, 1);
    if (attrString(layer, "auto_broadcast", std::string("numpy")) == "none" && a.dims != b.dims)
        fail(layer.what() + " without broadcasting has inputs " + dimsText(a.dims) + " and " + dimsText(b.dims));
    if (a.isConstant() && b.isConstant())
        foldConstants(builder, layer, *a.constant, *b.constant);
    else if (a.isConstant() != b.isConstant())
        combineTensorWithConstant(builder, layer, a, b);
    else
        combineTensors(builder, layer, a, b);
}

void onActivation(IrNetworkBuilder& builder, const IrLayer& layer) {
    static const std::map<std::string, std::string> OPENCV_TYPES = {
        {"Relu", "ReLU"},        {"Sigmoid", "Sigmoid"},      {"Tanh", "TanH"}, {"Elu", "ELU"},
        {"HSwish", "HardSwish"}, {"HSigmoid", "HardSigmoid"}, {"Mish", "Mish"}, {"Swish", "Swish"}};
    requireInputs(layer, 1, layer.type == "Swish" ? 2 : 1);
    Value& x = builder.runtimeInput(layer, 0);
    cv::dnn::LayerParams params;
    if (layer.type == "Elu") params.set("alpha", attrNumber<double>(layer, "alpha"));
    if (layer.type == "HSigmoid") {
        params.set("alpha", 1.0 / 6.0);
        params.set("beta", 0.5);
    }
    if (layer.type == "Swish" && inputCount(layer) == 2) {
        const Constant& beta = builder.constantInput(layer, 1, "beta");
        if (beta.values.size() != 1 || beta.values[0] != 1.0)
            fail(layer.what() + " with a beta other than 1 is not supported");
    }
    builder.addLayer(layer, OPENCV_TYPES.at(layer.type), params, {x.ref});
}

void onClamp(IrNetworkBuilder& builder, const IrLayer& layer) {
    requireInputs(layer, 1, 1);
    Value& x = builder.runtimeInput(layer, 0);
    cv::dnn::LayerParams params;
    params.set("min_value", attrNumber<double>(layer, "min"));
    params.set("max_value", attrNumber<double>(layer, "max"));
    builder.addLayer(layer, "ReLU6", params, {x.ref});
}

void onPRelu(IrNetworkBuilder& builder, const IrLayer& layer) {
    requireInputs(layer, 2, 2);
    Value& x = builder.runtimeInput(layer, 0);
    const Constant& slope = builder.constantInput(layer, 1, "slope");
    cv::dnn::LayerParams params;
    if (slope.values.size() == 1) {
        params.set("negative_slope", slope.values[0]);
        builder.addLayer(layer, "ReLU", params, {x.ref});
        return;
    }
    if (x.dims.size() < 2 || static_cast<int64_t>(slope.values.size()) != x.dims[1])
        fail(layer.what() + " needs one slope or one per channel, has " + dimsText(slope.shape));
    params.blobs.push_back(toBlob(slope, {static_cast<int>(slope.values.size())}));
    builder.addLayer(layer, "PReLU", params, {x.ref});
}

void onSoftMax(IrNetworkBuilder& builder, const IrLayer& layer) {
    requireInputs(layer, 1, 1);
    Value& x = builder.runtimeInput(layer, 0);
    cv::dnn::LayerParams params;
    params.set("axis", normaliseAxis(attrNumber<int64_t>(layer, "axis", int64_t(1)), x.dims.size(), layer));
    builder.addLayer(layer, "Softmax", params, {x.ref});
}

}  // namespace lm::dnn::ir
