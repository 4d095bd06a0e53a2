// Cost of the writers that run for every analysed frame: one raw CSV line per person and
// one raw JSON document per frame, and of one daily-file line (written and flushed).

#include <benchmark/benchmark.h>

#include <vector>

#include "hx_daily_csv.h"
#include "hx_format.h"
#include "support/log_capture.h"
#include "support/sample_records.h"
#include "support/temp_dir.h"

namespace {

using lmtest::samplePerson;

void BM_RawCsvLine(benchmark::State& state) {
    const lm::Person p = samplePerson();
    for (auto _ : state) benchmark::DoNotOptimize(hx::format::personToCsv(p, 1234));
}
BENCHMARK(BM_RawCsvLine);

// Arg: people in the frame.
void BM_RawJsonDocument(benchmark::State& state) {
    const std::vector<lm::Person> people(static_cast<std::size_t>(state.range(0)), samplePerson());
    for (auto _ : state) benchmark::DoNotOptimize(hx::format::peopleToJson(people, 1234, "hx"));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RawJsonDocument)->Arg(1)->Arg(10);

void BM_DailyCsvLine(benchmark::State& state) {
    lmtest::LogCapture quiet;
    lmtest::TempDir dir;
    hx::DailyCsvFile file(true, dir.path().string(), hx::format::RAW_CSV_HEADER, "raw", "hx");
    const std::string line = hx::format::personToCsv(samplePerson(), 1234);
    for (auto _ : state) file << line;
}
BENCHMARK(BM_DailyCsvLine);

}  // namespace
