#include "util/ir_description.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>

#include <opencv2/core.hpp>
#include <pugixml.hpp>

namespace lm::dnn::ir {

void fail(const std::string& message) { CV_Error(cv::Error::StsParseError, "IR reader: " + message); }

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

void requireInputs(const IrLayer& layer, size_t minimum, size_t maximum) {
    if (layer.inputs.size() < minimum || layer.inputs.size() > maximum)
        fail(layer.what() + " has " + std::to_string(layer.inputs.size()) + " inputs");
    if (layer.outputs.empty() && layer.type != "Result") fail(layer.what() + " has no output");
}

const Dims& outputDims(const IrLayer& layer, size_t index) {
    if (index >= layer.outputs.size()) fail(layer.what() + " lacks output " + std::to_string(index));
    return layer.outputs[index].dims;
}

// ---------------------------------------------------------------- attributes

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

namespace {

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

}  // namespace

std::string attrString(const IrLayer& layer, const std::string& key, std::optional<std::string> fallback) {
    if (const std::string* text = layer.find(key)) return *text;
    if (fallback) return *fallback;
    fail(layer.what() + " lacks the attribute '" + key + "'");
}

template <typename T>
T attrNumber(const IrLayer& layer, const std::string& key, std::optional<T> fallback) {
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
std::vector<T> attrList(const IrLayer& layer, const std::string& key, std::optional<std::vector<T>> fallback) {
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

// The number types that the op handlers read: int, int64_t, float and double.
template bool parseNumber(const std::string&, int&);
template bool parseNumber(const std::string&, int64_t&);
template bool parseNumber(const std::string&, float&);
template bool parseNumber(const std::string&, double&);
template int attrNumber(const IrLayer&, const std::string&, std::optional<int>);
template int64_t attrNumber(const IrLayer&, const std::string&, std::optional<int64_t>);
template float attrNumber(const IrLayer&, const std::string&, std::optional<float>);
template double attrNumber(const IrLayer&, const std::string&, std::optional<double>);
template std::vector<int> attrList(const IrLayer&, const std::string&, std::optional<std::vector<int>>);
template std::vector<int64_t> attrList(const IrLayer&, const std::string&, std::optional<std::vector<int64_t>>);
template std::vector<float> attrList(const IrLayer&, const std::string&, std::optional<std::vector<float>>);
template std::vector<double> attrList(const IrLayer&, const std::string&, std::optional<std::vector<double>>);

// ---------------------------------------------------------------- layers and edges

namespace {

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

std::vector<IrPort> parsePorts(const pugi::xml_node& ports, const std::string& what, const std::string& layerName) {
    std::vector<IrPort> parsed;
    for (pugi::xml_node port : ports.children("port"))
        parsed.push_back(
            {parseId(port.attribute("id"), what + " of '" + layerName + "'"), parsePortDims(port, layerName)});
    return parsed;
}

IrLayer parseLayer(const pugi::xml_node& node) {
    IrLayer layer;
    layer.id = parseId(node.attribute("id"), "a layer");
    layer.name = node.attribute("name").value();
    layer.type = node.attribute("type").value();
    layer.version = node.attribute("version").value();
    if (layer.name.empty() || layer.type.empty()) fail("layer " + std::to_string(layer.id) + " lacks a name or type");
    for (pugi::xml_attribute attribute : node.child("data").attributes())
        layer.data[attribute.name()] = attribute.value();
    layer.inputs = parsePorts(node.child("input"), "an input port", layer.name);
    layer.outputs = parsePorts(node.child("output"), "an output port", layer.name);
    return layer;
}

bool hasPort(const std::vector<IrPort>& ports, int id) {
    return std::any_of(ports.begin(), ports.end(), [id](const IrPort& p) { return p.id == id; });
}

}  // namespace

IrDescription::IrDescription(const char* xml, size_t xmlLength, const char* weights, size_t weightsLength)
    : mWeights(weights), mWeightsLength(weights ? weightsLength : 0) {
    if (xml == nullptr || xmlLength == 0) fail("the description is empty");
    pugi::xml_document document;
    const pugi::xml_parse_result parsed = document.load_buffer(xml, xmlLength);
    if (!parsed)
        fail(std::string("malformed XML: ") + parsed.description() + " at offset " + std::to_string(parsed.offset));
    pugi::xml_node net = document.child("net");
    if (!net) fail("the description has no <net> root");
    const int version = net.attribute("version").as_int(0);
    if (version != 10 && version != 11)
        fail("unsupported IR version '" + std::string(net.attribute("version").value()) + "'");
    pugi::xml_node layers = net.child("layers");
    if (!layers) fail("the description has no <layers>");
    readLayers(layers);
    readEdges(net.child("edges"));
}

void IrDescription::readLayers(const pugi::xml_node& layers) {
    for (pugi::xml_node node : layers.children("layer")) {
        IrLayer layer = parseLayer(node);
        if (!mLayerIndex.emplace(layer.id, mLayers.size()).second)
            fail("two layers have the id " + std::to_string(layer.id));
        mLayers.push_back(std::move(layer));
    }
}

void IrDescription::readEdges(const pugi::xml_node& edges) {
    for (pugi::xml_node edge : edges.children("edge")) {
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
        if (!mEdges.emplace(PortKey(toLayer, toPort), PortKey(fromLayer, fromPort)).second)
            fail("two edges enter port " + std::to_string(toPort) + " of layer '" + mLayers[to->second].name + "'");
        ++mConsumers[{fromLayer, fromPort}];
    }
}

const PortKey* IrDescription::producerOf(const PortKey& input) const {
    auto edge = mEdges.find(input);
    return edge == mEdges.end() ? nullptr : &edge->second;
}

int IrDescription::consumerCount(const PortKey& output) const {
    auto it = mConsumers.find(output);
    return it == mConsumers.end() ? 0 : it->second;
}

// ---------------------------------------------------------------- weights

namespace {

template <typename T>
T readElement(const char* bytes, size_t index) {
    T value;
    std::memcpy(&value, bytes + index * sizeof(value), sizeof(value));
    return value;
}

double decodeElement(const std::string& type, const char* bytes, size_t i) {
    if (type == "f32") return readElement<float>(bytes, i);
    if (type == "f16") return static_cast<float>(cv::float16_t::fromBits(readElement<uint16_t>(bytes, i)));
    if (type == "bf16") {
        const uint32_t bits = uint32_t(readElement<uint16_t>(bytes, i)) << 16;
        float f;
        std::memcpy(&f, &bits, 4);
        return f;
    }
    if (type == "i64") return static_cast<double>(readElement<int64_t>(bytes, i));
    if (type == "u64") return static_cast<double>(readElement<uint64_t>(bytes, i));
    if (type == "i32") return readElement<int32_t>(bytes, i);
    if (type == "u32") return readElement<uint32_t>(bytes, i);
    if (type == "u8") return readElement<uint8_t>(bytes, i);
    if (type == "i8") return readElement<int8_t>(bytes, i);
    return readElement<uint8_t>(bytes, i) ? 1.0 : 0.0;
}

}  // namespace

Constant IrDescription::readConstant(const IrLayer& layer) const {
    static const std::map<std::string, int> ELEMENT_SIZES = {{"f32", 4}, {"f16", 2}, {"bf16", 2}, {"i64", 8},
                                                             {"i32", 4}, {"u8", 1},  {"i8", 1},   {"boolean", 1},
                                                             {"u64", 8}, {"u32", 4}};
    const std::string type = attrString(layer, "element_type");
    Constant constant;
    constant.shape = attrList<int64_t>(layer, "shape", std::vector<int64_t>{});
    const int64_t count = elementCount(constant.shape);
    const int64_t offset = attrNumber<int64_t>(layer, "offset");
    const int64_t size = attrNumber<int64_t>(layer, "size");

    auto it = ELEMENT_SIZES.find(type);
    if (it == ELEMENT_SIZES.end()) fail(layer.what() + " has the unsupported element type '" + type + "'");
    if (size != count * it->second)
        fail(layer.what() + " has size " + std::to_string(size) + " but " + dimsText(constant.shape) + " of " + type +
             " needs " + std::to_string(count * it->second));
    if (offset < 0 || size < 0 || static_cast<uint64_t>(offset) > mWeightsLength ||
        static_cast<uint64_t>(size) > mWeightsLength - static_cast<uint64_t>(offset))
        fail(layer.what() + " lies outside the weights: offset " + std::to_string(offset) + ", size " +
             std::to_string(size) + ", weights " + std::to_string(mWeightsLength) + " bytes");

    const char* bytes = mWeights + offset;
    constant.values.resize(static_cast<size_t>(count));
    for (size_t i = 0; i < constant.values.size(); ++i) constant.values[i] = decodeElement(type, bytes, i);
    return constant;
}

}  // namespace lm::dnn::ir
