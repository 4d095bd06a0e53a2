// Forward time of each real network (converted from the fetched pretrained weights and
// read through the project's IR reader), on the input the stage feeds it: the raw
// cv::dnn::Net::forward cost that the pipeline's overhead is measured against.
// Each network runs with OpenCV's default thread pool (threads:0) and on one thread.
// The face detectors also run letterboxed to their trained 512 x 512 input inside the
// network, side by side with the shipped ones in the same run.
// Skips when the weights (scripts/fetch-weights) or sample media are missing.

#include <benchmark/benchmark.h>

#include <opencv2/core/utility.hpp>

#include "real/ir_emit.h"
#include "support/real_networks.h"

namespace {

using namespace lmtest::real_networks;

namespace real = lm::models::real;

// The face detector of that base letterboxed to 512 x 512, read from memory.
cv::dnn::Net letterboxedDetector(const std::string& base, bool quantized) {
    const cv::Size size = roles().at(base).size;
    const real::IrPair ir = real::emitIr(real::convertFaceDetector({lmtest::real_media::weightsRoot()}, size.width,
                                                                   size.height, real::DetectorInput::Letterbox512),
                                         quantized);
    return lm::dnn::readNetFromIR(ir.xml.data(), ir.xml.size(), ir.weights.data(), ir.weights.size());
}

void forward(benchmark::State& state, const std::string& base, bool quantized, bool letterboxed) {
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
    cv::dnn::Net net = letterboxed ? letterboxedDetector(base, quantized) : load(base, quantized);
    const cv::Mat blob = blobFor(role, sample);
    net.setInput(blob);
    net.forward();  // first pass allocates
    for (auto _ : state) {
        net.setInput(blob);
        benchmark::DoNotOptimize(net.forward());
    }
    cv::setNumThreads(previousThreads);
}

void registerOne(const std::string& base, bool quantized, bool letterboxed) {
    const std::string name =
        "RealForward/" + base + (letterboxed ? "_letterbox512" : "") + (quantized ? "_quantized" : "");
    benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& s) { forward(s, base, quantized, letterboxed); })
        ->ArgName("threads")
        ->Arg(0)
        ->Arg(1)
        ->Unit(benchmark::kMillisecond);
}

void registerAll() {
    for (const auto& [base, role] : roles())
        for (const bool quantized : {false, true}) {
            registerOne(base, quantized, false);
            if (base == "detect_regular" || base == "detect_long") registerOne(base, quantized, true);
        }
}

const int registered = (registerAll(), 0);

}  // namespace
