// Resident memory of the engine after its first settings change and after twenty: every
// change reloads the networks. Runs on the real networks when LUMORA_WEIGHTS_DIR names the
// fetched weights, on the test networks otherwise. Arg: 0 for the CPU, 1 for OpenCL. The
// heap counter tells the allocator's share of the growth from mappings of other kinds.
// Run one argument per process (--benchmark_filter=.../0): the process keeps what the
// previous one grew. Read the counters, not the time.

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <cstdlib>
#include <fstream>
#include <string>

#include "hx_engine.h"
#include "support/log_capture.h"
#include "support/model_tool.h"
#include "support/temp_dir.h"
#include "support/video_file_settings.h"

namespace {

// VmRSS of this process in MiB.
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

double heapInUseMiB() { return static_cast<double>(mallinfo2().uordblks) / (1024.0 * 1024.0); }

void record(benchmark::State& state, const std::string& when) {
    state.counters["rss_" + when + "_MiB"] = residentMiB();
    state.counters["heap_" + when + "_MiB"] = heapInUseMiB();
}

std::string networksDir(const lmtest::TempDir& dir) {
    const char* weights = std::getenv("LUMORA_WEIGHTS_DIR");
    if (!weights) return lmtest::appTestNetworksDir();
    const std::string path = dir.file("real");
    lmtest::writeModels(path, std::string("--real '") + weights + "'");
    return path;
}

void BM_SettingsChangesThatReloadNetworks(benchmark::State& state) {
    lmtest::LogCapture quiet;
    lmtest::TempDir dir;
    hx::Settings settings = lmtest::videoFileSettings("", false);
    settings.neuralNetworksPath = networksDir(dir);
    settings.peopleCountEnabled = true;
    settings.dnnTarget = state.range(0) ? lm::Settings::GPU : lm::Settings::CPU;
    for (auto _ : state) {
        hx::Engine engine(settings, "127.0.0.1");
        record(state, "at_start");
        for (int change = 1; change <= 20; ++change) {
            settings.faceConfidenceThreshold = change % 2 ? 0.6f : 0.5f;
            engine.setSettings(settings);
            if (change == 1) record(state, "after_1");
        }
        record(state, "after_20");
        // What the allocator gives back shows how much of the growth is freed memory it kept.
        malloc_trim(0);
        record(state, "after_20_trimmed");
    }
}
BENCHMARK(BM_SettingsChangesThatReloadNetworks)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
