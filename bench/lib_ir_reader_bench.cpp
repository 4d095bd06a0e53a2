// Load time and forward time of each generated test network through the IR reader.

#include <benchmark/benchmark.h>

#include <opencv2/dnn.hpp>

#include "test_networks.h"
#include "util/crypt.h"
#include "util/ir_reader.h"

namespace {

struct Prepared {
    std::string xml, weights;
    std::string encryptedXml, encryptedWeights;
};

Prepared prepare(const std::string& base, bool quantized) {
    const lm::models::ModelPair pair = lm::models::buildTestNetwork(base, {quantized});
    return {pair.xml, pair.weights, lm::crypt::encryptString(pair.xml, lm::crypt::DEFAULT_KEY, lm::crypt::DEFAULT_IV),
            lm::crypt::encryptString(pair.weights, lm::crypt::DEFAULT_KEY, lm::crypt::DEFAULT_IV)};
}

// Decrypting both files and building the network, as a stage's load does.
void loadNetwork(benchmark::State& state, const std::string& base, bool quantized) {
    const Prepared p = prepare(base, quantized);
    for (auto _ : state) {
        const std::string xml = lm::crypt::decryptString(p.encryptedXml, lm::crypt::DEFAULT_KEY, lm::crypt::DEFAULT_IV);
        const std::string bin =
            lm::crypt::decryptString(p.encryptedWeights, lm::crypt::DEFAULT_KEY, lm::crypt::DEFAULT_IV);
        cv::dnn::Net net = lm::dnn::readNetFromIR(xml.data(), xml.size(), bin.data(), bin.size());
        benchmark::DoNotOptimize(net);
    }
    state.counters["weights_bytes"] = static_cast<double>(p.weights.size());
}

void forwardNetwork(benchmark::State& state, const std::string& base, bool quantized) {
    const Prepared p = prepare(base, quantized);
    cv::dnn::Net net = lm::dnn::readNetFromIR(p.xml.data(), p.xml.size(), p.weights.data(), p.weights.size());
    net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    std::vector<cv::dnn::MatShape> in, out;
    net.getLayerShapes(cv::dnn::MatShape(), 0, in, out);
    const cv::dnn::MatShape& shape = out.at(0);
    cv::Mat blob(static_cast<int>(shape.size()), shape.data(), CV_32F);
    cv::randu(blob, -100.f, 100.f);
    const std::vector<std::string> names = net.getUnconnectedOutLayersNames();
    std::vector<cv::Mat> outputs;
    net.setInput(blob);
    net.forward(outputs, names);  // the first pass allocates; measure the ones after it
    for (auto _ : state) {
        net.setInput(blob);
        net.forward(outputs, names);
        benchmark::DoNotOptimize(outputs.data());
    }
}

const bool REGISTERED = [] {
    for (const std::string& base : lm::models::testNetworkBases())
        for (bool quantized : {false, true}) {
            const std::string name = base + (quantized ? "_quantized" : "");
            benchmark::RegisterBenchmark(("Load/" + name).c_str(), loadNetwork, base, quantized)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("Forward/" + name).c_str(), forwardNetwork, base, quantized)
                ->Unit(benchmark::kMillisecond);
        }
    return true;
}();

}  // namespace
