// Ops on shapes and layouts: Reshape, Squeeze and Unsqueeze (their target resolved at load
// time and checked against the IR's dims), Transpose, Concat and Interpolate, and the
// ShapeOf -> StridedSlice chains that compute sizes at load time.

#include <algorithm>

#include "util/ir_network_builder.h"
#include "util/ir_ops.h"

namespace lm::dnn::ir {

namespace {

// The target of a Reshape: special_zero copies input dims, one -1 takes what is left.
Dims reshapeTarget(IrNetworkBuilder& builder, const IrLayer& layer, const Value& x) {
    const Constant& shape = builder.constantInput(layer, 1, "shape");
    const bool specialZero = attrBool(layer, "special_zero", false);
    Dims target;
    int inferred = -1;
    int64_t known = 1;
    for (size_t i = 0; i < shape.values.size(); ++i) {
        int64_t d = static_cast<int64_t>(shape.values[i]);
        if (d == 0 && specialZero) {
            if (i >= x.dims.size()) fail(layer.what() + " copies a dimension that the input lacks");
            d = x.dims[i];
        }
        if (d == -1) {
            if (inferred >= 0) fail(layer.what() + " has two -1 dimensions");
            inferred = static_cast<int>(i);
        } else if (d < 0 || d > MAX_DIM) {
            fail(layer.what() + " has the dimension " + std::to_string(d));
        } else {
            known *= d;
            if (known > MAX_ELEMENTS) fail(layer.what() + " reshapes to too large a tensor");
        }
        target.push_back(d);
    }
    if (inferred >= 0) {
        const int64_t total = elementCount(x.dims);
        if (known == 0 || total % known != 0) fail(layer.what() + " cannot infer its -1 dimension");
        target[inferred] = total / known;
    }
    return target;
}

// The axes of a Squeeze or Unsqueeze, sorted and without repeats; an Unsqueeze counts
// them in the rank of its result.
std::vector<int> listedAxes(IrNetworkBuilder& builder, const IrLayer& layer, const Value& x) {
    std::vector<int> axes;
    const size_t rank =
        layer.type == "Unsqueeze"
            ? x.dims.size() + (inputCount(layer) > 1 ? builder.constantInput(layer, 1, "axes").values.size() : 0)
            : x.dims.size();
    if (inputCount(layer) > 1) axes = normaliseAxes(builder.constantInput(layer, 1, "axes"), rank, layer);
    std::sort(axes.begin(), axes.end());
    axes.erase(std::unique(axes.begin(), axes.end()), axes.end());
    return axes;
}

// Without axes a Squeeze drops every axis of size 1.
Dims squeezeTarget(const IrLayer& layer, const Value& x, const std::vector<int>& axes) {
    Dims target;
    for (size_t i = 0; i < x.dims.size(); ++i) {
        const bool listed = std::find(axes.begin(), axes.end(), static_cast<int>(i)) != axes.end();
        if (listed && x.dims[i] != 1) fail(layer.what() + " squeezes an axis of size " + std::to_string(x.dims[i]));
        if (!(listed || (axes.empty() && x.dims[i] == 1))) target.push_back(x.dims[i]);
    }
    return target;
}

Dims unsqueezeTarget(const IrLayer& layer, const Value& x, const std::vector<int>& axes) {
    if (axes.empty()) fail(layer.what() + " needs axes");
    Dims target = x.dims;
    for (int a : axes) {
        if (a > static_cast<int>(target.size())) fail(layer.what() + " has an axis beyond the result");
        target.insert(target.begin() + a, 1);
    }
    return target;
}

// A constant is reshaped at load time, a runtime tensor by a Reshape layer.
void reshapeTo(IrNetworkBuilder& builder, const IrLayer& layer, const Value& x, const Dims& target) {
    if (target != outputDims(layer))
        fail(layer.what() + " declares " + dimsText(outputDims(layer)) + " but reshapes to " + dimsText(target));
    if (elementCount(target) != elementCount(x.dims))
        fail(layer.what() + " cannot reshape " + dimsText(x.dims) + " to " + dimsText(target));
    if (x.isConstant()) {
        Constant reshaped = *x.constant;
        reshaped.shape = target;
        builder.setConstant(layer, std::move(reshaped));
        return;
    }
    cv::dnn::LayerParams params;
    params.set("dim", intList(std::vector<int>(target.begin(), target.end())));
    builder.addLayer(layer, "Reshape", params, {x.ref});
}

// opset1 knows only align_corners; later opsets name the mode (half_pixel by default).
std::string coordinateTransform(const IrLayer& layer) {
    if (!layer.has("coordinate_transformation_mode") && layer.version == "opset1")
        return attrBool(layer, "align_corners", false) ? "align_corners" : "asymmetric";
    return attrString(layer, "coordinate_transformation_mode", std::string("half_pixel"));
}

}  // namespace

void onReshape(IrNetworkBuilder& builder, const IrLayer& layer) {
    requireInputs(layer, 1, 2);
    Value& x = builder.input(layer, 0);
    if (layer.type == "Reshape")
        reshapeTo(builder, layer, x, reshapeTarget(builder, layer, x));
    else if (layer.type == "Squeeze")
        reshapeTo(builder, layer, x, squeezeTarget(layer, x, listedAxes(builder, layer, x)));
    else
        reshapeTo(builder, layer, x, unsqueezeTarget(layer, x, listedAxes(builder, layer, x)));
}

void onTranspose(IrNetworkBuilder& builder, const IrLayer& layer) {
    requireInputs(layer, 2, 2);
    Value& x = builder.runtimeInput(layer, 0);
    std::vector<int> order = normaliseAxes(builder.constantInput(layer, 1, "order"), x.dims.size(), layer);
    if (order.empty())
        for (size_t i = x.dims.size(); i-- > 0;) order.push_back(static_cast<int>(i));
    std::vector<int> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    for (size_t i = 0; i < sorted.size(); ++i)
        if (sorted[i] != static_cast<int>(i) || sorted.size() != x.dims.size())
            fail(layer.what() + " has an order that is not a permutation of the axes");
    cv::dnn::LayerParams params;
    params.set("order", intList(order));
    builder.addLayer(layer, "Permute", params, {x.ref});
}

void onConcat(IrNetworkBuilder& builder, const IrLayer& layer) {
    requireInputs(layer, 1, 64);
    const Dims& first = builder.input(layer, 0).dims;
    cv::dnn::LayerParams params;
    params.set("axis", normaliseAxis(attrNumber<int64_t>(layer, "axis"), first.size(), layer));
    std::vector<PortRef> inputs;
    bool anyRuntime = false;
    for (size_t i = 0; i < inputCount(layer); ++i) {
        Value& value = builder.input(layer, i);
        if (value.dims.size() != first.size()) fail(layer.what() + " joins tensors of different ranks");
        anyRuntime = anyRuntime || !value.isConstant();
        inputs.push_back(builder.refOf(value));
    }
    if (!anyRuntime) fail(layer.what() + " of constants only is not supported");
    builder.addLayer(layer, "Concat", params, inputs);
}

void onInterpolate(IrNetworkBuilder& builder, const IrLayer& layer) {
    requireInputs(layer, 1, 4);
    Value& x = builder.runtimeInput(layer, 0);
    const Dims& out = outputDims(layer);
    if (x.dims.size() != 4 || out.size() != 4 || out[0] != x.dims[0] || out[1] != x.dims[1])
        fail(layer.what() + " is supported only over the spatial axes of an NCHW tensor");
    const std::string mode = attrString(layer, "mode");
    cv::dnn::LayerParams params;
    if (mode == "linear" || mode == "linear_onnx" || mode == "bilinear")
        params.set("interpolation", "bilinear");
    else if (mode == "nearest")
        params.set("interpolation", "nearest");
    else
        fail(layer.what() + " with mode '" + mode + "' is not supported");
    if (attrBool(layer, "antialias", false)) fail(layer.what() + " with antialias is not supported");
    for (const char* key : {"pads_begin", "pads_end"})
        for (int64_t p : attrList<int64_t>(layer, key, std::vector<int64_t>{}))
            if (p != 0) fail(layer.what() + " with pads is not supported");
    const std::string transform = coordinateTransform(layer);
    if (transform == "half_pixel" || transform == "pytorch_half_pixel")
        params.set("half_pixel_centers", true);
    else if (transform == "align_corners")
        params.set("align_corners", true);
    else if (transform != "asymmetric")
        fail(layer.what() + " with coordinate_transformation_mode '" + transform + "' is not supported");
    if (mode == "nearest") {
        const std::string rounding = attrString(layer, "nearest_mode", std::string("floor"));
        if (rounding != "floor" || transform != "asymmetric")
            fail(layer.what() + ": nearest is supported only with floor rounding and asymmetric coordinates");
        params.erase("half_pixel_centers");
    }
    params.set("height", static_cast<int>(out[2]));
    params.set("width", static_cast<int>(out[3]));
    builder.addLayer(layer, "Resize", params, {x.ref});
}

void onShapeOf(IrNetworkBuilder& builder, const IrLayer& layer) {
    requireInputs(layer, 1, 1);
    const Dims& dims = builder.input(layer, 0).dims;
    Constant shape;
    shape.shape = {static_cast<int64_t>(dims.size())};
    shape.values.assign(dims.begin(), dims.end());
    builder.setConstant(layer, std::move(shape));
}

// Prior generators are usually fed by ShapeOf -> StridedSlice: a slice of a 1-D constant.
void onStridedSlice(IrNetworkBuilder& builder, const IrLayer& layer) {
    requireInputs(layer, 3, 4);
    const Constant& data = builder.constantInput(layer, 0, "data");
    const Constant& begin = builder.constantInput(layer, 1, "begin");
    const Constant& end = builder.constantInput(layer, 2, "end");
    const int64_t stride =
        inputCount(layer) > 3 ? static_cast<int64_t>(builder.constantInput(layer, 3, "stride").values.at(0)) : 1;
    for (const char* key : {"new_axis_mask", "shrink_axis_mask", "ellipsis_mask"})
        for (int64_t m : attrList<int64_t>(layer, key, std::vector<int64_t>{}))
            if (m != 0) fail(layer.what() + " with " + key + " is not supported");
    if (data.shape.size() != 1 || begin.values.size() != 1 || end.values.size() != 1 || stride != 1)
        fail(layer.what() + " is supported only as a unit-stride slice of a 1-D constant");
    const auto beginMask = attrList<int64_t>(layer, "begin_mask", std::vector<int64_t>{0});
    const auto endMask = attrList<int64_t>(layer, "end_mask", std::vector<int64_t>{0});
    const int64_t n = data.shape[0];
    // A mask bit of 1 ignores the given bound and takes the tensor's own.
    auto clampIndex = [n](int64_t i) { return std::min(n, std::max<int64_t>(0, i < 0 ? i + n : i)); };
    const int64_t first = !beginMask.empty() && beginMask[0] ? 0 : clampIndex(static_cast<int64_t>(begin.values[0]));
    const int64_t last = !endMask.empty() && endMask[0] ? n : clampIndex(static_cast<int64_t>(end.values[0]));
    Constant slice;
    slice.shape = {std::max<int64_t>(0, last - first)};
    if (last > first) slice.values.assign(data.values.begin() + first, data.values.begin() + last);
    builder.setConstant(layer, std::move(slice));
}

}  // namespace lm::dnn::ir
