// The body encoder stage on the six walkers of vtest.avi frame 300: the trained descriptor
// beside the colour grid it replaced, plain and "_quantized", each with one call per body
// and with one call for the frame's bodies (one batched network pass when the network
// takes a batch). per_body is the time per body; compare rows within one run only.
// Skips when the weights (scripts/fetch-weights) or sample media are missing.

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "lm_bodyencoder.h"
#include "real/real_models.h"
#include "support/real_media.h"
#include "support/temp_dir.h"

namespace {

namespace real = lm::models::real;

const cv::Rect WALKERS_OF_FRAME_300[] = {{241, 153, 20, 66}, {312, 216, 33, 78}, {187, 159, 29, 74},
                                         {582, 160, 26, 73}, {617, 161, 26, 69}, {298, 155, 26, 73}};

// The encoder's network converted into a directory of its own, kept for the process.
std::string modelDir(bool trained) {
    static std::unique_ptr<lmtest::TempDir> dirs[2];
    std::unique_ptr<lmtest::TempDir>& dir = dirs[trained ? 1 : 0];
    if (!dir) {
        dir = std::make_unique<lmtest::TempDir>();
        const real::RealModel grid{"bodyencoder",
                                   [](const real::WeightsDir&) { return real::buildColourGridEncoder(); }};
        real::writeRealModel({lmtest::real_media::weightsRoot()}, trained ? real::realModel("bodyencoder") : grid,
                             dir->path().string());
    }
    return dir->path().string();
}

void encode(benchmark::State& state, bool trained, bool quantized, bool perFrame) {
    if (!lmtest::real_media::weightsPresent()) {
        state.SkipWithError("pretrained weights missing: run scripts/fetch-weights");
        return;
    }
    const cv::Mat frame = lmtest::real_media::videoFrame(300);
    lm::Settings settings;
    settings.neuralNetworksPath = modelDir(trained);
    settings.networkType = quantized ? lm::Settings::QUANTIZED : lm::Settings::NORMAL;
    lm::BodyEncoder encoder;
    encoder.onSettingsUpdate(settings);
    std::vector<lm::Detection> bodies;
    for (const cv::Rect& box : WALKERS_OF_FRAME_300) bodies.emplace_back().boundingBox = box;
    encoder.encodeBodies(frame, bodies);  // first pass allocates
    for (auto _ : state) {
        if (perFrame) {
            benchmark::DoNotOptimize(encoder.encodeBodies(frame, bodies));
        } else {
            for (const lm::Detection& body : bodies) benchmark::DoNotOptimize(encoder.encodeBodies(frame, {body}));
        }
    }
    state.counters["per_body"] =
        benchmark::Counter(static_cast<double>(bodies.size()),
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void registerAll() {
    for (const bool trained : {false, true})
        for (const bool quantized : {false, true})
            for (const bool perFrame : {false, true}) {
                const std::string name = std::string("BodyEncoder/") + (trained ? "trained" : "colour_grid") +
                                         (quantized ? "_quantized" : "") + (perFrame ? "/frame_call" : "/body_calls");
                benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& s) {
                    encode(s, trained, quantized, perFrame);
                })->Unit(benchmark::kMillisecond);
            }
}

const int registered = (registerAll(), 0);

}  // namespace
