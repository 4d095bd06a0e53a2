#include "util/ir_reader.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <numeric>
#include <optional>
#include <queue>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <pugixml.hpp>

namespace lm::dnn {
namespace {

using Dims = std::vector<int64_t>;

// Bounds that keep hostile descriptions from making the reader (or OpenCV behind it)
// allocate without limit: no real network of this system comes near them.
constexpr int64_t MAX_DIM = int64_t(1) << 24;
constexpr int64_t MAX_ELEMENTS = int64_t(1) << 24;
constexpr int64_t MAX_KERNEL = 1024;
// Tensors the reader computes itself (folded constants, priors) stay smaller still: they
// are made element by element at load time.
constexpr int64_t MAX_FOLDED = int64_t(1) << 22;

[[noreturn]] void fail(const std::string& message) { CV_Error(cv::Error::StsParseError, "IR reader: " + message); }

std::string dimsText(const Dims& dims) {
    std::string text = "[";
    for (size_t i = 0; i < dims.size(); ++i) text += (i ? "," : "") + std::to_string(dims[i]);
    return text + "]";
}

int64_t elementCount(const Dims& dims) {
    int64_t count = 1;
    for (int64_t d : dims) {
        if (d < 0 || d > MAX_DIM) fail("dimension " + std::to_string(d) + " out of range");
        count *= d;
        if (count > MAX_ELEMENTS) fail("tensor " + dimsText(dims) + " is too large");
    }
    return count;
}

cv::dnn::MatShape toMatShape(const Dims& dims) { return cv::dnn::MatShape(dims.begin(), dims.end()); }

// ---------------------------------------------------------------- parsed description

struct IrPort {
    int id = 0;
    Dims dims;
};

struct IrLayer {
    int id = 0;
    std::string name;
    std::string type;
    std::string version;
    std::map<std::string, std::string> data;
    std::vector<IrPort> inputs;
    std::vector<IrPort> outputs;

    std::string what() const { return type + " layer '" + name + "'"; }

    bool has(const std::string& key) const { return data.count(key) != 0; }
    const std::string* find(const std::string& key) const {
        auto it = data.find(key);
        return it == data.end() ? nullptr : &it->second;
    }
};

// Numbers are parsed with std::from_chars so that the C locale (which a GUI toolkit may
// change) cannot alter them.
template <typename T>
bool parseNumber(const std::string& text, T& value) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    while (begin < end && *begin == ' ') ++begin;
    while (end > begin && end[-1] == ' ') --end;
    if (begin < end && *begin == '+') ++begin;
    auto result = std::from_chars(begin, end, value);
    return result.ec == std::errc() && result.ptr == end;
}

template <typename T>
std::vector<T> parseList(const IrLayer& layer, const std::string& key, const std::string& text) {
    std::vector<T> values;
    size_t start = 0;
    if (text.find_first_not_of(' ') == std::string::npos) return values;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        T value{};
        if (!parseNumber(text.substr(start, comma - start), value))
            fail("attribute '" + key + "' of " + layer.what() + " is not a list of numbers: '" + text + "'");
        values.push_back(value);
        start = comma + 1;
    }
    return values;
}

std::string attrString(const IrLayer& layer, const std::string& key,
                       std::optional<std::string> fallback = std::nullopt) {
    if (const std::string* text = layer.find(key)) return *text;
    if (fallback) return *fallback;
    fail(layer.what() + " lacks the attribute '" + key + "'");
}

template <typename T>
T attrNumber(const IrLayer& layer, const std::string& key, std::optional<T> fallback = std::nullopt) {
    const std::string* text = layer.find(key);
    if (!text) {
        if (fallback) return *fallback;
        fail(layer.what() + " lacks the attribute '" + key + "'");
    }
    T value{};
    if (!parseNumber(*text, value))
        fail("attribute '" + key + "' of " + layer.what() + " is not a number: '" + *text + "'");
    return value;
}

template <typename T>
std::vector<T> attrList(const IrLayer& layer, const std::string& key,
                        std::optional<std::vector<T>> fallback = std::nullopt) {
    const std::string* text = layer.find(key);
    if (!text) {
        if (fallback) return *fallback;
        fail(layer.what() + " lacks the attribute '" + key + "'");
    }
    return parseList<T>(layer, key, *text);
}

bool attrBool(const IrLayer& layer, const std::string& key, bool fallback) {
    const std::string* text = layer.find(key);
    if (!text) return fallback;
    std::string lower = *text;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    if (lower == "true" || lower == "1") return true;
    if (lower == "false" || lower == "0") return false;
    fail("attribute '" + key + "' of " + layer.what() + " is not a boolean: '" + *text + "'");
}

Dims parsePortDims(const pugi::xml_node& port, const std::string& layerName) {
    Dims dims;
    for (pugi::xml_node dim : port.children("dim")) {
        int64_t value = 0;
        if (!parseNumber(std::string(dim.child_value()), value) || value < 0 || value > MAX_DIM)
            fail("layer '" + layerName + "' has a port dimension that is not a size: '" + dim.child_value() + "'");
        dims.push_back(value);
    }
    if (dims.size() > 8) fail("layer '" + layerName + "' has a port of more than 8 dimensions");
    elementCount(dims);
    return dims;
}

int parseId(const pugi::xml_attribute& attribute, const std::string& what) {
    int value = 0;
    if (!attribute || !parseNumber(std::string(attribute.value()), value))
        fail(what + " has no valid '" + attribute.name() + "'");
    return value;
}

// ---------------------------------------------------------------- values

// A tensor known at load time. Values are held as doubles so that i64 shape constants
// and f32 weights share one representation; blobs are made from them as floats.
struct Constant {
    Dims shape;
    std::vector<double> values;
};

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

struct PendingLayer {
    std::string name;
    std::string type;
    cv::dnn::LayerParams params;
    std::vector<PortRef> inputs;
    Dims expected;  // the IR dims of its output
    bool checkShape = true;
};

void requireFoldable(const IrLayer& layer, const Dims& dims) {
    if (elementCount(dims) > MAX_FOLDED)
        fail(layer.what() + " would compute a constant of " + dimsText(dims) + " at load time");
}

double roundToHalf(double value) { return static_cast<float>(cv::float16_t(static_cast<float>(value))); }

