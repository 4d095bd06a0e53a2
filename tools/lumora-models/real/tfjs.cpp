#include "real/tfjs.h"

#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <Poco/Base64Decoder.h>
#include <Poco/JSON/Array.h>
#include <Poco/JSON/Parser.h>

namespace lm::models::real {
namespace {

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string folderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

float halfToFloat(uint16_t h) {
    const int sign = (h >> 15) & 1;
    const int exponent = (h >> 10) & 0x1f;
    const int mantissa = h & 0x3ff;
    float value;
    if (exponent == 0)
        value = std::ldexp(static_cast<float>(mantissa), -24);
    else if (exponent == 31)
        value = mantissa ? NAN : INFINITY;
    else
        value = std::ldexp(static_cast<float>(mantissa | 0x400), exponent - 25);
    return sign ? -value : value;
}

// Values are copied byte by byte: tensors may start at odd offsets in the shard.
template <typename T>
T load(const std::string& bytes, size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

size_t storedSize(const std::string& dtype) {
    if (dtype == "float32" || dtype == "int32") return 4;
    if (dtype == "float16" || dtype == "uint16") return 2;
    if (dtype == "uint8") return 1;
    throw std::runtime_error("unsupported weight dtype " + dtype);
}

// Decodes the weights of one manifest group from the concatenation of its shards.
void decodeGroup(const Poco::JSON::Array::Ptr& entries, const std::string& bytes, const std::string& origin,
                 Weights& out) {
    size_t offset = 0;
    for (size_t i = 0; i < entries->size(); ++i) {
        const auto entry = entries->getObject(static_cast<unsigned>(i));
        const std::string name = entry->getValue<std::string>("name");
        const std::string dtype = entry->getValue<std::string>("dtype");
        Shape shape;
        const auto dims = entry->getArray("shape");
        for (size_t d = 0; d < dims->size(); ++d) shape.push_back(dims->getElement<int64_t>(static_cast<unsigned>(d)));

        std::string storage = dtype;
        double scale = 1.0, minimum = 0.0;
        if (entry->has("quantization")) {
            const auto q = entry->getObject("quantization");
            storage = q->getValue<std::string>("dtype");
            if (q->has("scale")) scale = q->getValue<double>("scale");
            if (q->has("min")) minimum = q->getValue<double>("min");
        }
        const int64_t count = elementCount(shape);
        const size_t width = storedSize(storage);
        if (offset + count * width > bytes.size())
            throw std::runtime_error(origin + ": weight " + name + " runs past the end of the shards");

        std::vector<float> values(count);
        for (int64_t k = 0; k < count; ++k) {
            const size_t at = offset + k * width;
            if (storage == "float32")
                values[k] = load<float>(bytes, at);
            else if (storage == "int32")
                values[k] = static_cast<float>(load<int32_t>(bytes, at));
            else if (storage == "float16")
                values[k] = halfToFloat(load<uint16_t>(bytes, at));
            else if (storage == "uint16")
                values[k] = static_cast<float>(load<uint16_t>(bytes, at) * scale + minimum);
            else
                values[k] = static_cast<float>(static_cast<uint8_t>(bytes[at]) * scale + minimum);
        }
        offset += count * width;
        out[name] = Tensor(std::move(shape), std::move(values));
    }
    if (offset != bytes.size())
        throw std::runtime_error(origin + ": shards hold " + std::to_string(bytes.size()) +
                                 " bytes, the manifest describes " + std::to_string(offset));
}

void decodeManifest(const Poco::JSON::Array::Ptr& groups, const std::string& folder, const std::string& origin,
                    Weights& out) {
    for (size_t g = 0; g < groups->size(); ++g) {
        const auto group = groups->getObject(static_cast<unsigned>(g));
        std::string bytes;
        const auto paths = group->getArray("paths");
        for (size_t p = 0; p < paths->size(); ++p)
            bytes += readWhole(folder + "/" + paths->getElement<std::string>(static_cast<unsigned>(p)));
        decodeGroup(group->getArray("weights"), bytes, origin, out);
    }
}

Poco::Dynamic::Var parseJsonFile(const std::string& path) {
    Poco::JSON::Parser parser;
    try {
        return parser.parse(readWhole(path));
    } catch (const Poco::Exception& e) {
        throw std::runtime_error(path + ": " + e.displayText());
    }
}

std::string base64Decode(const std::string& text) {
    std::istringstream in(text);
    Poco::Base64Decoder decoder(in);
    std::ostringstream out;
    out << decoder.rdbuf();
    return out.str();
}

}  // namespace

Weights readWeightsManifest(const std::string& manifestPath) {
    Weights weights;
    const auto root = parseJsonFile(manifestPath).extract<Poco::JSON::Array::Ptr>();
    decodeManifest(root, folderOf(manifestPath), manifestPath, weights);
    return weights;
}

GraphModel readGraphModel(const std::string& modelJsonPath) {
    GraphModel model;
    const auto root = parseJsonFile(modelJsonPath).extract<Poco::JSON::Object::Ptr>();
    decodeManifest(root->getArray("weightsManifest"), folderOf(modelJsonPath), modelJsonPath, model.weights);
    const auto nodes = root->getObject("modelTopology")->getArray("node");
    for (size_t i = 0; i < nodes->size(); ++i) {
        const auto json = nodes->getObject(static_cast<unsigned>(i));
        GraphNode node;
        node.name = json->getValue<std::string>("name");
        node.op = json->getValue<std::string>("op");
        if (json->has("input")) {
            const auto inputs = json->getArray("input");
            for (size_t k = 0; k < inputs->size(); ++k)
                node.inputs.push_back(inputs->getElement<std::string>(static_cast<unsigned>(k)));
        }
        node.attributes = json->has("attr") ? json->getObject("attr") : Poco::JSON::Object::Ptr(new Poco::JSON::Object);
        model.nodes[node.name] = std::move(node);
    }
    return model;
}

const GraphNode& GraphModel::node(const std::string& name) const {
    const auto it = nodes.find(name);
    if (it == nodes.end()) throw std::runtime_error("graph has no node " + name);
    return it->second;
}

const Tensor& GraphModel::weight(const std::string& name) const {
    const auto it = weights.find(name);
    if (it == weights.end()) throw std::runtime_error("graph has no weight " + name);
    return it->second;
}

static Poco::JSON::Object::Ptr attributeObject(const GraphNode& node, const std::string& key) {
    if (!node.attributes->has(key)) throw std::runtime_error("node " + node.name + " has no attribute " + key);
    return node.attributes->getObject(key);
}

std::string GraphNode::stringAttribute(const std::string& key) const {
    return base64Decode(attributeObject(*this, key)->getValue<std::string>("s"));
}

std::vector<int64_t> GraphNode::intListAttribute(const std::string& key) const {
    std::vector<int64_t> values;
    const auto list = attributeObject(*this, key)->getObject("list");
    if (!list->has("i")) return values;
    const auto items = list->getArray("i");
    for (size_t k = 0; k < items->size(); ++k)
        values.push_back(std::stoll(items->getElement<std::string>(static_cast<unsigned>(k))));
    return values;
}

std::vector<std::string> GraphNode::stringListAttribute(const std::string& key) const {
    std::vector<std::string> values;
    const auto list = attributeObject(*this, key)->getObject("list");
    if (!list->has("s")) return values;
    const auto items = list->getArray("s");
    for (size_t k = 0; k < items->size(); ++k)
        values.push_back(base64Decode(items->getElement<std::string>(static_cast<unsigned>(k))));
    return values;
}

bool GraphNode::boolAttribute(const std::string& key, bool fallback) const {
    if (!attributes->has(key)) return fallback;
    return attributes->getObject(key)->getValue<bool>("b");
}

}  // namespace lm::models::real
