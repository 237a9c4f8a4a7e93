// Timings of the sparse-direct BDF solvers (method ids 1 and 15): one solve at the calibration's
// default grid in run modes 3 and 4, and denser grids; the time per node and step includes the
// four sparse LU factorisations of the ladder.
#include <benchmark/benchmark.h>

#include <memory>
#include <valarray>

#include "core/qel_heston_vanilla.h"

namespace serivane {

namespace {

std::unique_ptr<QelHestonVanilla> makePricer(int NS, int NV, int NT, int runMode, int methodID) {
  // A square-root variance parameter set of the calibration's range.
  std::valarray<double> params{0.6, 0.04, 0.05, 3.0, -0.7, 0.0};
  std::valarray<double> zeros(0.0, 5);
  return std::make_unique<QelHestonVanilla>(100.0,
                                            100.0,
                                            0.5,
                                            params,
                                            0.03,
                                            0.01,
                                            NS,
                                            NV,
                                            NT,
                                            1,
                                            runMode,
                                            1,
                                            0,
                                            zeros,
                                            zeros,
                                            true,
                                            -3.0,
                                            1.0,
                                            0.9999,
                                            0,
                                            true,
                                            0,
                                            0.0,
                                            methodID,
                                            false);
}

void runSolve(benchmark::State& state, int methodID) {
  const int NS = static_cast<int>(state.range(0)), NV = static_cast<int>(state.range(1)),
            NT = static_cast<int>(state.range(2)), runMode = static_cast<int>(state.range(3));
  for (auto _ : state) {
    state.PauseTiming();
    auto pricer = makePricer(NS, NV, NT, runMode, methodID);
    std::valarray<double> o0, o1, o2, o3, o4;
    double cpu = -1.0;
    state.ResumeTiming();
    pricer->solve(o0, o1, o2, o3, o4, cpu);
    benchmark::DoNotOptimize(pricer->summary[2]);
    state.PauseTiming();
    pricer.reset();
    state.ResumeTiming();
  }
  // Node-steps of one solve of the run mode (run mode 4: two convergence runs, each a coarse and a
  // fine solve with four times the nodes).
  const double plain = double(NS + 1) * (NV + 1) * NT;
  const double nodeSteps = runMode == 4 ? 5.0 * plain : plain;
  state.counters["ns_per_node_step"] = benchmark::Counter(
      nodeSteps * 1e-9,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_BdfSolve(benchmark::State& state) { runSolve(state, 1); }
void BM_BdfSolveLogS(benchmark::State& state) { runSolve(state, 15); }

}  // namespace

BENCHMARK(BM_BdfSolve)
    ->ArgNames({"ns", "nv", "nt", "mode"})
    ->Args({60, 30, 30, 3})
    ->Args({60, 30, 30, 4})
    ->Args({120, 60, 60, 3})
    ->Args({240, 120, 60, 3})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BdfSolveLogS)
    ->ArgNames({"ns", "nv", "nt", "mode"})
    ->Args({60, 30, 30, 3})
    ->Args({120, 60, 60, 3})
    ->Unit(benchmark::kMillisecond);

}  // namespace serivane

BENCHMARK_MAIN();
