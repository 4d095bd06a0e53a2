#pragma once
// Builds the cv::dnn::Net of an IR description: walks the layers in topological order,
// hands each to the handler of its op type (ir_ops.h), and adds the OpenCV layers that
// the handlers ask for to the network in one pass at the end. Layers keep their IR names;
// the network's inputs keep their names and shapes.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/dnn.hpp>

#include "util/ir_description.h"

namespace lm::dnn::ir {

// Where a runtime tensor comes from: a layer of the network being built (by its index in
// the list of pending layers) or, with layer -1, one of the network's inputs.
struct PortRef {
    int layer = -1;
    int output = 0;
};

struct Value {
    std::shared_ptr<const Constant> constant;  // set for values known at load time
    PortRef ref;                               // the runtime source otherwise
    Dims dims;
    std::string name;       // IR name of the producer, for layers made from a constant
    int materialized = -1;  // pending Const layer made for this constant, once needed

    bool isConstant() const { return constant != nullptr; }
};

// An OpenCV layer that the network will hold, with its inputs.
struct PendingLayer {
    std::string name;
    std::string type;
    cv::dnn::LayerParams params;
    std::vector<PortRef> inputs;
    Dims expected;  // the IR dims of its output
    bool checkShape = true;
};

cv::Mat toBlob(const Constant& constant, std::vector<int> shape = {});
cv::dnn::DictValue intList(const std::vector<int>& values);

class IrNetworkBuilder {
public:
    explicit IrNetworkBuilder(const IrDescription& description) : mDescription(description) {}

    cv::dnn::Net build();

    const IrDescription& description() const { return mDescription; }

    // Inputs of the IR layer being handled.
    Value& input(const IrLayer& layer, size_t index);
    const Constant& constantInput(const IrLayer& layer, size_t index, const char* role);
    Value& runtimeInput(const IrLayer& layer, size_t index);
    // How many edges leave an output of the layer, and the output that feeds an input.
    int consumers(const IrLayer& layer, size_t output = 0) const;
    int sourceConsumers(const IrLayer& layer, size_t index) const;

    // Outputs of the IR layer being handled.
    void setOutput(const IrLayer& layer, Value value, size_t output = 0);
    void setConstant(const IrLayer& layer, Constant constant, size_t output = 0);
    void setAlias(const IrLayer& layer, const Value& value);
    // Adds an OpenCV layer. Without a name it stands for the IR op and makes its output;
    // with one it is an extra layer in front of the one that does (a Padding, a Pooling).
    int addLayer(const IrLayer& layer, const std::string& type, cv::dnn::LayerParams params,
                 std::vector<PortRef> inputs, const std::string& name = "");
    PendingLayer& pendingLayer(int index) { return mPending[index]; }
    // Makes a Parameter a network input, with its name and dims.
    PortRef addNetworkInput(const IrLayer& layer);
    // The runtime source of a value: a constant becomes a Const layer the first time.
    PortRef refOf(Value& value);

private:
    cv::dnn::Net emit();
    void checkShapes(cv::dnn::Net& net, const std::vector<int>& ids,
                     const std::vector<cv::dnn::MatShape>& inputShapes) const;

    const IrDescription& mDescription;
    std::map<PortKey, Value> mValues;  // output port -> value
    std::vector<PendingLayer> mPending;
    std::vector<std::string> mInputNames;
    std::vector<Dims> mInputDims;
};

}  // namespace lm::dnn::ir
