// How the facade's face tasks and OpenCV's own loops share the cores, on the real networks
// with every estimator on: analyze() on 640 x 480 frames of 1, 4 and 6 real faces, with the
// library's one arena (setup:1, OpenCV's loops handed to the arena of the face tasks) and
// as before (setup:0, the face tasks in the caller's arena, OpenCV's loops in its own), side
// by side in the same run, at OpenCV's default thread count (threads:-1) and at 2.
//
// Besides the time per frame it reports, per frame, the process's CPU time (cpu_ms) and
// context switches (switches, voluntary and involuntary, getrusage over every thread), the
// threads that ran during the timed frames (threads_busy: their CPU time in
// /proc/self/task grew) and the threads the process holds (threads_alive).
// Skips when the weights (scripts/fetch-weights) or sample media are missing.

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "analysis_threads.h"
#include "lm_lumora_internal.h"
#include "support/real_networks.h"
#include "support/real_scenes.h"

namespace {

namespace nets = lmtest::real_networks;

// CPU ticks (user and system) of each thread of the process, by thread id.
std::map<std::string, long> threadTicks() {
    std::map<std::string, long> ticks;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        std::getline(stat, line);
        // The fields after the parenthesised name: state is the 3rd, utime the 14th, stime the 15th.
        std::istringstream fields(line.substr(line.rfind(')') + 2));
        std::string field;
        long user = 0, system = 0;
        for (int index = 3; fields >> field; ++index) {
            if (index == 14) user = std::stol(field);
            if (index == 15) {
                system = std::stol(field);
                break;
            }
        }
        ticks[entry.path().filename().string()] = user + system;
    }
    return ticks;
}

int threadsThatRan(const std::map<std::string, long>& before, const std::map<std::string, long>& after) {
    int busy = 0;
    for (const auto& [id, ticks] : after) {
        const auto earlier = before.find(id);
        if (ticks > (earlier == before.end() ? 0 : earlier->second)) ++busy;
    }
    return busy;
}

struct Usage {
    double cpuMs;
    long switches;
};

Usage processUsage() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1e3 + t.tv_usec / 1e3; };
    return {ms(usage.ru_utime) + ms(usage.ru_stime), usage.ru_nvcsw + usage.ru_nivcsw};
}

void BM_AnalyzeThreads(benchmark::State& state) {
    if (!nets::modelsDir() || !lmtest::real_media::samplesPresent()) {
        state.SkipWithError("pretrained weights or sample media missing");
        return;
    }
    const bool sharedArena = state.range(0) == 1;
    const int faces = static_cast<int>(state.range(1));
    if (sharedArena) {
        lm::analysis_threads::install();
    } else {
        lm::analysis_threads::uninstall();
    }
    lm::Settings settings;
    settings.neuralNetworksPath = *nets::modelsDir();
    settings.logLevel = lm::Settings::WARN;
    settings.numThreads = static_cast<int>(state.range(2));
    lm::Lumora::LumoraImpl lumora(settings);
    const cv::Mat frame = lmtest::real_scenes::frameWithFaces(faces);
    if (lumora.analyzeFaces(frame, false).size() != static_cast<std::size_t>(faces)) {
        state.SkipWithError("the composed faces were not all detected");
        return;
    }

    const auto ticksBefore = threadTicks();
    const Usage before = processUsage();
    for (auto _ : state) benchmark::DoNotOptimize(lumora.analyzeFaces(frame, false));
    const Usage after = processUsage();
    const auto ticksAfter = threadTicks();

    const auto frames = static_cast<double>(state.iterations());
    state.counters["cpu_ms"] = (after.cpuMs - before.cpuMs) / frames;
    state.counters["switches"] = static_cast<double>(after.switches - before.switches) / frames;
    state.counters["threads_busy"] = threadsThatRan(ticksBefore, ticksAfter);
    state.counters["threads_alive"] = static_cast<double>(ticksAfter.size());
    state.SetLabel(sharedArena ? "one arena" : "two arenas (before)");
    lm::analysis_threads::install();
}

BENCHMARK(BM_AnalyzeThreads)
    ->ArgNames({"setup", "faces", "threads"})
    ->ArgsProduct({{0, 1}, {1, 4, 6}, {-1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
