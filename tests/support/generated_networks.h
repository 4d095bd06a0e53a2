#pragma once
// The project's test networks for tests: a model directory written once per test process
// into a temporary folder (removed at exit), and the networks read straight from memory.

#include <string>

#include <opencv2/dnn.hpp>

#include "support/temp_dir.h"
#include "test_networks.h"
#include "util/ir_reader.h"

namespace lmtest {

// A directory holding all eighteen encrypted model pairs, as lumora-models writes them.
inline const std::string& testNetworksDir() {
    static const TempDir dir;
    static const std::string path = [] {
        const std::string p = dir.path().string() + "/networks";
        lm::models::writeAllTestNetworks(p);
        return p;
    }();
    return path;
}

// A test network built and read in memory, without files or encryption. The library
// registers "ImageStandardization" when it is loaded.
inline cv::dnn::Net readTestNetwork(const std::string& base, const lm::models::NetworkOptions& options = {}) {
    const lm::models::ModelPair pair = lm::models::buildTestNetwork(base, options);
    return lm::dnn::readNetFromIR(pair.xml.data(), pair.xml.size(), pair.weights.data(), pair.weights.size());
}

}  // namespace lmtest
