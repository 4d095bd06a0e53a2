// Feeds mutated IR descriptions and weights to the reader: it must throw cv::Exception or
// return a network, and never crash, hang or leak.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/dnn.hpp>

#include "fuzz_input.h"
#include "util/custom_layers.h"
#include "util/ir_reader.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    lm::registerCustomLayers();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find(lmfuzz::SEPARATOR);
    const std::string_view xml = input.substr(0, split);
    const std::string_view weights =
        split == std::string_view::npos ? std::string_view() : input.substr(split + lmfuzz::SEPARATOR.size());
    try {
        cv::dnn::Net net = lm::dnn::readNetFromIR(xml.data(), xml.size(), weights.data(), weights.size());
        (void)net.getUnconnectedOutLayersNames();
        if (std::getenv("LUMORA_FUZZ_VERBOSE")) std::fprintf(stderr, "loaded\n");
    } catch (const cv::Exception& e) {
        // A refused description is the expected outcome for most inputs; set
        // LUMORA_FUZZ_VERBOSE to see why a seed is refused.
        if (std::getenv("LUMORA_FUZZ_VERBOSE")) std::fprintf(stderr, "refused: %s\n", e.what());
    }
    return 0;
}
