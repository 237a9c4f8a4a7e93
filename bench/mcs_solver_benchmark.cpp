// Timings of the modified Craig-Sneyd solvers beside the Hundsdorfer-Verwer one on the same
// grids: one plain solve (run mode 3) per method id, with the time per node and step. Method ids
// 7 and 9 (the single-strike variant) are called directly.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <memory>
#include <valarray>

#include "core/qel_heston_vanilla.h"
#include "pde2d/pde_solve.h"
#include "solver_bench.h"

namespace serivane {

namespace {

void BM_AdiSolve(benchmark::State& state) {
  const int NS = static_cast<int>(state.range(0)), NV = static_cast<int>(state.range(1)),
            NT = static_cast<int>(state.range(2)), method = static_cast<int>(state.range(3));
  const int threads = omp_get_max_threads();
  for (auto _ : state) {
    state.PauseTiming();
    auto pricer = makeBenchPricer(garchDiffusionParams(), NS, NV, NT, 3, method);
    std::valarray<double> o0, o1, o2, o3, o4;
    double cpu = 0.0;
    PDESolveResults res;
    state.ResumeTiming();
    if (method == 7 || method == 9) {
      pricer->damping = method == 9;
      PDESolveArgs args{pricer.get(), &res, &cpu};
      calcGARCHNUDirectNonNegMCSSingleK(args);
    } else {
      pricer->solve(o0, o1, o2, o3, o4, cpu);
    }
    benchmark::DoNotOptimize(pricer->summary[2]);
    state.PauseTiming();
    pricer.reset();
    state.ResumeTiming();
  }
  omp_set_num_threads(threads);  // method ids 3 and 5 set it to 8
  state.counters["ns_per_node_step"] = benchmark::Counter(
      double(NS + 1) * (NV + 1) * NT * 1e-9,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK(BM_AdiSolve)
    ->ArgNames({"ns", "nv", "nt", "method"})
    ->Args({60, 30, 30, 2})
    ->Args({60, 30, 30, 3})
    ->Args({60, 30, 30, 5})
    ->Args({60, 30, 30, 7})
    ->Args({120, 60, 60, 2})
    ->Args({120, 60, 60, 3})
    ->Args({120, 60, 60, 7})
    ->Args({400, 180, 60, 2})
    ->Args({400, 180, 60, 3})
    ->Args({400, 180, 60, 7})
    ->Unit(benchmark::kMillisecond);

}  // namespace serivane

BENCHMARK_MAIN();
