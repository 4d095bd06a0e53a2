#include "ir_writer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include <opencv2/core.hpp>
#include <pugixml.hpp>

namespace lm::models {

std::string floatText(double value) {
    // Shortest text that reads back to the same float, independent of the locale.
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof(buffer), static_cast<float>(value));
    return std::string(buffer, result.ptr);
}

std::string joinList(const std::vector<int64_t>& values) {
    std::string text;
    for (size_t i = 0; i < values.size(); ++i) text += (i ? "," : "") + std::to_string(values[i]);
    return text;
}

std::string joinList(const std::vector<float>& values) {
    std::string text;
    for (size_t i = 0; i < values.size(); ++i) text += (i ? "," : "") + floatText(values[i]);
    return text;
}

namespace {

int64_t countOf(const Dims& dims) {
    int64_t count = 1;
    for (int64_t d : dims) count *= d;
    return count;
}

const char* precisionOf(const std::string& elementType) {
    if (elementType == "f32") return "FP32";
    if (elementType == "f16") return "FP16";
    if (elementType == "i64") return "I64";
    if (elementType == "i32") return "I32";
    if (elementType == "u8") return "U8";
    if (elementType == "i8") return "I8";
    return "FP32";
}

}  // namespace

IrWriter::IrWriter(std::string networkName) : mName(std::move(networkName)) {}

size_t IrWriter::append(const void* data, size_t size) {
    // Keep every constant 8-byte aligned, as the IR's own writer does.
    mWeights.resize((mWeights.size() + 7) / 8 * 8, '\0');
    const size_t offset = mWeights.size();
    mWeights.append(static_cast<const char*>(data), size);
    return offset;
}

Port IrWriter::addLayer(Layer layer, const std::vector<Port>& inputs) {
    layer.id = static_cast<int>(mLayers.size());
    for (size_t i = 0; i < inputs.size(); ++i) {
        layer.inputDims.push_back(inputs[i].dims);
        mEdges.push_back({inputs[i].layer, inputs[i].port, layer.id, static_cast<int>(i)});
    }
    if (layer.outputPrecisions.size() < layer.outputDims.size())
        layer.outputPrecisions.resize(layer.outputDims.size(), "FP32");
    Port first{layer.id, static_cast<int>(inputs.size()), layer.outputDims.empty() ? Dims{} : layer.outputDims[0]};
    mLayers.push_back(std::move(layer));
    return first;
}

std::vector<Port> IrWriter::outputs(const Port& first) const {
    const Layer& layer = mLayers.at(first.layer);
    std::vector<Port> ports;
    for (size_t i = 0; i < layer.outputDims.size(); ++i)
        ports.push_back({layer.id, first.port + static_cast<int>(i), layer.outputDims[i]});
    return ports;
}

Port IrWriter::parameter(const std::string& name, const Dims& dims) {
    Layer layer{0, name, "Parameter", "opset1", {{"shape", joinList(dims)}, {"element_type", "f32"}}, {}, {dims}, {}};
    return addLayer(std::move(layer), {});
}

Port IrWriter::rawConstant(const std::string& name, const std::string& elementType, const std::string& bytes,
                           const Dims& dims, const Attributes& overrides) {
    const size_t offset = append(bytes.data(), bytes.size());
    Attributes data = {{"element_type", elementType},
                       {"shape", joinList(dims)},
                       {"offset", std::to_string(offset)},
                       {"size", std::to_string(bytes.size())}};
    for (const auto& entry : overrides) {
        auto it = std::find_if(data.begin(), data.end(), [&](const auto& kv) { return kv.first == entry.first; });
        if (it != data.end())
            it->second = entry.second;
        else
            data.push_back(entry);
    }
    Layer layer{0, name, "Const", "opset1", data, {}, {dims}, {precisionOf(elementType)}};
    return addLayer(std::move(layer), {});
}

Port IrWriter::constantI64(const std::string& name, const std::vector<int64_t>& values, const Dims& dims) {
    std::string bytes(values.size() * sizeof(int64_t), '\0');
    std::memcpy(bytes.data(), values.data(), bytes.size());
    return rawConstant(name, "i64", bytes, dims);
}

