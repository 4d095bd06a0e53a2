// Forward time of each real network (converted from the fetched pretrained weights and
// read through the project's IR reader), on the input the stage feeds it: the raw
// cv::dnn::Net::forward cost that the pipeline's overhead is measured against.
// Each network runs with OpenCV's default thread pool (threads:0) and on one thread.
// Skips when the weights (scripts/fetch-weights) or sample media are missing.

#include <benchmark/benchmark.h>

#include <opencv2/core/utility.hpp>

#include "support/real_networks.h"

namespace {

using namespace lmtest::real_networks;

void forward(benchmark::State& state, const std::string& base, bool quantized) {
    if (!modelsDir()) {
        state.SkipWithError("pretrained weights missing: run scripts/fetch-weights");
        return;
    }
    const Role& role = roles().at(base);
    const cv::Mat sample = sampleFor(role);
    if (sample.empty()) {
        state.SkipWithError("sample media missing (python3-skimage, opencv-doc)");
        return;
    }
    const int previousThreads = cv::getNumThreads();
    if (state.range(0) == 1) cv::setNumThreads(1);
    cv::dnn::Net net = load(base, quantized);
    const cv::Mat blob = blobFor(role, sample);
    net.setInput(blob);
    net.forward();  // first pass allocates
    for (auto _ : state) {
        net.setInput(blob);
        benchmark::DoNotOptimize(net.forward());
    }
    cv::setNumThreads(previousThreads);
}

void registerAll() {
    for (const auto& [base, role] : roles())
        for (const bool quantized : {false, true})
            benchmark::RegisterBenchmark(("RealForward/" + base + (quantized ? "_quantized" : "")).c_str(),
                                         [base = base, quantized](benchmark::State& s) { forward(s, base, quantized); })
                ->ArgName("threads")
                ->Arg(0)
                ->Arg(1)
                ->Unit(benchmark::kMillisecond);
}

const int registered = (registerAll(), 0);

}  // namespace
