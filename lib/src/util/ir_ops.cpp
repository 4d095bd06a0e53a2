#include "util/ir_ops.h"

#include <unordered_map>

namespace lm::dnn::ir {

namespace {

// Tensors the reader computes itself (folded constants, priors) stay smaller than what a
// description may declare: they are made element by element at load time.
constexpr int64_t MAX_FOLDED = int64_t(1) << 22;

}  // namespace

OpHandler opHandler(const std::string& type) {
    static const std::unordered_map<std::string, OpHandler> HANDLERS = {
        {"Parameter", onParameter},
        {"Const", onConst},
        {"Convert", onConvert},
        {"Add", onBinary},
        {"Subtract", onBinary},
        {"Multiply", onBinary},
        {"Divide", onBinary},
        {"Convolution", onConvolution},
        {"GroupConvolution", onConvolution},
        {"Relu", onActivation},
        {"Sigmoid", onActivation},
        {"Tanh", onActivation},
        {"Elu", onActivation},
        {"HSwish", onActivation},
        {"HSigmoid", onActivation},
        {"Mish", onActivation},
        {"Swish", onActivation},
        {"Clamp", onClamp},
        {"PReLU", onPRelu},
        {"SoftMax", onSoftMax},
        {"Softmax", onSoftMax},
        {"MaxPool", onPool},
        {"AvgPool", onPool},
        {"ReduceMean", onReduce},
        {"ReduceMax", onReduce},
        {"MatMul", onMatMul},
        {"Reshape", onReshape},
        {"Squeeze", onReshape},
        {"Unsqueeze", onReshape},
        {"Transpose", onTranspose},
        {"Concat", onConcat},
        {"Interpolate", onInterpolate},
        {"ShapeOf", onShapeOf},
        {"StridedSlice", onStridedSlice},
        {"PriorBox", onPriorBox},
        {"PriorBoxClustered", onPriorBoxClustered},
        {"DetectionOutput", onDetectionOutput},
        {"Result", onResult},
    };
    auto handler = HANDLERS.find(type);
    return handler == HANDLERS.end() ? onFactoryLayer : handler->second;
}

int normaliseAxis(int64_t axis, size_t rank, const IrLayer& layer) {
    const int64_t r = static_cast<int64_t>(rank);
    if (axis < -r || axis >= r)
        fail(layer.what() + " has axis " + std::to_string(axis) + " outside a rank of " + std::to_string(r));
    return static_cast<int>(axis < 0 ? axis + r : axis);
}

std::vector<int> normaliseAxes(const Constant& axes, size_t rank, const IrLayer& layer) {
    std::vector<int> normalised;
    for (double a : axes.values) normalised.push_back(normaliseAxis(static_cast<int64_t>(a), rank, layer));
    return normalised;
}

void requireFoldable(const IrLayer& layer, const Dims& dims) {
    if (elementCount(dims) > MAX_FOLDED)
        fail(layer.what() + " would compute a constant of " + dimsText(dims) + " at load time");
}

}  // namespace lm::dnn::ir
