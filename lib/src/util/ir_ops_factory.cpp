// Op types without a handler of their own: created through cv::dnn::LayerFactory, with the
// <data> attributes as params (numbers where they parse as one) and Const inputs as blobs.
// This is how the project's own layer types, such as "ImageStandardization", load.

#include <set>

#include "util/ir_network_builder.h"
#include "util/ir_ops.h"

namespace lm::dnn::ir {

namespace {

// OpenCV's own layer types are not IR ops: an op of such a name that the table does not
// handle is refused rather than handed to a layer that expects another framework's params.
bool isOpenCVLayerType(const std::string& type) {
    static const std::set<std::string> OPENCV_LAYER_TYPES = {"AbsVal",
                                                             "Accum",
                                                             "Arg",
                                                             "BNLL",
                                                             "BatchNorm",
                                                             "Blank",
                                                             "Ceil",
                                                             "Celu",
                                                             "ChannelsPReLU",
                                                             "Compare",
                                                             "Concat",
                                                             "Const",
                                                             "Convolution",
                                                             "Correlation",
                                                             "Crop",
                                                             "CropAndResize",
                                                             "CumSum",
                                                             "DataAugmentation",
                                                             "Deconvolution",
                                                             "Dequantize",
                                                             "DetectionOutput",
                                                             "Dropout",
                                                             "ELU",
                                                             "Eltwise",
                                                             "Exp",
                                                             "Flatten",
                                                             "Floor",
                                                             "FlowWarp",
                                                             "GRU",
                                                             "Gather",
                                                             "HardSigmoid",
                                                             "HardSwish",
                                                             "Identity",
                                                             "InnerProduct",
                                                             "Interp",
                                                             "LRN",
                                                             "LSTM",
                                                             "Log",
                                                             "MaxUnpool",
                                                             "Mish",
                                                             "NaryEltwise",
                                                             "Normalize",
                                                             "NormalizeBBox",
                                                             "Not",
                                                             "PReLU",
                                                             "PSROIPooling",
                                                             "Padding",
                                                             "Permute",
                                                             "Pooling",
                                                             "Power",
                                                             "PriorBox",
                                                             "PriorBoxClustered",
                                                             "Proposal",
                                                             "Quantize",
                                                             "RNN",
                                                             "ROIPooling",
                                                             "ReLU",
                                                             "ReLU6",
                                                             "Reduce",
                                                             "Region",
                                                             "Reorg",
                                                             "Requantize",
                                                             "Reshape",
                                                             "Resize",
                                                             "Round",
                                                             "Scale",
                                                             "Selu",
                                                             "Shift",
                                                             "ShuffleChannel",
                                                             "Sigmoid",
                                                             "Sign",
                                                             "Silence",
                                                             "Slice",
                                                             "SoftMaxSynced",
                                                             "Softmax",
                                                             "Softplus",
                                                             "Softsign",
                                                             "Split",
                                                             "Sqrt",
                                                             "Swish",
                                                             "TanH",
                                                             "ThresholdedRelu"};
    return OPENCV_LAYER_TYPES.count(type) != 0 || (type.size() > 4 && type.compare(type.size() - 4, 4, "Int8") == 0);
}

cv::dnn::LayerParams paramsFromData(const IrLayer& layer) {
    cv::dnn::LayerParams params;
    params.name = layer.name;
    params.type = layer.type;
    for (const auto& [key, text] : layer.data) {
        double number = 0;
        if (parseNumber(text, number))
            params.set(key, number);
        else
            params.set(key, text);
    }
    return params;
}

}  // namespace

void onFactoryLayer(IrNetworkBuilder& builder, const IrLayer& layer) {
    if (isOpenCVLayerType(layer.type)) fail("unsupported op " + layer.what());
    cv::dnn::LayerParams params = paramsFromData(layer);
    std::vector<PortRef> inputs;
    for (size_t i = 0; i < inputCount(layer); ++i) {
        Value& value = builder.input(layer, i);
        if (value.isConstant())
            params.blobs.push_back(toBlob(*value.constant));
        else
            inputs.push_back(value.ref);
    }
    if (layer.outputs.size() != 1) fail(layer.what() + " must have exactly one output");
    if (cv::dnn::LayerFactory::createLayerInstance(layer.type, params).empty()) fail("unsupported op " + layer.what());
    builder.addLayer(layer, layer.type, params, inputs);
}

}  // namespace lm::dnn::ir
