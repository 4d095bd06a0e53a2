// The facade's face analysis on 640 x 480 frames with 1, 4 and 16 faces, every estimator
// on, with the six face tasks in parallel (the CPU target's schedule) and one after another
// (the GPU target's schedule, forced on the CPU through the implementation's seam so that
// only the scheduling differs). Reports frames per second and the mean time of each step.
//
// The generated regular face detector has ten slots; for sixteen faces the model directory
// here carries the body detector's grid of 8 x 4 cells (80 x 120 pixels) as its face detector.
#include <benchmark/benchmark.h>

#include <array>
#include <optional>
#include <string>

#include "lm_lumora_internal.h"
#include "support/stages.h"
#include "util/crypt.h"
#include "util/filesystem.h"

namespace {

using Schedule = lm::Lumora::LumoraImpl::Schedule;

class GridModelDir {
public:
    GridModelDir() {
        const lm::models::ModelPair grid = lm::models::buildTestNetwork("bodydetect");
        const std::string stem = mModels.path() + "/detect_regular";
        lm::fs::writeFile(stem + ".xml.enc",
                          lm::crypt::encryptString(grid.xml, lm::crypt::DEFAULT_KEY, lm::crypt::DEFAULT_IV));
        lm::fs::writeFile(stem + ".bin.enc",
                          lm::crypt::encryptString(grid.weights, lm::crypt::DEFAULT_KEY, lm::crypt::DEFAULT_IV));
    }
    lm::Settings settings() const {
        lm::Settings s = mModels.settings();
        s.faceConfidenceThreshold = 0.5f;
        s.logLevel = lm::Settings::WARN;
        return s;
    }

private:
    lmtest::ModelDir mModels;
};

const GridModelDir& models() {
    static const GridModelDir dir;
    return dir;
}

// Faces on every other cell of the grid, row by row, each in its own colour.
cv::Mat frameWithFaces(int faces) {
    cv::Mat frame(480, 640, CV_8UC3, cv::Scalar::all(0));
    for (int i = 0; i < faces; ++i) {
        const int row = (2 * i / 8) % 4;
        const int column = (2 * i) % 8 + row % 2;
        const cv::Scalar colour(120 + 8 * i, 200, 250 - 6 * i);
        frame(cv::Rect(column * 80, row * 120, 80, 120)).setTo(colour);
    }
    return frame;
}

constexpr const char* STEP_NAMES[] = {"detect",   "agegender", "headpose", "smile",
                                      "facemask", "emotions",  "track",    "whole"};

void BM_Analyze(benchmark::State& state) {
    const int faces = static_cast<int>(state.range(0));
    const Schedule schedule = state.range(1) == 0 ? Schedule::PARALLEL : Schedule::SEQUENTIAL;
    lm::Lumora::LumoraImpl lumora(models().settings());
    lumora.forceSchedule(schedule);
    const cv::Mat frame = frameWithFaces(faces);
    if (lumora.analyzeFaces(frame, false).size() != static_cast<std::size_t>(faces)) {
        state.SkipWithError("the drawn faces were not all detected");
        return;
    }

    std::array<double, 8> stepNanoseconds{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(lumora.analyzeFaces(frame, false));
        for (std::size_t s = 0; s < stepNanoseconds.size(); ++s)
            stepNanoseconds[s] += static_cast<double>(lm::scoped_timer::time_deltas[s]);
    }
    const auto frames = static_cast<double>(state.iterations());
    state.counters["fps"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
    for (std::size_t s = 0; s < stepNanoseconds.size(); ++s)
        state.counters[std::string(STEP_NAMES[s]) + "_ms"] = stepNanoseconds[s] / frames / 1e6;
    // What the schedule decides: the five estimators and the tracking step together.
    state.counters["tasks_ms"] = (stepNanoseconds[7] - stepNanoseconds[0]) / frames / 1e6;
    state.SetLabel(schedule == Schedule::PARALLEL ? "parallel" : "sequential");
}

BENCHMARK(BM_Analyze)
    ->ArgNames({"faces", "sequential"})
    ->ArgsProduct({{1, 4, 16}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