// Decodes one Const from the weights buffer, checking that it lies inside it.
Constant decodeConstant(const IrLayer& layer, const char* weights, size_t weightsLength) {
    const std::string type = attrString(layer, "element_type");
    Constant constant;
    constant.shape = attrList<int64_t>(layer, "shape", std::vector<int64_t>{});
    const int64_t count = elementCount(constant.shape);
    const int64_t offset = attrNumber<int64_t>(layer, "offset");
    const int64_t size = attrNumber<int64_t>(layer, "size");

    static const std::map<std::string, int> elementSizes = {{"f32", 4}, {"f16", 2}, {"bf16", 2}, {"i64", 8},
                                                            {"i32", 4}, {"u8", 1},  {"i8", 1},   {"boolean", 1},
                                                            {"u64", 8}, {"u32", 4}};
    auto it = elementSizes.find(type);
    if (it == elementSizes.end()) fail(layer.what() + " has the unsupported element type '" + type + "'");
    if (size != count * it->second)
        fail(layer.what() + " has size " + std::to_string(size) + " but " + dimsText(constant.shape) + " of " + type +
             " needs " + std::to_string(count * it->second));
    if (offset < 0 || size < 0 || static_cast<uint64_t>(offset) > weightsLength ||
        static_cast<uint64_t>(size) > weightsLength - static_cast<uint64_t>(offset))
        fail(layer.what() + " lies outside the weights: offset " + std::to_string(offset) + ", size " +
             std::to_string(size) + ", weights " + std::to_string(weightsLength) + " bytes");

    const char* bytes = weights + offset;
    constant.values.resize(static_cast<size_t>(count));
    auto read = [&](auto sample, size_t i) {
        decltype(sample) value;
        std::memcpy(&value, bytes + i * sizeof(value), sizeof(value));
        return value;
    };
    for (size_t i = 0; i < constant.values.size(); ++i) {
        double& v = constant.values[i];
        if (type == "f32")
            v = read(float(), i);
        else if (type == "f16") {
            uint16_t bits = read(uint16_t(), i);
            v = static_cast<float>(cv::float16_t::fromBits(bits));
        } else if (type == "bf16") {
            uint32_t bits = uint32_t(read(uint16_t(), i)) << 16;
            float f;
            std::memcpy(&f, &bits, 4);
            v = f;
        } else if (type == "i64")
            v = static_cast<double>(read(int64_t(), i));
        else if (type == "u64")
            v = static_cast<double>(read(uint64_t(), i));
        else if (type == "i32")
            v = read(int32_t(), i);
        else if (type == "u32")
            v = read(uint32_t(), i);
        else if (type == "u8")
            v = read(uint8_t(), i);
        else if (type == "i8")
            v = read(int8_t(), i);
        else
            v = read(uint8_t(), i) ? 1.0 : 0.0;
    }
    return constant;
}

cv::Mat toBlob(const Constant& constant, std::vector<int> shape = {}) {
    if (shape.empty()) shape.assign(constant.shape.begin(), constant.shape.end());
    if (shape.empty()) shape = {1};
    if (shape.size() == 1) shape = {shape[0], 1};  // a cv::Mat has at least two dimensions
    cv::Mat blob(static_cast<int>(shape.size()), shape.data(), CV_32F);
    CV_Assert(blob.total() == constant.values.size());
    float* out = blob.ptr<float>();
    for (size_t i = 0; i < constant.values.size(); ++i) out[i] = static_cast<float>(constant.values[i]);
    return blob;
}

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

int normaliseAxis(int64_t axis, size_t rank, const IrLayer& layer) {
    const int64_t r = static_cast<int64_t>(rank);
    if (axis < -r || axis >= r)
        fail(layer.what() + " has axis " + std::to_string(axis) + " outside a rank of " + std::to_string(r));
    return static_cast<int>(axis < 0 ? axis + r : axis);
}

cv::dnn::DictValue intList(const std::vector<int>& values) {
    return cv::dnn::DictValue::arrayInt(values.data(), static_cast<int>(values.size()));
}

// ---------------------------------------------------------------- builder

class Builder {
public:
    Builder(const char* weights, size_t weightsLength) : mWeights(weights), mWeightsLength(weightsLength) {}

    cv::dnn::Net build(const pugi::xml_document& document);

private:
    using Handler = void (Builder::*)(const IrLayer&);
    static const std::unordered_map<std::string, Handler>& handlers();

    void parse(const pugi::xml_node& net);
    std::vector<const IrLayer*> topologicalOrder() const;
    cv::dnn::Net emit();

    // Inputs and outputs of the IR layer being handled.
    Value& input(const IrLayer& layer, size_t index);
    const Constant& constantInput(const IrLayer& layer, size_t index, const char* role);
    Value& runtimeInput(const IrLayer& layer, size_t index);
    size_t inputCount(const IrLayer& layer) const { return layer.inputs.size(); }
    void requireInputs(const IrLayer& layer, size_t minimum, size_t maximum) const;
    const Dims& outputDims(const IrLayer& layer, size_t index = 0) const;
    void setConstant(const IrLayer& layer, Constant constant, size_t output = 0);
    void setAlias(const IrLayer& layer, const Value& value);
    int addLayer(const IrLayer& layer, const std::string& type, cv::dnn::LayerParams params,
                 std::vector<PortRef> inputs, const std::string& name = "");
    PortRef refOf(Value& value);
    int consumers(const IrLayer& layer, size_t output = 0) const;

    // Op handlers.
    void onParameter(const IrLayer& layer);
    void onConst(const IrLayer& layer);
    void onConvert(const IrLayer& layer);
    void onBinary(const IrLayer& layer);
    void onConvolution(const IrLayer& layer);
    void onActivation(const IrLayer& layer);
    void onClamp(const IrLayer& layer);
    void onPRelu(const IrLayer& layer);
    void onSoftMax(const IrLayer& layer);
    void onPool(const IrLayer& layer);
    void onReduce(const IrLayer& layer);
    void onMatMul(const IrLayer& layer);
    void onReshape(const IrLayer& layer);
    void onTranspose(const IrLayer& layer);
    void onConcat(const IrLayer& layer);
    void onInterpolate(const IrLayer& layer);
    void onShapeOf(const IrLayer& layer);
    void onStridedSlice(const IrLayer& layer);
    void onPriorBox(const IrLayer& layer);
    void onPriorBoxClustered(const IrLayer& layer);
    void onDetectionOutput(const IrLayer& layer);
    void onResult(const IrLayer& layer);
    void onFactoryLayer(const IrLayer& layer);

    void addWithConstant(const IrLayer& layer, Value& x, const Constant& c, int sourceConsumers);
    bool perChannel(const Value& x, const Constant& c, const BroadcastPlan& plan) const;
    void combineWithConstantLayer(const IrLayer& layer, Value& x, const Constant& c, const BroadcastPlan& plan,
                                  bool add);
    int sourceConsumers(const IrLayer& layer, size_t index) const;
    void multiplyWithConstant(const IrLayer& layer, Value& x, const Constant& c);
    void reshapeTo(const IrLayer& layer, Value& x, const Dims& target);

