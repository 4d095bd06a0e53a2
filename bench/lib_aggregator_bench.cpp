// What the aggregators cost per frame as the number of live tracks grows, and what a
// sliding window of one hour at 30 frames per second with 10 faces holds in memory.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <vector>

#include "clock.h"
#include "lm_aggregator_core.h"
#include "support/sample_records.h"

namespace {

using namespace std::chrono_literals;

constexpr auto FRAME_INTERVAL = std::chrono::microseconds(33333);  // 30 frames per second

std::vector<lm::Person> frameOf(std::size_t tracks, lm::TimePoint time, lm::Milliseconds duration) {
    std::vector<lm::Person> frame(tracks, lmtest::estimatedFace());
    for (std::size_t i = 0; i < tracks; ++i) {
        lm::Person& p = frame[i];
        p.id = static_cast<std::uint32_t>(i + 1);
        p.isViewing = (i % 2) == 0;
        p.detectionTime = time;
        p.detectionDuration = duration;
    }
    return frame;
}

std::size_t heapBytesInUse() { return mallinfo2().uordblks; }

// One newDetections call of a frame with N live tracks (none ends, so every call walks
// the whole map).
void BM_AggregatorNewDetections(benchmark::State& state) {
    const auto tracks = static_cast<std::size_t>(state.range(0));
    lm::clock::FakeClock clock;
    lm::TrackAggregation<lm::Person> aggregator;
    auto frame = frameOf(tracks, clock.system(), 0ms);
    for (auto _ : state) {
        aggregator.newDetections(frame);
        clock.advance(FRAME_INTERVAL);
        for (lm::Person& p : frame) {
            p.detectionTime = clock.system();
            p.detectionDuration += 33ms;
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * tracks));
}
BENCHMARK(BM_AggregatorNewDetections)->RangeMultiplier(4)->Range(1, 1024);

void BM_AggregatorOngoing(benchmark::State& state) {
    const auto tracks = static_cast<std::size_t>(state.range(0));
    lm::clock::FakeClock clock;
    lm::TrackAggregation<lm::Person> aggregator;
    aggregator.newDetections(frameOf(tracks, clock.system(), 2000ms));
    for (auto _ : state) benchmark::DoNotOptimize(aggregator.getOngoingAggregations());
}
BENCHMARK(BM_AggregatorOngoing)->RangeMultiplier(4)->Range(1, 1024);

// Fills a window of one hour at 30 frames per second with `faces` faces a frame and
// reports the heap it holds.
void fillHour(lm::clock::FakeClock& clock, lm::SlidingWindow<lm::Person>& window, std::size_t faces,
              benchmark::State& state) {
    const std::size_t before = heapBytesInUse();
    const auto frames = static_cast<std::size_t>(1h / FRAME_INTERVAL);
    auto frame = frameOf(faces, clock.system(), 0ms);
    for (std::size_t f = 0; f < frames; ++f) {
        window.newDetections(frame);
        clock.advance(FRAME_INTERVAL);
        for (lm::Person& p : frame) {
            p.detectionTime = clock.system();
            p.detectionDuration += 33ms;
        }
    }
    const std::size_t held = heapBytesInUse() - before;
    state.counters["records"] = static_cast<double>(window.storedCount());
    state.counters["heap_MiB"] = static_cast<double>(held) / (1024.0 * 1024.0);
    state.counters["bytes_per_record"] = static_cast<double>(held) / static_cast<double>(window.storedCount());
}

// A summary over the last minute of a full one-hour window of 10 faces.
void BM_SlidingWindowHourGetMinute(benchmark::State& state) {
    lm::clock::FakeClock clock;
    lm::SlidingWindow<lm::Person> window(3600000ms);
    fillHour(clock, window, 10, state);
    for (auto _ : state) benchmark::DoNotOptimize(window.getAggregations(60000ms));
}
BENCHMARK(BM_SlidingWindowHourGetMinute)->Iterations(50)->Unit(benchmark::kMillisecond);

// One frame into a full one-hour window: prunes one old frame and appends the new one.
void BM_SlidingWindowHourNewFrame(benchmark::State& state) {
    lm::clock::FakeClock clock;
    lm::SlidingWindow<lm::Person> window(3600000ms);
    fillHour(clock, window, 10, state);
    auto frame = frameOf(10, clock.system(), 0ms);
    for (auto _ : state) {
        window.newDetections(frame);
        clock.advance(FRAME_INTERVAL);
        for (lm::Person& p : frame) p.detectionTime = clock.system();
    }
}
BENCHMARK(BM_SlidingWindowHourNewFrame)->Iterations(10000);

}  // namespace