Port IrWriter::constant(const std::string& name, const std::vector<float>& values, const Dims& dims, Storage storage) {
    if (static_cast<int64_t>(values.size()) != countOf(dims))
        throw std::invalid_argument("constant '" + name + "' has the wrong number of values");
    if (storage == Storage::F32) {
        std::string bytes(values.size() * sizeof(float), '\0');
        std::memcpy(bytes.data(), values.data(), bytes.size());
        return rawConstant(name, "f32", bytes, dims);
    }
    const Attributes toF32 = {{"destination_type", "f32"}};
    if (storage == Storage::F16) {
        std::string bytes(values.size() * 2, '\0');
        for (size_t i = 0; i < values.size(); ++i) {
            const uint16_t bits = cv::float16_t(values[i]).bits();
            std::memcpy(bytes.data() + 2 * i, &bits, 2);
        }
        Port raw = rawConstant(name + "/f16", "f16", bytes, dims);
        return op("Convert", name, {raw}, toF32, {dims});
    }
    // u8 with a power-of-two step: weights that are multiples of a power of two (as the
    // test networks' are) survive the round trip exactly.
    const auto [lo, hi] = std::minmax_element(values.begin(), values.end());
    const double low = std::min(0.0f, *lo), high = std::max(0.0f, *hi);
    double step = std::pow(2.0, std::ceil(std::log2(std::max((high - low) / 255.0, 1e-30))));
    const double zeroPoint = std::round(-low / step);
    std::string bytes(values.size(), '\0');
    for (size_t i = 0; i < values.size(); ++i)
        bytes[i] =
            static_cast<char>(static_cast<uint8_t>(std::clamp(std::round(values[i] / step) + zeroPoint, 0.0, 255.0)));
    Port raw = rawConstant(name + "/u8", "u8", bytes, dims);
    Port converted = op("Convert", name + "/convert", {raw}, toF32, {dims});
    Port zero = constant(name + "/zero_point", {static_cast<float>(zeroPoint)}, {});
    Port shifted = op("Subtract", name + "/subtract", {converted, zero}, {{"auto_broadcast", "numpy"}}, {dims});
    Port scale = constant(name + "/scale", {static_cast<float>(step)}, {});
    return op("Multiply", name, {shifted, scale}, {{"auto_broadcast", "numpy"}}, {dims});
}

Port IrWriter::op(const std::string& type, const std::string& name, const std::vector<Port>& inputs,
                  const Attributes& attributes, const std::vector<Dims>& outputDims, const std::string& version) {
    Layer layer{0, name, type, version, attributes, {}, outputDims, {}};
    return addLayer(std::move(layer), inputs);
}

void IrWriter::result(const Port& port, const std::string& name) {
    Layer layer{0, name.empty() ? mLayers.at(port.layer).name + "/sink_port_0" : name, "Result", "opset1", {}, {}, {},
                {}};
    addLayer(std::move(layer), {port});
}

void IrWriter::rawEdge(int fromLayer, int fromPort, int toLayer, int toPort) {
    mEdges.push_back({fromLayer, fromPort, toLayer, toPort});
}

std::string IrWriter::xml() const {
    pugi::xml_document document;
    pugi::xml_node net = document.append_child("net");
    net.append_attribute("name") = mName.c_str();
    net.append_attribute("version") = "11";
    pugi::xml_node layers = net.append_child("layers");
    for (const Layer& layer : mLayers) {
        pugi::xml_node node = layers.append_child("layer");
        node.append_attribute("id") = layer.id;
        node.append_attribute("name") = layer.name.c_str();
        node.append_attribute("type") = layer.type.c_str();
        node.append_attribute("version") = layer.version.c_str();
        if (!layer.data.empty()) {
            pugi::xml_node data = node.append_child("data");
            for (const auto& [key, value] : layer.data) data.append_attribute(key.c_str()) = value.c_str();
        }
        int portId = 0;
        auto writePorts = [&](const char* tag, const std::vector<Dims>& ports,
                              const std::vector<std::string>* precisions) {
            if (ports.empty()) return;
            pugi::xml_node group = node.append_child(tag);
            for (size_t i = 0; i < ports.size(); ++i) {
                pugi::xml_node port = group.append_child("port");
                port.append_attribute("id") = portId++;
                if (precisions) port.append_attribute("precision") = (*precisions)[i].c_str();
                for (int64_t d : ports[i]) port.append_child("dim").text() = static_cast<long long>(d);
            }
        };
        writePorts("input", layer.inputDims, nullptr);
        writePorts("output", layer.outputDims, &layer.outputPrecisions);
    }
    pugi::xml_node edges = net.append_child("edges");
    for (const Edge& e : mEdges) {
        pugi::xml_node edge = edges.append_child("edge");
        edge.append_attribute("from-layer") = e.fromLayer;
        edge.append_attribute("from-port") = e.fromPort;
        edge.append_attribute("to-layer") = e.toLayer;
        edge.append_attribute("to-port") = e.toPort;
    }
    std::ostringstream out;
    document.save(out, "  ");
    return out.str();
}

}  // namespace lm::models
