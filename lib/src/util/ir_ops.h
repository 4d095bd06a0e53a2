#pragma once
// The IR ops that the reader maps onto OpenCV's own layers. One table (ir_ops.cpp) takes
// an op type to its handler; the handlers live by family in ir_ops_<family>.cpp. A type
// without a handler goes to OpenCV's layer factory.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "util/ir_description.h"

namespace lm::dnn::ir {

class IrNetworkBuilder;

// Reads the layer's inputs from the builder and gives it the layer's outputs: values
// known at load time, or OpenCV layers to add.
using OpHandler = void (*)(IrNetworkBuilder& builder, const IrLayer& layer);

OpHandler opHandler(const std::string& type);

// Network inputs, constants and outputs (ir_ops_graph.cpp).
void onParameter(IrNetworkBuilder& builder, const IrLayer& layer);
void onConst(IrNetworkBuilder& builder, const IrLayer& layer);
void onResult(IrNetworkBuilder& builder, const IrLayer& layer);

// Arithmetic and activations (ir_ops_elementwise.cpp).
void onConvert(IrNetworkBuilder& builder, const IrLayer& layer);
void onBinary(IrNetworkBuilder& builder, const IrLayer& layer);
void onActivation(IrNetworkBuilder& builder, const IrLayer& layer);
void onClamp(IrNetworkBuilder& builder, const IrLayer& layer);
void onPRelu(IrNetworkBuilder& builder, const IrLayer& layer);
void onSoftMax(IrNetworkBuilder& builder, const IrLayer& layer);

// Convolution, pooling and fully connected layers (ir_ops_convolution.cpp).
void onConvolution(IrNetworkBuilder& builder, const IrLayer& layer);
void onPool(IrNetworkBuilder& builder, const IrLayer& layer);
void onReduce(IrNetworkBuilder& builder, const IrLayer& layer);
void onMatMul(IrNetworkBuilder& builder, const IrLayer& layer);

// Shapes and layouts (ir_ops_shape.cpp).
void onReshape(IrNetworkBuilder& builder, const IrLayer& layer);
void onTranspose(IrNetworkBuilder& builder, const IrLayer& layer);
void onConcat(IrNetworkBuilder& builder, const IrLayer& layer);
void onInterpolate(IrNetworkBuilder& builder, const IrLayer& layer);
void onShapeOf(IrNetworkBuilder& builder, const IrLayer& layer);
void onStridedSlice(IrNetworkBuilder& builder, const IrLayer& layer);

// Priors and detection (ir_ops_detection.cpp).
void onPriorBox(IrNetworkBuilder& builder, const IrLayer& layer);
void onPriorBoxClustered(IrNetworkBuilder& builder, const IrLayer& layer);
void onDetectionOutput(IrNetworkBuilder& builder, const IrLayer& layer);

// Any other type, through cv::dnn::LayerFactory (ir_ops_factory.cpp).
void onFactoryLayer(IrNetworkBuilder& builder, const IrLayer& layer);

// An axis of the op's attributes or inputs, counted from the front.
int normaliseAxis(int64_t axis, size_t rank, const IrLayer& layer);
// The values of a constant input as such axes, in their order.
std::vector<int> normaliseAxes(const Constant& axes, size_t rank, const IrLayer& layer);
// Refuses a constant that would be too large to compute element by element at load time.
void requireFoldable(const IrLayer& layer, const Dims& dims);

}  // namespace lm::dnn::ir
