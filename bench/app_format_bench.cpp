// Cost of the writers that run for every analysed frame: one raw CSV line per person and
// one raw JSON document per frame, and of one daily-file line (written and flushed).

#include <benchmark/benchmark.h>

#include <vector>

#include "hx_daily_csv.h"
#include "hx_format.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

lm::Person person() {
    lm::Person p;
    p.id = 42;
    p.age = 31;
    p.gender = 0.87f;
    p.smile = 0.53f;
    p.faceMask = 0.25f;
    p.detectionConfidence = 0.875f;
    p.boundingBox = cv::Rect(100, 120, 64, 64);
    p.detectionTime = std::chrono::system_clock::now();
    return p;
}

void BM_RawCsvLine(benchmark::State& state) {
    const lm::Person p = person();
    for (auto _ : state) benchmark::DoNotOptimize(hx::format::personToCsv(p, 1234));
}
BENCHMARK(BM_RawCsvLine);

// Arg: people in the frame.
void BM_RawJsonDocument(benchmark::State& state) {
    const std::vector<lm::Person> people(static_cast<std::size_t>(state.range(0)), person());
    for (auto _ : state) benchmark::DoNotOptimize(hx::format::peopleToJson(people, 1234, "hx"));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RawJsonDocument)->Arg(1)->Arg(10);

void BM_DailyCsvLine(benchmark::State& state) {
    lmtest::LogCapture quiet;
    lmtest::TempDir dir;
    hx::DailyCsvFile file(true, dir.path().string(), hx::format::RAW_CSV_HEADER, "raw", "hx");
    const std::string line = hx::format::personToCsv(person(), 1234);
    for (auto _ : state) file << line;
}
BENCHMARK(BM_DailyCsvLine);

}  // namespace
