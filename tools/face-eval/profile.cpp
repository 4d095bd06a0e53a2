#include "profile.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <vector>

#include <opencv2/core/utility.hpp>
#include <opencv2/dnn.hpp>

#include "real/ir_emit.h"
#include "util/ir_reader.h"

namespace faceeval {

namespace {

struct LayerTime {
    std::string name;
    std::string type;
    double milliseconds = 0;
};

std::vector<LayerTime> layerTimes(cv::dnn::Net& net, int passes) {
    std::vector<double> sums;
    for (int pass = 0; pass < passes; ++pass) {
        net.forward();
        std::vector<double> timings;
        net.getPerfProfile(timings);
        sums.resize(timings.size(), 0.0);
        for (size_t i = 0; i < timings.size(); ++i) sums[i] += timings[i];
    }
    // getPerfProfile lists the layers after the input layer, in id order.
    std::vector<LayerTime> layers;
    const double msPerTick = 1000.0 / cv::getTickFrequency() / passes;
    for (size_t i = 0; i < sums.size(); ++i) {
        const int id = static_cast<int>(i) + 1;
        const cv::Ptr<cv::dnn::Layer> layer = net.getLayer(id);
        layers.push_back({layer->name, layer->type, sums[i] * msPerTick});
    }
    return layers;
}

}  // namespace

void printProfile(const Candidate& candidate, const lm::models::real::WeightsDir& weights,
                  const ProfileRequest& request) {
    const lm::models::real::IrPair ir =
        lm::models::real::emitIr(candidate.build(weights, request.width, request.height), request.quantized);
    cv::dnn::Net net = lm::dnn::readNetFromIR(ir.xml.data(), ir.xml.size(), ir.weights.data(), ir.weights.size());
    net.setPreferableTarget(request.openCl ? cv::dnn::DNN_TARGET_OPENCL : cv::dnn::DNN_TARGET_CPU);
    const int previousThreads = cv::getNumThreads();
    if (request.threads > 0) cv::setNumThreads(request.threads);

    cv::Mat blob({1, 3, request.height, request.width}, CV_32F);
    cv::randu(blob, -120.0, 130.0);
    net.setInput(blob);
    net.forward();  // allocates and fuses

    const auto start = std::chrono::steady_clock::now();
    std::vector<LayerTime> layers = layerTimes(net, request.passes);
    const double total =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() / request.passes;
    cv::setNumThreads(previousThreads);

    std::map<std::string, std::pair<double, int>> byType;
    int fused = 0;
    for (const LayerTime& layer : layers) {
        byType[layer.type].first += layer.milliseconds;
        byType[layer.type].second += 1;
        if (layer.milliseconds == 0) ++fused;
    }
    std::printf("%s %dx%d%s on %s, %d thread(s): %.2f ms a forward, %zu layers (%d take no time: fused)\n",
                candidate.name.c_str(), request.width, request.height, request.quantized ? " quantized" : "",
                request.openCl ? "OpenCL" : "CPU", request.threads, total, layers.size(), fused);
    std::printf("| layer type | layers | ms |\n|---|---|---|\n");
    for (const auto& [type, sum] : byType) std::printf("| %s | %d | %.2f |\n", type.c_str(), sum.second, sum.first);
    std::sort(layers.begin(), layers.end(),
              [](const LayerTime& a, const LayerTime& b) { return a.milliseconds > b.milliseconds; });
    std::printf("slowest layers:\n");
    for (size_t i = 0; i < layers.size() && i < 12; ++i)
        std::printf("  %6.2f ms  %-12s %s\n", layers[i].milliseconds, layers[i].type.c_str(), layers[i].name.c_str());
}

}  // namespace faceeval