    const char* mWeights;
    size_t mWeightsLength;
    std::vector<IrLayer> mLayers;
    std::map<int, size_t> mLayerIndex;                          // IR id -> mLayers index
    std::map<std::pair<int, int>, std::pair<int, int>> mEdges;  // (to layer, port) -> (from layer, port)
    std::map<std::pair<int, int>, int> mConsumers;              // (from layer, port) -> count
    std::map<std::pair<int, int>, Value> mValues;               // (layer, output port) -> value
    std::vector<PendingLayer> mPending;
    std::vector<std::string> mInputNames;
    std::vector<Dims> mInputDims;
};

const std::unordered_map<std::string, Builder::Handler>& Builder::handlers() {
    static const std::unordered_map<std::string, Handler> table = {
        {"Parameter", &Builder::onParameter},
        {"Const", &Builder::onConst},
        {"Convert", &Builder::onConvert},
        {"Add", &Builder::onBinary},
        {"Subtract", &Builder::onBinary},
        {"Multiply", &Builder::onBinary},
        {"Divide", &Builder::onBinary},
        {"Convolution", &Builder::onConvolution},
        {"GroupConvolution", &Builder::onConvolution},
        {"Relu", &Builder::onActivation},
        {"Sigmoid", &Builder::onActivation},
        {"Tanh", &Builder::onActivation},
        {"Elu", &Builder::onActivation},
        {"HSwish", &Builder::onActivation},
        {"HSigmoid", &Builder::onActivation},
        {"Mish", &Builder::onActivation},
        {"Swish", &Builder::onActivation},
        {"Clamp", &Builder::onClamp},
        {"PReLU", &Builder::onPRelu},
        {"SoftMax", &Builder::onSoftMax},
        {"Softmax", &Builder::onSoftMax},
        {"MaxPool", &Builder::onPool},
        {"AvgPool", &Builder::onPool},
        {"ReduceMean", &Builder::onReduce},
        {"ReduceMax", &Builder::onReduce},
        {"MatMul", &Builder::onMatMul},
        {"Reshape", &Builder::onReshape},
        {"Squeeze", &Builder::onReshape},
        {"Unsqueeze", &Builder::onReshape},
        {"Transpose", &Builder::onTranspose},
        {"Concat", &Builder::onConcat},
        {"Interpolate", &Builder::onInterpolate},
        {"ShapeOf", &Builder::onShapeOf},
        {"StridedSlice", &Builder::onStridedSlice},
        {"PriorBox", &Builder::onPriorBox},
        {"PriorBoxClustered", &Builder::onPriorBoxClustered},
        {"DetectionOutput", &Builder::onDetectionOutput},
        {"Result", &Builder::onResult},
    };
    return table;
}

void Builder::parse(const pugi::xml_node& net) {
    const int version = net.attribute("version").as_int(0);
    if (version != 10 && version != 11)
        fail("unsupported IR version '" + std::string(net.attribute("version").value()) + "'");
    pugi::xml_node layers = net.child("layers");
    if (!layers) fail("the description has no <layers>");

    for (pugi::xml_node node : layers.children("layer")) {
        IrLayer layer;
        layer.id = parseId(node.attribute("id"), "a layer");
        layer.name = node.attribute("name").value();
        layer.type = node.attribute("type").value();
        layer.version = node.attribute("version").value();
        if (layer.name.empty() || layer.type.empty())
            fail("layer " + std::to_string(layer.id) + " lacks a name or type");
        for (pugi::xml_attribute attribute : node.child("data").attributes())
            layer.data[attribute.name()] = attribute.value();
        for (pugi::xml_node port : node.child("input").children("port"))
            layer.inputs.push_back({parseId(port.attribute("id"), "an input port of '" + layer.name + "'"),
                                    parsePortDims(port, layer.name)});
        for (pugi::xml_node port : node.child("output").children("port"))
            layer.outputs.push_back({parseId(port.attribute("id"), "an output port of '" + layer.name + "'"),
                                     parsePortDims(port, layer.name)});
        if (!mLayerIndex.emplace(layer.id, mLayers.size()).second)
            fail("two layers have the id " + std::to_string(layer.id));
        mLayers.push_back(std::move(layer));
    }

    auto hasPort = [](const std::vector<IrPort>& ports, int id) {
        return std::any_of(ports.begin(), ports.end(), [id](const IrPort& p) { return p.id == id; });
    };
    for (pugi::xml_node edge : net.child("edges").children("edge")) {
        const int fromLayer = parseId(edge.attribute("from-layer"), "an edge");
        const int fromPort = parseId(edge.attribute("from-port"), "an edge");
        const int toLayer = parseId(edge.attribute("to-layer"), "an edge");
        const int toPort = parseId(edge.attribute("to-port"), "an edge");
        auto from = mLayerIndex.find(fromLayer);
        auto to = mLayerIndex.find(toLayer);
        if (from == mLayerIndex.end() || to == mLayerIndex.end())
            fail("an edge connects the missing layer " +
                 std::to_string(from == mLayerIndex.end() ? fromLayer : toLayer));
        if (!hasPort(mLayers[from->second].outputs, fromPort))
            fail("an edge leaves from port " + std::to_string(fromPort) + " that layer '" + mLayers[from->second].name +
                 "' does not have");
        if (!hasPort(mLayers[to->second].inputs, toPort))
            fail("an edge enters port " + std::to_string(toPort) + " that layer '" + mLayers[to->second].name +
                 "' does not have");
        if (!mEdges.emplace(std::make_pair(toLayer, toPort), std::make_pair(fromLayer, fromPort)).second)
            fail("two edges enter port " + std::to_string(toPort) + " of layer '" + mLayers[to->second].name + "'");
        ++mConsumers[{fromLayer, fromPort}];
    }
}

std::vector<const IrLayer*> Builder::topologicalOrder() const {
    std::map<int, int> pendingInputs;
    std::map<int, std::vector<int>> successors;
    for (const IrLayer& layer : mLayers) pendingInputs[layer.id] = 0;
    for (const auto& [to, from] : mEdges) {
        ++pendingInputs[to.first];
        successors[from.first].push_back(to.first);
    }
    std::queue<int> ready;
    for (const IrLayer& layer : mLayers)
        if (pendingInputs[layer.id] == 0) ready.push(layer.id);
    std::vector<const IrLayer*> order;
    while (!ready.empty()) {
        const int id = ready.front();
        ready.pop();
        order.push_back(&mLayers[mLayerIndex.at(id)]);
        for (int next : successors[id])
            if (--pendingInputs[next] == 0) ready.push(next);
    }
    if (order.size() != mLayers.size()) fail("the layers form a cycle");
    return order;
}

Value& Builder::input(const IrLayer& layer, size_t index) {
    if (index >= layer.inputs.size()) fail(layer.what() + " lacks input " + std::to_string(index));
    const IrPort& port = layer.inputs[index];
    auto edge = mEdges.find({layer.id, port.id});
    if (edge == mEdges.end())
        fail("input port " + std::to_string(port.id) + " of " + layer.what() + " is not connected");
    auto value = mValues.find(edge->second);
    if (value == mValues.end()) fail(layer.what() + " reads an output that its producer does not provide");
    if (value->second.dims != port.dims)
        fail("input port " + std::to_string(port.id) + " of " + layer.what() + " declares " + dimsText(port.dims) +
             " but receives " + dimsText(value->second.dims));
    return value->second;
}

