#pragma once
// The parsed form of an IR description: its layers with their op attributes and ports, the
// edges between ports, and the tensors its Const layers read from the weights buffer.
//
// Every failure of the reader goes through fail(): a cv::Exception whose message starts
// with "IR reader: ".

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pugi {
class xml_node;
}

namespace lm::dnn::ir {

using Dims = std::vector<int64_t>;

// Bounds that keep hostile descriptions from making the reader (or OpenCV behind it)
// allocate without limit: no real network of this system comes near them.
constexpr int64_t MAX_DIM = int64_t(1) << 24;
constexpr int64_t MAX_ELEMENTS = int64_t(1) << 24;

[[noreturn]] void fail(const std::string& message);

std::string dimsText(const Dims& dims);
// The element count of a tensor, refusing dimensions and totals beyond the bounds.
int64_t elementCount(const Dims& dims);

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

inline size_t inputCount(const IrLayer& layer) { return layer.inputs.size(); }
void requireInputs(const IrLayer& layer, size_t minimum, size_t maximum);
const Dims& outputDims(const IrLayer& layer, size_t index = 0);

// Numbers are parsed with std::from_chars so that the C locale (which a GUI toolkit may
// change) cannot alter them. The number templates here are defined for int, int64_t,
// float and double.
template <typename T>
bool parseNumber(const std::string& text, T& value);

// The attributes of a layer's <data>: without a fallback a missing one is an error.
std::string attrString(const IrLayer& layer, const std::string& key,
                       std::optional<std::string> fallback = std::nullopt);
template <typename T>
T attrNumber(const IrLayer& layer, const std::string& key, std::optional<T> fallback = std::nullopt);
template <typename T>
std::vector<T> attrList(const IrLayer& layer, const std::string& key,
                        std::optional<std::vector<T>> fallback = std::nullopt);
bool attrBool(const IrLayer& layer, const std::string& key, bool fallback);

// A tensor known at load time. Values are held as doubles so that i64 shape constants
// and f32 weights share one representation; blobs are made from them as floats.
struct Constant {
    Dims shape;
    std::vector<double> values;
};

// A layer's port by IR ids: (layer id, port id).
using PortKey = std::pair<int, int>;

class IrDescription {
public:
    // Parses the XML and checks its layers and edges. The weights stay the caller's: they
    // must outlive the description.
    IrDescription(const char* xml, size_t xmlLength, const char* weights, size_t weightsLength);

    // The layers in document order.
    const std::vector<IrLayer>& layers() const { return mLayers; }
    const IrLayer& layerWithId(int id) const { return mLayers[mLayerIndex.at(id)]; }
    // Every edge, from the input port it enters to the output port it leaves.
    const std::map<PortKey, PortKey>& edges() const { return mEdges; }
    // The output port that feeds the given input port, or nullptr when no edge enters it.
    const PortKey* producerOf(const PortKey& input) const;
    // How many edges leave the given output port.
    int consumerCount(const PortKey& output) const;

    // The value of a Const layer, decoded from the weights after checking that it lies
    // inside them.
    Constant readConstant(const IrLayer& layer) const;

private:
    void readLayers(const pugi::xml_node& layers);
    void readEdges(const pugi::xml_node& edges);

    const char* mWeights;
    size_t mWeightsLength;
    std::vector<IrLayer> mLayers;
    std::map<int, size_t> mLayerIndex;  // IR id -> mLayers index
    std::map<PortKey, PortKey> mEdges;
    std::map<PortKey, int> mConsumers;  // output port -> count
};

}  // namespace lm::dnn::ir
