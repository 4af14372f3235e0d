// Timing of the host variance inverse, reference and blocked (1 and 2
// threads): n observations, m = n / 5 random columns (one factor, one level
// per observation) and the intercept. Reports
// the time per added column and the effective bandwidth over the lower
// triangle (each sweep reads and writes it once).
#include <benchmark/benchmark.h>

#include "bench_state.hpp"
#include "jackknife_engine/linalg/sherman_cpu.hpp"
#include "linalg/worker_pool.hpp"

namespace {

// Arguments: n, threads (0: one per hardware thread), blocked (1) or reference (0).
void BM_ShermanCpu(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    minque::setWorkerThreads(static_cast<int>(state.range(1)));
    const bool blocked = state.range(2) != 0;
    minque::AnalysisState st = minque::bench::benchState(n, {n / 5}, 1, 42);
    const double columns = st.randomLevelCount + st.fixedCount;
    for (auto _ : state) {
        if (blocked)
            minque::shermanCPUBlocked(st, n);
        else
            minque::shermanCPUReference(st, n);
        benchmark::DoNotOptimize(st.vInverse[1][1]);
    }
    const double triangleBytes = 4.0 * n * (n + 1) / 2.0;
    state.counters["columns"] = columns;
    // Seconds per column, and bytes of the triangle read and written per second.
    state.counters["per_column"] =
        benchmark::Counter(columns, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["triangle_rw"] =
        benchmark::Counter(2.0 * triangleBytes * columns, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ShermanCpu)
    ->ArgNames({"n", "threads", "blocked"})
    ->ArgsProduct({{1000, 2000, 4000}, {1}, {0}})
    ->ArgsProduct({{1000, 2000, 4000}, {1, 2}, {1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// One pass's inverse of the reference case: n = 2000, factors of 40, 400
// and 60 levels, 3 fixed columns.
void BM_ShermanCpuReferenceCase(benchmark::State& state) {
    minque::setWorkerThreads(static_cast<int>(state.range(0)));
    minque::AnalysisState st = minque::bench::benchState(2000, {40, 400, 60}, static_cast<int>(state.range(1)), 7);
    for (auto _ : state) {
        minque::shermanCPUBlocked(st, 2000);
        benchmark::DoNotOptimize(st.vInverse[1][1]);
    }
}
BENCHMARK(BM_ShermanCpuReferenceCase)
    ->ArgNames({"threads", "fixed"})
    ->Args({1, 3})
    ->Args({2, 3})
    ->Args({2, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
