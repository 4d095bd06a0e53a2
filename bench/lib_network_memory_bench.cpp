// What each real network holds in memory, on the input its stage feeds it: the heap it
// takes once built (its weights), what its first forward pass adds (the layers' output
// buffers, kept for the next pass), OpenCV's own count of both, and what is still in use
// once the network is released (a leak shows there). Arg: 0 for the CPU target, 1 for
// OpenCL (run that one in a process of its own: bringing the runtime up is counted once,
// in the first row; its kernels are built on the first pass, so second_forward_ms is the
// time to compare with the CPU's). Read the counters, not the time.
// Skips when the weights (scripts/fetch-weights) or sample media are missing.

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <chrono>
#include <string>
#include <vector>

#include "lumora/lm_lumora.h"
#include "support/process_memory.h"
#include "support/real_networks.h"

namespace {

using lmtest::heapInUseMiB;
using lmtest::residentMiB;

using namespace lmtest::real_networks;

constexpr double MIB = 1024.0 * 1024.0;

void networkMemory(benchmark::State& state, const std::string& base) {
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
    const cv::Mat blob = blobFor(role, sample);
    for (auto _ : state) {
        malloc_trim(0);
        const double heapBefore = heapInUseMiB();
        const double rssBefore = residentMiB();
        {
            cv::dnn::Net net = load(base, false);
            const double heapLoaded = heapInUseMiB();
            net.setPreferableTarget(state.range(0) ? cv::dnn::DNN_TARGET_OPENCL : cv::dnn::DNN_TARGET_CPU);
            net.setInput(blob);
            net.forward();
            const double heapForward = heapInUseMiB();
            net.setInput(blob);
            const auto start = std::chrono::steady_clock::now();
            net.forward();
            state.counters["second_forward_ms"] =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
            std::size_t weights = 0;
            std::size_t blobs = 0;
            const std::vector<int> shape(blob.size.p, blob.size.p + blob.dims);
            net.getMemoryConsumption(shape, weights, blobs);
            state.counters["loaded_MiB"] = heapLoaded - heapBefore;
            state.counters["forward_MiB"] = heapForward - heapLoaded;
            state.counters["second_forward_MiB"] = heapInUseMiB() - heapForward;
            state.counters["ocv_weights_MiB"] = static_cast<double>(weights) / MIB;
            state.counters["ocv_blobs_MiB"] = static_cast<double>(blobs) / MIB;
            state.counters["rss_growth_MiB"] = residentMiB() - rssBefore;
        }
        state.counters["left_in_use_MiB"] = heapInUseMiB() - heapBefore;
    }
}

// The library's share of what settings changes keep: a facade on the real networks whose
// model directory alternates between two spellings, so that every stage reloads each time.
void BM_LibrarySettingsChanges(benchmark::State& state) {
    if (!modelsDir()) {
        state.SkipWithError("pretrained weights missing: run scripts/fetch-weights");
        return;
    }
    lm::Settings settings;
    settings.neuralNetworksPath = *modelsDir();
    for (auto _ : state) {
        lm::Lumora lumora(settings);
        lumora.setSettings(settings);
        malloc_trim(0);
        const double heapAfterFirst = heapInUseMiB();
        for (int change = 1; change <= 100; ++change) {
            settings.neuralNetworksPath = *modelsDir() + (change % 2 ? "/." : "");
            lumora.setSettings(settings);
        }
        malloc_trim(0);
        state.counters["heap_after_1_MiB"] = heapAfterFirst;
        state.counters["kept_per_change_KiB"] = (heapInUseMiB() - heapAfterFirst) * 1024.0 / 100.0;
    }
}
BENCHMARK(BM_LibrarySettingsChanges)->Iterations(1)->Unit(benchmark::kMillisecond);

const bool REGISTERED = [] {
    for (const auto& [base, role] : roles()) {
        const std::string name = "NetworkMemory/" + base;
        benchmark::RegisterBenchmark(name.c_str(), [base = base](benchmark::State& s) { networkMemory(s, base); })
            ->ArgName("opencl")
            ->Arg(0)
            ->Arg(1)
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
    }
    return true;
}();

}  // namespace
