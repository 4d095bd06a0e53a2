#pragma once
// Writes networks in OpenVINO intermediate representation (IR v11): an XML description
// and a weights buffer. The project's own model files and the reader's tests are built
// with it. The writer records what it is told: the caller gives every op's output dims,
// so a test can also write descriptions that lie.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace lm::models {

using Dims = std::vector<int64_t>;
using Attributes = std::vector<std::pair<std::string, std::string>>;

// How a constant's values are stored in the weights.
enum class Storage {
    F32,  // as they are
    F16,  // Const f16 -> Convert(f32)
    U8,   // Const u8 -> Convert -> Subtract(zero point) -> Multiply(scale), per tensor
};

struct Port {
    int layer = -1;
    int port = 0;
    Dims dims;
};

class IrWriter {
public:
    explicit IrWriter(std::string networkName);

    Port parameter(const std::string& name, const Dims& dims);
    // A float constant, stored as asked; compressed forms add the ops that restore it.
    Port constant(const std::string& name, const std::vector<float>& values, const Dims& dims,
                  Storage storage = Storage::F32);
    Port constantI64(const std::string& name, const std::vector<int64_t>& values, const Dims& dims);
    // Raw bytes under any element type, for tests of the reader's decoding and checks.
    Port rawConstant(const std::string& name, const std::string& elementType, const std::string& bytes,
                     const Dims& dims, const Attributes& overrides = {});
    // An op with the given inputs and one output per entry of outputDims; returns the
    // first output (outputs(op) gives all).
    Port op(const std::string& type, const std::string& name, const std::vector<Port>& inputs,
            const Attributes& attributes, const std::vector<Dims>& outputDims, const std::string& version = "opset1");
    std::vector<Port> outputs(const Port& first) const;
    void result(const Port& port, const std::string& name = "");
    // An edge written as given, for descriptions that must be wrong.
    void rawEdge(int fromLayer, int fromPort, int toLayer, int toPort);

    std::string xml() const;
    const std::string& weights() const { return mWeights; }

private:
    struct Layer {
        int id;
        std::string name, type, version;
        Attributes data;
        std::vector<Dims> inputDims;
        std::vector<Dims> outputDims;
        std::vector<std::string> outputPrecisions;
    };
    struct Edge {
        int fromLayer, fromPort, toLayer, toPort;
    };
    Port addLayer(Layer layer, const std::vector<Port>& inputs);
    size_t append(const void* data, size_t size);

    std::string mName;
    std::vector<Layer> mLayers;
    std::vector<Edge> mEdges;
    std::string mWeights;
};

// "1,2,3": the list form of IR attributes.
std::string joinList(const std::vector<int64_t>& values);
std::string joinList(const std::vector<float>& values);
std::string floatText(double value);

}  // namespace lm::models