const Constant& Builder::constantInput(const IrLayer& layer, size_t index, const char* role) {
    Value& value = input(layer, index);
    if (!value.isConstant())
        fail(layer.what() + " needs a constant " + role + " (input " + std::to_string(index) + ")");
    return *value.constant;
}

Value& Builder::runtimeInput(const IrLayer& layer, size_t index) {
    Value& value = input(layer, index);
    if (value.isConstant()) fail(layer.what() + " on a constant input " + std::to_string(index) + " is not supported");
    return value;
}

void Builder::requireInputs(const IrLayer& layer, size_t minimum, size_t maximum) const {
    if (layer.inputs.size() < minimum || layer.inputs.size() > maximum)
        fail(layer.what() + " has " + std::to_string(layer.inputs.size()) + " inputs");
    if (layer.outputs.empty() && layer.type != "Result") fail(layer.what() + " has no output");
}

const Dims& Builder::outputDims(const IrLayer& layer, size_t index) const {
    if (index >= layer.outputs.size()) fail(layer.what() + " lacks output " + std::to_string(index));
    return layer.outputs[index].dims;
}

void Builder::setConstant(const IrLayer& layer, Constant constant, size_t output) {
    if (constant.shape != outputDims(layer, output))
        fail(layer.what() + " declares " + dimsText(outputDims(layer, output)) + " but its value is " +
             dimsText(constant.shape));
    Value value;
    value.dims = constant.shape;
    value.name = layer.name;
    value.constant = std::make_shared<const Constant>(std::move(constant));
    mValues[{layer.id, layer.outputs[output].id}] = std::move(value);
}

void Builder::setAlias(const IrLayer& layer, const Value& source) {
    if (source.dims != outputDims(layer))
        fail(layer.what() + " declares " + dimsText(outputDims(layer)) + " but passes on " + dimsText(source.dims));
    mValues[{layer.id, layer.outputs[0].id}] = source;
}

void requireNonEmpty(const IrLayer& layer, const Dims& dims) {
    // OpenCV's layers are not made for tensors without elements.
    if (std::find(dims.begin(), dims.end(), 0) != dims.end())
        fail(layer.what() + " has the empty output " + dimsText(dims));
}

int Builder::addLayer(const IrLayer& layer, const std::string& type, cv::dnn::LayerParams params,
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
        mValues[{layer.id, layer.outputs[0].id}] = std::move(value);
    } else {
        mPending.back().checkShape = false;
    }
    return index;
}

PortRef Builder::refOf(Value& value) {
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

int Builder::sourceConsumers(const IrLayer& layer, size_t index) const {
    auto edge = mEdges.find({layer.id, layer.inputs.at(index).id});
    auto it = edge == mEdges.end() ? mConsumers.end() : mConsumers.find(edge->second);
    return it == mConsumers.end() ? 0 : it->second;
}

int Builder::consumers(const IrLayer& layer, size_t output) const {
    auto it = mConsumers.find({layer.id, layer.outputs.at(output).id});
    return it == mConsumers.end() ? 0 : it->second;
}

// ---------------------------------------------------------------- op handlers

void Builder::onParameter(const IrLayer& layer) {
    requireInputs(layer, 0, 0);
    Value value;
    value.ref = {-1, static_cast<int>(mInputNames.size())};
    value.dims = outputDims(layer);
    requireNonEmpty(layer, value.dims);
    value.name = layer.name;
    mInputNames.push_back(layer.name);
    mInputDims.push_back(value.dims);
    mValues[{layer.id, layer.outputs[0].id}] = std::move(value);
}

void Builder::onConst(const IrLayer& layer) {
    requireInputs(layer, 0, 0);
    setConstant(layer, decodeConstant(layer, mWeights, mWeightsLength));
}

void Builder::onConvert(const IrLayer& layer) {
    requireInputs(layer, 1, 1);
    const std::string destination = attrString(layer, "destination_type");
    Value& source = input(layer, 0);
    if (!source.isConstant()) {
        if (destination != "f32" && destination != "f16")
            fail(layer.what() + " to '" + destination + "' on a runtime tensor is not supported");
        setAlias(layer, source);  // OpenCV computes in f32 throughout
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
    setConstant(layer, std::move(converted));
}

void Builder::onBinary(const IrLayer& layer) {
    requireInputs(layer, 2, 2);
    Value& a = input(layer, 0);
    Value& b = input(layer, 1);
    const std::string& type = layer.type;
    if (attrString(layer, "auto_broadcast", std::string("numpy")) == "none" && a.dims != b.dims)
        fail(layer.what() + " without broadcasting has inputs " + dimsText(a.dims) + " and " + dimsText(b.dims));

    if (a.isConstant() && b.isConstant()) {
        double (*op)(double, double) = type == "Add"        ? +[](double x, double y) { return x + y; }
                                       : type == "Subtract" ? +[](double x, double y) { return x - y; }
                                       : type == "Multiply" ? +[](double x, double y) { return x * y; }
                                                            : +[](double x, double y) { return x / y; };
        setConstant(layer, broadcastConstants(*a.constant, *b.constant, op, layer));
        return;
    }
    if (a.isConstant() != b.isConstant()) {
        const bool constantFirst = a.isConstant();
        Value& x = constantFirst ? b : a;
        Constant c = constantFirst ? *a.constant : *b.constant;
        if (constantFirst && (type == "Subtract" || type == "Divide"))
            fail(layer.what() + " with a constant first operand is not supported");
        if (type == "Subtract")
            for (double& v : c.values) v = -v;
        if (type == "Divide")
            for (double& v : c.values) v = 1.0 / v;
        if (type == "Add" || type == "Subtract")
            addWithConstant(layer, x, c, sourceConsumers(layer, constantFirst ? 1 : 0));
        else
            multiplyWithConstant(layer, x, c);
        return;
    }

    // Two runtime tensors.
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
            const float coefficients[] = {1.f, -1.f};
            params.set("coeff", cv::dnn::DictValue::arrayReal(coefficients, 2));
        }
        addLayer(layer, "Eltwise", params, {a.ref, b.ref});
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
            params.set("axis", plan.axis);
            params.set("bias_term", type == "Add");
            addLayer(layer, "Scale", params, {big.ref, small.ref});
            return;
        }
    }
    fail(layer.what() + " of tensors " + dimsText(a.dims) + " and " + dimsText(b.dims) + " is not supported");
}

