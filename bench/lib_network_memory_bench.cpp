// What each real network holds in memory, on the input its stage feeds it: the heap it
// takes once built (its weights), what its first forward pass adds (the layers' output
// buffers, kept for the next pass), OpenCV's own count of both, and what is still in use
// once the network is released (a leak shows there). Arg: 0 for the CPU target, 1 for
// OpenCL (run that one in a process of its own: bringing the runtime up is counted once,
// in the first row). Read the counters, not the time.
// Skips when the weights (scripts/fetch-weights) or sample media are missing.

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <fstream>
#include <string>
#include <vector>

#include "support/real_networks.h"

namespace {

using namespace lmtest::real_networks;

constexpr double MIB = 1024.0 * 1024.0;

// Bytes the allocator has handed out and not had back: small blocks from the arenas and
// the large ones it maps one by one.
double heapInUseMiB() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd) / MIB;
}

double residentMiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            double kib = 0;
            status >> kib;
            return kib / 1024.0;
        }
        status.ignore(1 << 12, '\n');
    }
    return 0;
}

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
            net.forward();
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
