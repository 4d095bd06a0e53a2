#pragma once
// Reading TensorFlow.js model files: weights manifests (a JSON list of weight groups, each
// naming its .bin shards) and graph models (model.json: a TensorFlow graph plus its
// manifest). Every weight comes back dequantised to float32 in its TensorFlow layout.

#include <map>
#include <string>
#include <vector>

#include <Poco/JSON/Object.h>

#include "real/tensor.h"

namespace lm::models::real {

using Weights = std::map<std::string, Tensor>;

// Reads a weights manifest and its shards from the manifest's folder. Throws
// std::runtime_error naming the file when a shard is missing or shorter than the manifest says.
Weights readWeightsManifest(const std::string& manifestPath);

// One node of a graph model: TensorFlow op name, inputs ("name" or "name:k"), attributes.
struct GraphNode {
    std::string name;
    std::string op;
    std::vector<std::string> inputs;
    Poco::JSON::Object::Ptr attributes;  // never null

    // Attribute accessors; throw std::runtime_error when the attribute is absent.
    std::string stringAttribute(const std::string& key) const;  // base64-decoded "s"
    std::vector<int64_t> intListAttribute(const std::string& key) const;
    std::vector<std::string> stringListAttribute(const std::string& key) const;
    bool boolAttribute(const std::string& key, bool fallback) const;
};

struct GraphModel {
    std::map<std::string, GraphNode> nodes;
    Weights weights;

    const GraphNode& node(const std::string& name) const;  // throws when absent
    const Tensor& weight(const std::string& name) const;   // throws when absent
};

GraphModel readGraphModel(const std::string& modelJsonPath);

}  // namespace lm::models::real