void Builder::addWithConstant(const IrLayer& layer, Value& x, const Constant& c, int sourceConsumers) {
    const BroadcastPlan plan = planBroadcast(x.dims, c.shape);
    if (!plan.valid || c.shape.size() > x.dims.size())
        fail(layer.what() + " cannot add " + dimsText(c.shape) + " to " + dimsText(x.dims));

    // A bias after a convolution or a fully connected layer joins that layer when the
    // layer feeds nothing else; the fused layer takes the Add's name.
    if (x.ref.layer >= 0 && sourceConsumers == 1) {
        PendingLayer& producer = mPending[x.ref.layer];
        const bool fusable = producer.type == "Convolution" || producer.type == "InnerProduct";
        const int channels = fusable ? producer.params.get<int>("num_output") : 0;
        const bool channelBias = plan.scalar || (plan.axis == 1 && c.values.size() == static_cast<size_t>(channels));
        if (fusable && channelBias) {
            cv::Mat bias = producer.params.blobs.size() > 1 ? producer.params.blobs[1]
                                                            : cv::Mat(1, channels, CV_32F, cv::Scalar(0));
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
            mValues[{layer.id, layer.outputs[0].id}] = value;
            return;
        }
    }
    cv::dnn::LayerParams params;
    if (plan.scalar) {
        params.set("power", 1.0);
        params.set("scale", 1.0);
        params.set("shift", c.values[0]);
        addLayer(layer, "Power", params, {x.ref});
        return;
    }
    if (!perChannel(x, c, plan)) {
        combineWithConstantLayer(layer, x, c, plan, true);
        return;
    }
    Constant ones = c;
    std::fill(ones.values.begin(), ones.values.end(), 1.0);
    params.set("axis", plan.axis);
    params.set("bias_term", true);
    params.blobs = {toBlob(ones), toBlob(c)};
    addLayer(layer, "Scale", params, {x.ref});
}

void Builder::multiplyWithConstant(const IrLayer& layer, Value& x, const Constant& c) {
    const BroadcastPlan plan = planBroadcast(x.dims, c.shape);
    if (!plan.valid || c.shape.size() > x.dims.size())
        fail(layer.what() + " cannot multiply " + dimsText(x.dims) + " by " + dimsText(c.shape));
    cv::dnn::LayerParams params;
    if (plan.scalar) {
        params.set("power", 1.0);
        params.set("scale", c.values[0]);
        params.set("shift", 0.0);
        addLayer(layer, "Power", params, {x.ref});
        return;
    }
    if (!perChannel(x, c, plan)) {
        combineWithConstantLayer(layer, x, c, plan, false);
        return;
    }
    params.set("axis", plan.axis);
    params.set("bias_term", false);
    params.blobs = {toBlob(c)};
    addLayer(layer, "Scale", params, {x.ref});
}

// A Scale layer with its own blobs is kept to one value per channel: OpenCV fuses such a
// layer into a convolution before it and fails on any other count.
bool Builder::perChannel(const Value& x, const Constant& c, const BroadcastPlan& plan) const {
    return plan.axis == 1 && x.dims.size() >= 2 && static_cast<int64_t>(c.values.size()) == x.dims[1];
}

// Any other constant becomes a Const layer: combined element by element when it is as
// large as x, else as the second input of a Scale layer over its block of axes.
void Builder::combineWithConstantLayer(const IrLayer& layer, Value& x, const Constant& c, const BroadcastPlan& plan,
                                       bool add) {
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
    const PortRef ref = refOf(constant);
    cv::dnn::LayerParams params;
    if (sameSize) {
        params.set("operation", add ? "sum" : "prod");
        addLayer(layer, "Eltwise", params, {x.ref, ref});
        return;
    }
    params.set("axis", plan.axis);
    params.set("bias_term", add);
    addLayer(layer, "Scale", params, {x.ref, ref});
}

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

void Builder::onConvolution(const IrLayer& layer) {
    requireInputs(layer, 2, 2);
    Value& x = runtimeInput(layer, 0);
    const Constant& weights = constantInput(layer, 1, "weights");
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

    PortRef source = x.ref;
    const bool symmetric = window.padsBegin == window.padsEnd;
    if (!symmetric) {
        // OpenCV's convolution refuses asymmetric pads: pad explicitly in front of it.
        cv::dnn::LayerParams pad;
        const std::vector<int> paddings = {0,
                                           0,
                                           0,
                                           0,
                                           static_cast<int>(window.padsBegin[0]),
                                           static_cast<int>(window.padsEnd[0]),
                                           static_cast<int>(window.padsBegin[1]),
                                           static_cast<int>(window.padsEnd[1])};
        pad.set("paddings", intList(paddings));
        pad.set("value", 0.0);
        source = {addLayer(layer, "Padding", pad, {x.ref}, layer.name + "/pad"), 0};
    }
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
    addLayer(layer, "Convolution", params, {source});
}

void Builder::onActivation(const IrLayer& layer) {
    requireInputs(layer, 1, layer.type == "Swish" ? 2 : 1);
    Value& x = runtimeInput(layer, 0);
    static const std::map<std::string, std::string> types = {
        {"Relu", "ReLU"},        {"Sigmoid", "Sigmoid"},      {"Tanh", "TanH"}, {"Elu", "ELU"},
        {"HSwish", "HardSwish"}, {"HSigmoid", "HardSigmoid"}, {"Mish", "Mish"}, {"Swish", "Swish"}};
    cv::dnn::LayerParams params;
    if (layer.type == "Elu") params.set("alpha", attrNumber<double>(layer, "alpha"));
    if (layer.type == "HSigmoid") {
        params.set("alpha", 1.0 / 6.0);
        params.set("beta", 0.5);
    }
    if (layer.type == "Swish" && inputCount(layer) == 2) {
        const Constant& beta = constantInput(layer, 1, "beta");
        if (beta.values.size() != 1 || beta.values[0] != 1.0)
            fail(layer.what() + " with a beta other than 1 is not supported");
    }
    addLayer(layer, types.at(layer.type), params, {x.ref});
}

void Builder::onClamp(const IrLayer& layer) {
    requireInputs(layer, 1, 1);
    Value& x = runtimeInput(layer, 0);
    cv::dnn::LayerParams params;
    params.set("min_value", attrNumber<double>(layer, "min"));
    params.set("max_value", attrNumber<double>(layer, "max"));
    addLayer(layer, "ReLU6", params, {x.ref});
}

void Builder::onPRelu(const IrLayer& layer) {
    requireInputs(layer, 2, 2);
    Value& x = runtimeInput(layer, 0);
    const Constant& slope = constantInput(layer, 1, "slope");
    cv::dnn::LayerParams params;
    if (slope.values.size() == 1) {
        params.set("negative_slope", slope.values[0]);
        addLayer(layer, "ReLU", params, {x.ref});
        return;
    }
    if (x.dims.size() < 2 || static_cast<int64_t>(slope.values.size()) != x.dims[1])
        fail(layer.what() + " needs one slope or one per channel, has " + dimsText(slope.shape));
    params.blobs.push_back(toBlob(slope, {static_cast<int>(slope.values.size())}));
    addLayer(layer, "PReLU", params, {x.ref});
}

