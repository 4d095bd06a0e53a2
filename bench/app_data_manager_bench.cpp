// Cost per analysed frame of the data outputs: the data manager's fan-out (raw CSV lines
// written and flushed, raw document, face aggregator, live statistics), and the content
// reports' feed with several items open (it holds their mutex, so a stop request waits).

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "hx_data_manager.h"
#include "hx_pop.h"
#include "support/log_capture.h"
#include "support/scripted_people.h"
#include "support/temp_dir.h"

namespace {

std::vector<lm::Person> frame(std::size_t people, std::chrono::milliseconds duration) {
    std::vector<lm::Person> out;
    const auto now = std::chrono::system_clock::now();
    for (std::size_t i = 0; i < people; ++i)
        out.push_back(lmtest::scriptedFace(static_cast<std::uint32_t>(i + 1), now, duration));
    return out;
}

// Arg: people in the frame. Raw CSV and live statistics on, pushes off.
void BM_DataManagerFrame(benchmark::State& state) {
    lmtest::LogCapture quiet;
    lmtest::TempDir dir;
    hx::Settings settings;
    settings.rawCsvEnabled = true;
    settings.rawCsvPath = dir.path().string();
    settings.currentStatsEnabled = true;
    settings.currentStatsDuration = 1;  // keeps the window store small over the run
    hx::StatusHandler status(settings);
    hx::DataManager manager(settings, status);
    status.setProcessing(true);
    unsigned int frameNumber = 0;
    std::chrono::milliseconds duration{1000};
    for (auto _ : state) {
        state.PauseTiming();
        const auto people = frame(static_cast<std::size_t>(state.range(0)), duration += std::chrono::milliseconds(40));
        state.ResumeTiming();
        manager.newRawDataPoint(people, ++frameNumber);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_DataManagerFrame)->Arg(1)->Arg(10);

// Arg: open content items; five people per frame.
void BM_ContentItemsFeed(benchmark::State& state) {
    lmtest::LogCapture quiet;
    hx::Settings settings;
    settings.tovexEnabled = true;
    hx::StatusHandler status(settings);
    status.setProcessing(true);
    hx::ProofOfPlay pop(settings, status);
    for (int i = 0; i < state.range(0); ++i) pop.newPopAggregator("item-" + std::to_string(i), "n", "c", "d");
    const auto people = frame(5, std::chrono::milliseconds(2000));
    for (auto _ : state) pop.newDetections(people);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ContentItemsFeed)->Arg(1)->Arg(8);

}  // namespace
