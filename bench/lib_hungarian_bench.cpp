// The assignment routine on random square utility matrices in the tracker's range 0..1000,
// from 8 to 256 rows; the fitted complexity must not exceed n^3.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "hungarian.h"

namespace {

void BM_HungarianMaximise(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    std::mt19937 rng(42);
    std::uniform_int_distribution<int> utility(0, 1000);
    std::vector<int> values(static_cast<std::size_t>(n) * n);
    for (int& v : values) v = utility(rng);
    std::vector<const int*> rows(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) rows[i] = values.data() + static_cast<std::size_t>(i) * n;

    for (auto _ : state) {
        lm::hungarian_problem_t problem;
        lm::hungarian_init(&problem, rows.data(), n, n, lm::HUNGARIAN_MODE_MAXIMIZE_UTIL);
        const int result = lm::hungarian_solve(&problem);
        benchmark::DoNotOptimize(result);
        benchmark::DoNotOptimize(problem.assignment[0][0]);
        lm::hungarian_free(&problem);
    }
    state.SetComplexityN(n);
}
BENCHMARK(BM_HungarianMaximise)->RangeMultiplier(2)->Range(8, 256)->Complexity(benchmark::oNCubed);

}  // namespace