void Builder::onSoftMax(const IrLayer& layer) {
    requireInputs(layer, 1, 1);
    Value& x = runtimeInput(layer, 0);
    cv::dnn::LayerParams params;
    params.set("axis", normaliseAxis(attrNumber<int64_t>(layer, "axis", int64_t(1)), x.dims.size(), layer));
    addLayer(layer, "Softmax", params, {x.ref});
}

void Builder::onPool(const IrLayer& layer) {
    requireInputs(layer, 1, 1);
    Value& x = runtimeInput(layer, 0);
    if (layer.outputs.size() > 1 && consumers(layer, 1) > 0)
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
    addLayer(layer, "Pooling", params, {x.ref});
}

void Builder::onReduce(const IrLayer& layer) {
    requireInputs(layer, 2, 2);
    Value& x = runtimeInput(layer, 0);
    const Constant& axesConstant = constantInput(layer, 1, "axes");
    std::vector<int> axes;
    for (double a : axesConstant.values) axes.push_back(normaliseAxis(static_cast<int64_t>(a), x.dims.size(), layer));
    std::sort(axes.begin(), axes.end());
    if (x.dims.size() != 4 || axes != std::vector<int>{2, 3})
        fail(layer.what() + " is supported only over the spatial axes of an NCHW tensor");
    const bool keepDims = attrBool(layer, "keep_dims", false);
    cv::dnn::LayerParams params;
    params.set("pool", layer.type == "ReduceMean" ? "ave" : "max");
    params.set("global_pooling", true);
    if (keepDims) {
        addLayer(layer, "Pooling", params, {x.ref});
        return;
    }
    const int pool = addLayer(layer, "Pooling", params, {x.ref}, layer.name + "/pool");
    cv::dnn::LayerParams reshape;
    reshape.set("dim", intList({static_cast<int>(x.dims[0]), static_cast<int>(x.dims[1])}));
    addLayer(layer, "Reshape", reshape, {{pool, 0}});
}

void Builder::onMatMul(const IrLayer& layer) {
    requireInputs(layer, 2, 2);
    Value& x = runtimeInput(layer, 0);
    const Constant& b = constantInput(layer, 1, "weights");
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
    addLayer(layer, "InnerProduct", params, {x.ref});
}

void Builder::reshapeTo(const IrLayer& layer, Value& x, const Dims& target) {
    if (target != outputDims(layer))
        fail(layer.what() + " declares " + dimsText(outputDims(layer)) + " but reshapes to " + dimsText(target));
    if (elementCount(target) != elementCount(x.dims))
        fail(layer.what() + " cannot reshape " + dimsText(x.dims) + " to " + dimsText(target));
    if (x.isConstant()) {
        Constant reshaped = *x.constant;
        reshaped.shape = target;
        setConstant(layer, std::move(reshaped));
        return;
    }
    cv::dnn::LayerParams params;
    params.set("dim", intList(std::vector<int>(target.begin(), target.end())));
    addLayer(layer, "Reshape", params, {x.ref});
}

void Builder::onReshape(const IrLayer& layer) {
    requireInputs(layer, 1, 2);
    Value& x = input(layer, 0);
    Dims target;
    if (layer.type == "Reshape") {
        const Constant& shape = constantInput(layer, 1, "shape");
        const bool specialZero = attrBool(layer, "special_zero", false);
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
    } else {
        std::vector<int> axes;
        const size_t rank =
            layer.type == "Unsqueeze"
                ? x.dims.size() + (inputCount(layer) > 1 ? constantInput(layer, 1, "axes").values.size() : 0)
                : x.dims.size();
        if (inputCount(layer) > 1)
            for (double a : constantInput(layer, 1, "axes").values)
                axes.push_back(normaliseAxis(static_cast<int64_t>(a), rank, layer));
        std::sort(axes.begin(), axes.end());
        axes.erase(std::unique(axes.begin(), axes.end()), axes.end());
        if (layer.type == "Squeeze") {
            for (size_t i = 0; i < x.dims.size(); ++i) {
                const bool listed = std::find(axes.begin(), axes.end(), static_cast<int>(i)) != axes.end();
                if (listed && x.dims[i] != 1)
                    fail(layer.what() + " squeezes an axis of size " + std::to_string(x.dims[i]));
                if (!(listed || (axes.empty() && x.dims[i] == 1))) target.push_back(x.dims[i]);
            }
        } else {
            if (axes.empty()) fail(layer.what() + " needs axes");
            target = x.dims;
            for (int a : axes) {
                if (a > static_cast<int>(target.size())) fail(layer.what() + " has an axis beyond the result");
                target.insert(target.begin() + a, 1);
            }
        }
    }
    reshapeTo(layer, x, target);
}

void Builder::onTranspose(const IrLayer& layer) {
    requireInputs(layer, 2, 2);
    Value& x = runtimeInput(layer, 0);
    const Constant& orderConstant = constantInput(layer, 1, "order");
    std::vector<int> order;
    for (double v : orderConstant.values) order.push_back(normaliseAxis(static_cast<int64_t>(v), x.dims.size(), layer));
    if (order.empty())
        for (size_t i = x.dims.size(); i-- > 0;) order.push_back(static_cast<int>(i));
    std::vector<int> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    for (size_t i = 0; i < sorted.size(); ++i)
        if (sorted[i] != static_cast<int>(i) || sorted.size() != x.dims.size())
            fail(layer.what() + " has an order that is not a permutation of the axes");
    cv::dnn::LayerParams params;
    params.set("order", intList(order));
    addLayer(layer, "Permute", params, {x.ref});
}

void Builder::onConcat(const IrLayer& layer) {
    requireInputs(layer, 1, 64);
    const Dims& first = input(layer, 0).dims;
    cv::dnn::LayerParams params;
    params.set("axis", normaliseAxis(attrNumber<int64_t>(layer, "axis"), first.size(), layer));
    std::vector<PortRef> inputs;
    bool anyRuntime = false;
    for (size_t i = 0; i < inputCount(layer); ++i) {
        Value& value = input(layer, i);
        if (value.dims.size() != first.size()) fail(layer.what() + " joins tensors of different ranks");
        anyRuntime = anyRuntime || !value.isConstant();
        inputs.push_back(refOf(value));
    }
    if (!anyRuntime) fail(layer.what() + " of constants only is not supported");
    addLayer(layer, "Concat", params, inputs);
}

