// Resident memory of the engine after its first settings change, after twenty and after a
// hundred: every change reloads the networks. Runs on the real networks when
// LUMORA_WEIGHTS_DIR names the fetched weights, on the test networks otherwise. First arg:
// 0 for the CPU, 1 for OpenCL; second: 1 bounds the allocator as harbix does
// (hx::boundAllocatorCaches), 0 leaves glibc's defaults. The heap counter (blocks handed
// out, from the arenas and mapped one by one) tells the allocator's share of the growth
// from mappings of other kinds. Run one argument pair per process
// (--benchmark_filter=opencl:0/bounded:1/): the process keeps what the previous one grew, and the
// allocator's bounds hold for the whole process. Read the counters, not the time.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include "hx_allocator.h"
#include "hx_engine.h"
#include "support/model_tool.h"
#include "support/process_memory.h"
#include "support/temp_dir.h"
#include "support/video_file_settings.h"

namespace {

using lmtest::heapInUseMiB;
using lmtest::residentMiB;

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
    if (state.range(1)) hx::boundAllocatorCaches();
    // The program's lines go nowhere: kept in memory, as a test's capture keeps them, they
    // would be counted as growth.
    spdlog::drop("HarbixLog");
    spdlog::register_logger(
        std::make_shared<spdlog::logger>("HarbixLog", std::make_shared<spdlog::sinks::null_sink_mt>()));
    lmtest::TempDir dir;
    hx::Settings settings = lmtest::videoFileSettings("", false);
    settings.neuralNetworksPath = networksDir(dir);
    settings.peopleCountEnabled = true;
    settings.dnnTarget = state.range(0) ? lm::Settings::GPU : lm::Settings::CPU;
    for (auto _ : state) {
        hx::Engine engine(settings, "127.0.0.1");
        record(state, "at_start");
        const std::string networks = settings.neuralNetworksPath;
        for (int change = 1; change <= 100; ++change) {
            // Two spellings of one directory: every stage sees a new model directory and reloads.
            settings.neuralNetworksPath = networks + (change % 2 ? "/." : "");
            engine.setSettings(settings);
            if (change == 1 || change == 20 || change == 100) record(state, "after_" + std::to_string(change));
        }
    }
}
BENCHMARK(BM_SettingsChangesThatReloadNetworks)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->ArgNames({"opencl", "bounded"})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
