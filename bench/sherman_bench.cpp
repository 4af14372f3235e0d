// Timing of the host variance inverse: n observations, m = n / 5 random
// columns (one factor, one level per observation) and the intercept. Reports
// the time per added column and the effective bandwidth over the lower
// triangle (each sweep reads and writes it once).
#include <benchmark/benchmark.h>

#include "bench_state.hpp"
#include "linalg/sherman_cpu.hpp"

namespace {

void BM_ShermanCpu(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    minque::AnalysisState st = minque::bench::benchState(n, {n / 5}, 1, 42);
    const double columns = st.randomLevelCount + st.fixedCount;
    for (auto _ : state) {
        minque::shermanCPU(st, n);
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
BENCHMARK(BM_ShermanCpu)->Arg(1000)->Arg(2000)->Arg(4000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