void Builder::onInterpolate(const IrLayer& layer) {
    requireInputs(layer, 1, 4);
    Value& x = runtimeInput(layer, 0);
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
    // opset1 knows only align_corners; later opsets name the mode (half_pixel by default).
    std::string transform = attrString(layer, "coordinate_transformation_mode", std::string("half_pixel"));
    if (!layer.has("coordinate_transformation_mode") && layer.version == "opset1")
        transform = attrBool(layer, "align_corners", false) ? "align_corners" : "asymmetric";
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
    addLayer(layer, "Resize", params, {x.ref});
}

void Builder::onShapeOf(const IrLayer& layer) {
    requireInputs(layer, 1, 1);
    const Dims& dims = input(layer, 0).dims;
    Constant shape;
    shape.shape = {static_cast<int64_t>(dims.size())};
    shape.values.assign(dims.begin(), dims.end());
    setConstant(layer, std::move(shape));
}

// Prior generators are usually fed by ShapeOf -> StridedSlice: a slice of a 1-D constant.
void Builder::onStridedSlice(const IrLayer& layer) {
    requireInputs(layer, 3, 4);
    const Constant& data = constantInput(layer, 0, "data");
    const Constant& begin = constantInput(layer, 1, "begin");
    const Constant& end = constantInput(layer, 2, "end");
    const int64_t stride =
        inputCount(layer) > 3 ? static_cast<int64_t>(constantInput(layer, 3, "stride").values.at(0)) : 1;
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
    setConstant(layer, std::move(slice));
}

// The two spatial sizes that a prior generator reads from its inputs: [H, W].
std::pair<int64_t, int64_t> readSize(const Constant& c, const IrLayer& layer, const char* what) {
    if (c.values.size() != 2 || c.values[0] < 1 || c.values[1] < 1 || c.values[0] > MAX_DIM || c.values[1] > MAX_DIM)
        fail(layer.what() + " needs a [height, width] " + what);
    return {static_cast<int64_t>(c.values[0]), static_cast<int64_t>(c.values[1])};
}

std::vector<double> readVariances(const IrLayer& layer) {
    std::vector<double> variance = attrList<double>(layer, "variance", std::vector<double>{});
    if (variance.empty()) variance = {0.1};
    if (variance.size() == 1) variance.assign(4, variance[0]);
    if (variance.size() != 4) fail(layer.what() + " needs one or four variances");
    return variance;
}

// Fills the [2, 4N] output: boxes in the first row, variances in the second.
Constant priorsConstant(const std::vector<double>& boxes, const std::vector<double>& variance, bool clip) {
    Constant priors;
    priors.shape = {2, static_cast<int64_t>(boxes.size())};
    priors.values = boxes;
    if (clip)
        for (double& v : priors.values) v = std::min(1.0, std::max(0.0, v));
    for (size_t i = 0; i < boxes.size(); ++i) priors.values.push_back(variance[i % 4]);
    return priors;
}

void Builder::onPriorBoxClustered(const IrLayer& layer) {
    requireInputs(layer, 2, 2);
    // Plain variables, not structured bindings: the box lambda below captures them.
    const std::pair<int64_t, int64_t> featureSize =
        readSize(constantInput(layer, 0, "output size"), layer, "output size");
    const std::pair<int64_t, int64_t> imageSize = readSize(constantInput(layer, 1, "image size"), layer, "image size");
    const int64_t height = featureSize.first, width = featureSize.second;
    const double imageHeight = static_cast<double>(imageSize.first), imageWidth = static_cast<double>(imageSize.second);
    const std::vector<double> widths = attrList<double>(layer, "width");
    const std::vector<double> heights = attrList<double>(layer, "height");
    if (widths.empty() || widths.size() != heights.size()) fail(layer.what() + " needs as many widths as heights");
    double stepW = attrNumber<double>(layer, "step_w", 0.0);
    double stepH = attrNumber<double>(layer, "step_h", 0.0);
    const double step = attrNumber<double>(layer, "step", 0.0);
    if (stepW == 0 && stepH == 0) stepW = stepH = step;
    if (stepW == 0) stepW = static_cast<double>(imageWidth) / width;
    if (stepH == 0) stepH = static_cast<double>(imageHeight) / height;
    const double offset = attrNumber<double>(layer, "offset", 0.5);
    requireFoldable(layer, {height, width, static_cast<int64_t>(widths.size()), 8});

    std::vector<double> boxes;
    for (int64_t h = 0; h < height; ++h)
        for (int64_t w = 0; w < width; ++w) {
            const double cx = (w + offset) * stepW, cy = (h + offset) * stepH;
            for (size_t s = 0; s < widths.size(); ++s) {
                boxes.push_back((cx - widths[s] / 2) / imageWidth);
                boxes.push_back((cy - heights[s] / 2) / imageHeight);
                boxes.push_back((cx + widths[s] / 2) / imageWidth);
                boxes.push_back((cy + heights[s] / 2) / imageHeight);
            }
        }
    setConstant(layer, priorsConstant(boxes, readVariances(layer), attrBool(layer, "clip", false)));
}

void Builder::onPriorBox(const IrLayer& layer) {
    requireInputs(layer, 2, 2);
    // Plain variables, not structured bindings: the box lambda below captures them.
    const std::pair<int64_t, int64_t> featureSize =
        readSize(constantInput(layer, 0, "output size"), layer, "output size");
    const std::pair<int64_t, int64_t> imageSize = readSize(constantInput(layer, 1, "image size"), layer, "image size");
    const int64_t height = featureSize.first, width = featureSize.second;
    const double imageHeight = static_cast<double>(imageSize.first), imageWidth = static_cast<double>(imageSize.second);
    const std::vector<double> minSizes = attrList<double>(layer, "min_size");
    const std::vector<double> maxSizes = attrList<double>(layer, "max_size", std::vector<double>{});
    const bool flip = attrBool(layer, "flip", false);
    const bool scaleAllSizes = attrBool(layer, "scale_all_sizes", true);
    for (const char* key : {"fixed_size", "fixed_ratio", "density"})
        if (!attrList<double>(layer, key, std::vector<double>{}).empty())
            fail(layer.what() + " with " + key + " is not supported");
    std::vector<double> ratios = {1.0};
    for (double r : attrList<double>(layer, "aspect_ratio", std::vector<double>{})) {
        auto known = [&](double v) {
            return std::any_of(ratios.begin(), ratios.end(), [v](double x) { return std::fabs(x - v) < 1e-6; });
        };
        if (r <= 0) fail(layer.what() + " has a non-positive aspect ratio");
        if (!known(r)) ratios.push_back(r);
        if (flip && !known(1.0 / r)) ratios.push_back(1.0 / r);
    }
    if (minSizes.empty() || (!maxSizes.empty() && maxSizes.size() != minSizes.size()))
        fail(layer.what() + " needs min sizes (and as many max sizes)");
    double step = attrNumber<double>(layer, "step", 0.0);
    const double offset = attrNumber<double>(layer, "offset", 0.5);
    const double stepW = step == 0 ? static_cast<double>(imageWidth) / width : step;
    const double stepH = step == 0 ? static_cast<double>(imageHeight) / height : step;
    requireFoldable(layer, {height, width, static_cast<int64_t>(minSizes.size() * (ratios.size() + 1)), 8});

    std::vector<double> boxes;
    auto addBox = [&](double cx, double cy, double bw, double bh) {
        boxes.push_back((cx - bw / 2) / imageWidth);
        boxes.push_back((cy - bh / 2) / imageHeight);
        boxes.push_back((cx + bw / 2) / imageWidth);
        boxes.push_back((cy + bh / 2) / imageHeight);
    };
    for (int64_t h = 0; h < height; ++h)
        for (int64_t w = 0; w < width; ++w) {
            const double cx = (w + offset) * stepW, cy = (h + offset) * stepH;
            for (size_t s = 0; s < minSizes.size(); ++s) {
                const double minSize = minSizes[s];
                addBox(cx, cy, minSize, minSize);
                if (!maxSizes.empty()) {
                    const double side = std::sqrt(minSize * maxSizes[s]);
                    addBox(cx, cy, side, side);
                }
                for (double r : ratios) {
                    if (std::fabs(r - 1.0) < 1e-6) continue;
                    const double sizeBase = scaleAllSizes || s == 0 ? minSize : minSizes[0];
                    addBox(cx, cy, sizeBase * std::sqrt(r), sizeBase / std::sqrt(r));
                }
            }
        }
    setConstant(layer, priorsConstant(boxes, readVariances(layer), attrBool(layer, "clip", false)));
}

