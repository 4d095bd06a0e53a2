#include "util/ir_network_builder.h"

#include <algorithm>
#include <numeric>
#include <queue>

#include "util/ir_ops.h"

namespace lm::dnn::ir {

cv::Mat toBlob(const Constant& constant, std::vector<int> shape) {
    if (shape.empty()) shape.assign(constant.shape.begin(), constant.shape.end());
    if (shape.empty()) shape = {1};
    if (shape.size() == 1) shape = {shape[0], 1};  // a cv::Mat has at least two dimensions
    cv::Mat blob(static_cast<int>(shape.size()), shape.data(), CV_32F);
    CV_Assert(blob.total() == constant.values.size());
    float* out = blob.ptr<float>();
    for (size_t i = 0; i < constant.values.size(); ++i) out[i] = static_cast<float>(constant.values[i]);
    return blob;
}

cv::dnn::DictValue intList(const std::vector<int>& values) {
    return cv::dnn::DictValue::arrayInt(values.data(), static_cast<int>(values.size()));
}

namespace {

cv::dnn::MatShape toMatShape(const Dims& dims) { return cv::dnn::MatShape(dims.begin(), dims.end()); }

void requireNonEmpty(const IrLayer& layer, const Dims& dims) {
    // OpenCV's layers are not made for tensors without elements.
    if (std::find(dims.begin(), dims.end(), 0) != dims.end())
        fail(layer.what() + " has the empty output " + dimsText(dims));
}

// Kahn's walk, started from the layers without inputs in document order: one description
// always gives its layers in the same order.
std::vector<const IrLayer*> topologicalOrder(const IrDescription& description) {
    std::map<int, int> pendingInputs;
    std::map<int, std::vector<int>> successors;
    for (const IrLayer& layer : description.layers()) pendingInputs[layer.id] = 0;
    for (const auto& [to, from] : description.edges()) {
        ++pendingInputs[to.first];
        successors[from.first].push_back(to.first);
    }
    std::queue<int> ready;
    for (const IrLayer& layer : description.layers())
        if (pendingInputs[layer.id] == 0) ready.push(layer.id);
    std::vector<const IrLayer*> order;
    while (!ready.empty()) {
        const int id = ready.front();
        ready.pop();
        order.push_back(&description.layerWithId(id));
        for (int next : successors[id])
            if (--pendingInputs[next] == 0) ready.push(next);
    }
    if (order.size() != description.layers().size()) fail("the layers form a cycle");
    return order;
}

}  // namespace

cv::dnn::Net IrNetworkBuilder::build() {
    for (const IrLayer* layer : topologicalOrder(mDescription)) opHandler(layer->type)(*this, *layer);
    return emit();
}

// ---------------------------------------------------------------- inputs

Value& IrNetworkBuilder::input(const IrLayer& layer, size_t index) {
    if (index >= layer.inputs.size()) fail(layer.what() + " lacks input " + std::to_string(index));
    const IrPort& port = layer.inputs[index];
    const PortKey* producer = mDescription.producerOf({layer.id, port.id});
    if (!producer) fail("input port " + std::to_string(port.id) + " of " + layer.what() + " is not connected");
    auto value = mValues.find(*producer);
    if (value == mValues.end()) fail(layer.what() + " reads an output that its producer does not provide");
    if (value->second.dims != port.dims)
        fail("input port " + std::to_string(port.id) + " of " + layer.what() + " declares " + dimsText(port.dims) +
             " but receives " + dimsText(value->second.dims));
    return value->second;
}

const Constant& IrNetworkBuilder::constantInput(const IrLayer& layer, size_t index, const char* role) {
    Value& value = input(layer, index);
    if (!value.isConstant())
        fail(layer.what() + " needs a constant " + role + " (input " + std::to_string(index) + ")");
    return *value.constant;
}

Value& IrNetworkBuilder::runtimeInput(const IrLayer& layer, size_t index) {
    Value& value = input(layer, index);
    if (value.isConstant()) fail(layer.what() + " on a constant input " + std::to_string(index) + " is not supported");
    return value;
}

int IrNetworkBuilder::sourceConsumers(const IrLayer& layer, size_t index) const {
    const PortKey* producer = mDescription.producerOf({layer.id, layer.inputs.at(index).id});
    return producer ? mDescription.consumerCount(*producer) : 0;
}

int IrNetworkBuilder::consumers(const IrLayer& layer, size_t output) const {
    return mDescription.consumerCount({layer.id, layer.outputs.at(output).id});
}

// ---------------------------------------------------------------- outputs

void IrNetworkBuilder::setOutput(const IrLayer& layer, Value value, size_t output) {
    mValues[{layer.id, layer.outputs[output].id}] = std::move(value);
}

void IrNetworkBuilder::setConstant(const IrLayer& layer, Constant constant, size_t output) {
    if (constant.shape != outputDims(layer, output))
        fail(layer.what() + " declares " + dimsText(outputDims(layer, output)) + " but its value is " +
             dimsText(constant.shape));
    Value value;
    value.dims = constant.shape;
    value.name = layer.name;
    value.constant = std::make_shared<const Constant>(std::move(constant));
    setOutput(layer, std::move(value), output);
}

void IrNetworkBuilder::setAlias(const IrLayer& layer, const Value& source) {
    if (source.dims != outputDims(layer))
        fail(layer.what() + " declares " + dimsText(outputDims(layer)) + " but passes on " + dimsText(source.dims));
    setOutput(layer, source);
}

int IrNetworkBuilder::addLayer(const IrLayer& layer, const std::string& type, cv::dnn::LayerParams params,
                               std::vector<PortRef> inputs, const std::string& name) {
    requireNonEmpty(layer, outputDims(layer));
    PendingLayer pending;
    pending.name = name.empty() ? layer.name : name;
    pending.type = type;
    params.name = pending.name;
    params.type = type;
    pending.params = std::move(params);
    pending.inputs = std::move(inputs);
    const int index = static_cast<int>(mPending.size());
    mPending.push_back(std::move(pending));
    if (name.empty()) {
        // The layer stands for the IR op: its output is the op's output.
        mPending.back().expected = outputDims(layer);
        Value value;
        value.ref = {index, 0};
        value.dims = outputDims(layer);
        value.name = layer.name;
        setOutput(layer, std::move(value));
    } else {
        mPending.back().checkShape = false;
    }
    return index;
}

PortRef IrNetworkBuilder::addNetworkInput(const IrLayer& layer) {
    const Dims& dims = outputDims(layer);
    requireNonEmpty(layer, dims);
    mInputNames.push_back(layer.name);
    mInputDims.push_back(dims);
    return {-1, static_cast<int>(mInputNames.size()) - 1};
}

PortRef IrNetworkBuilder::refOf(Value& value) {
    if (!value.isConstant()) return value.ref;
    if (value.materialized < 0) {
        // OpenCV's Const layer makes a load-time tensor available as a layer output.
        PendingLayer pending;
        pending.name = value.name;
        pending.type = "Const";
        pending.params.name = value.name;
        pending.params.type = "Const";
        pending.params.blobs.push_back(toBlob(*value.constant));
        pending.expected = value.dims;
        pending.checkShape = false;  // OpenCV keeps 1-D constants as 2-D matrices
        value.materialized = static_cast<int>(mPending.size());
        mPending.push_back(std::move(pending));
    }
    return {value.materialized, 0};
}

// ---------------------------------------------------------------- assembly

cv::dnn::Net IrNetworkBuilder::emit() {
    if (mInputNames.empty()) fail("the network has no Parameter");
    // DetectionModel looks at the last layer added: a DetectionOutput goes last.
    std::vector<int> order(mPending.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_partition(order.begin(), order.end(), [this](int i) { return mPending[i].type != "DetectionOutput"; });

    cv::dnn::Net net;
    net.setInputsNames(mInputNames);
    std::vector<int> ids(mPending.size(), -1);
    for (int i : order) {
        PendingLayer& pending = mPending[i];
        ids[i] = net.addLayer(pending.name, pending.type, pending.params);
        for (size_t j = 0; j < pending.inputs.size(); ++j) {
            const PortRef& ref = pending.inputs[j];
            const int from = ref.layer < 0 ? 0 : ids[ref.layer];
            if (from < 0) fail("layer '" + pending.name + "' is fed by a layer built after it");
            net.connect(from, ref.output, ids[i], static_cast<int>(j));
        }
    }
    std::vector<cv::dnn::MatShape> inputShapes;
    for (size_t i = 0; i < mInputNames.size(); ++i) {
        inputShapes.push_back(toMatShape(mInputDims[i]));
        net.setInputShape(mInputNames[i], inputShapes.back());
    }
    checkShapes(net, ids, inputShapes);
    return net;
}

// Every IR port carries its dims: a layer whose computed shape differs shows a fault in
// the description or in the reader, and is reported now rather than at forward.
void IrNetworkBuilder::checkShapes(cv::dnn::Net& net, const std::vector<int>& ids,
                                   const std::vector<cv::dnn::MatShape>& inputShapes) const {
    std::vector<int> layerIds;
    std::vector<std::vector<cv::dnn::MatShape>> inShapes, outShapes;
    net.getLayersShapes(inputShapes, layerIds, inShapes, outShapes);
    std::map<int, size_t> position;
    for (size_t i = 0; i < layerIds.size(); ++i) position[layerIds[i]] = i;
    for (size_t i = 0; i < mPending.size(); ++i) {
        const PendingLayer& pending = mPending[i];
        if (!pending.checkShape) continue;
        auto it = position.find(ids[i]);
        if (it == position.end() || outShapes[it->second].empty()) continue;
        const cv::dnn::MatShape& computed = outShapes[it->second][0];
        if (computed != toMatShape(pending.expected))
            fail("layer '" + pending.name + "' declares " + dimsText(pending.expected) + " but computes " +
                 dimsText(Dims(computed.begin(), computed.end())));
    }
}

}  // namespace lm::dnn::ir