void Builder::onDetectionOutput(const IrLayer& layer) {
    requireInputs(layer, 3, 3);
    cv::dnn::LayerParams params;
    params.set("num_classes", attrNumber<int>(layer, "num_classes"));
    params.set("background_label_id", attrNumber<int>(layer, "background_label_id", 0));
    params.set("share_location", attrBool(layer, "share_location", true));
    params.set("variance_encoded_in_target", attrBool(layer, "variance_encoded_in_target", false));
    params.set("nms_threshold", attrNumber<float>(layer, "nms_threshold"));
    params.set("confidence_threshold", attrNumber<float>(layer, "confidence_threshold", 0.f));
    params.set("top_k", attrNumber<int>(layer, "top_k", -1));
    // keep_top_k is a list in the IR; OpenCV takes one number.
    const std::vector<int> keepTopK = attrList<int>(layer, "keep_top_k");
    if (keepTopK.empty()) fail(layer.what() + " has an empty keep_top_k");
    params.set("keep_top_k", keepTopK[0]);
    params.set("normalized_bbox", attrBool(layer, "normalized", true));
    params.set("clip", attrBool(layer, "clip_after_nms", false) || attrBool(layer, "clip_before_nms", false));
    // OpenCV reads any code_type it does not recognise as CORNER, silently: the IR's
    // "caffe.PriorBoxParameter." prefix must go.
    std::string codeType = attrString(layer, "code_type", std::string("caffe.PriorBoxParameter.CORNER"));
    const std::string prefix = "caffe.PriorBoxParameter.";
    if (codeType.compare(0, prefix.size(), prefix) == 0) codeType = codeType.substr(prefix.size());
    if (codeType != "CORNER" && codeType != "CENTER_SIZE" && codeType != "CORNER_SIZE")
        fail(layer.what() + " has the unknown code_type '" + codeType + "'");
    params.set("code_type", codeType);
    if (params.get<int>("num_classes") < 1 || params.get<float>("nms_threshold") <= 0)
        fail(layer.what() + " needs a positive class count and NMS threshold");

    std::vector<PortRef> inputs;
    for (size_t i = 0; i < 3; ++i) inputs.push_back(refOf(input(layer, i)));
    const int index = addLayer(layer, "DetectionOutput", params, inputs);
    mPending[index].checkShape = false;  // OpenCV sizes its output by keep_top_k
}

void Builder::onResult(const IrLayer& layer) {
    requireInputs(layer, 1, 1);
    if (input(layer, 0).isConstant()) fail(layer.what() + " returns a constant");
}

// OpenCV's own layer types are not IR ops: an op of such a name that the table does not
// handle is refused rather than handed to a layer that expects another framework's params.
bool isOpenCVLayerType(const std::string& type) {
    static const std::set<std::string> types = {"AbsVal",
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
    return types.count(type) != 0 || (type.size() > 4 && type.compare(type.size() - 4, 4, "Int8") == 0);
}

void Builder::onFactoryLayer(const IrLayer& layer) {
    if (isOpenCVLayerType(layer.type)) fail("unsupported op " + layer.what());
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
    std::vector<PortRef> inputs;
    for (size_t i = 0; i < inputCount(layer); ++i) {
        Value& value = input(layer, i);
        if (value.isConstant())
            params.blobs.push_back(toBlob(*value.constant));
        else
            inputs.push_back(value.ref);
    }
    if (layer.outputs.size() != 1) fail(layer.what() + " must have exactly one output");
    if (cv::dnn::LayerFactory::createLayerInstance(layer.type, params).empty()) fail("unsupported op " + layer.what());
    addLayer(layer, layer.type, params, inputs);
}

// ---------------------------------------------------------------- assembly

cv::dnn::Net Builder::emit() {
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

    // Every IR port carries its dims: a layer whose computed shape differs shows a fault
    // in the description or in the reader, and is reported now rather than at forward.
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
    return net;
}

cv::dnn::Net Builder::build(const pugi::xml_document& document) {
    pugi::xml_node net = document.child("net");
    if (!net) fail("the description has no <net> root");
    parse(net);
    for (const IrLayer* layer : topologicalOrder()) {
        auto handler = handlers().find(layer->type);
        if (handler != handlers().end())
            (this->*handler->second)(*layer);
        else
            onFactoryLayer(*layer);
    }
    return emit();
}

}  // namespace

cv::dnn::Net readNetFromIR(const char* xml, size_t xmlLength, const char* weights, size_t weightsLength) {
    if (xml == nullptr || xmlLength == 0) fail("the description is empty");
    pugi::xml_document document;
    const pugi::xml_parse_result parsed = document.load_buffer(xml, xmlLength);
    if (!parsed)
        fail(std::string("malformed XML: ") + parsed.description() + " at offset " + std::to_string(parsed.offset));
    try {
        Builder builder(weights, weights ? weightsLength : 0);
        return builder.build(document);
    } catch (const cv::Exception&) {
        throw;
    } catch (const std::exception& e) {
        // Keep one failure type for the callers: a bad model is always cv::Exception.
        fail(std::string("cannot build the network: ") + e.what());
    }
}

}  // namespace lm::dnn
