// Timings of the Hundsdorfer-Verwer solver (method id 2): one solve at the calibration's default
// grid in each run mode, a 15-strike list, and denser grids, with the time per node and step.
#include <benchmark/benchmark.h>

#include <memory>
#include <valarray>
#include <vector>

#include "core/qel_heston_vanilla.h"

namespace serivane {

namespace {

std::unique_ptr<QelHestonVanilla> makePricer(int NS, int NV, int NT, int runMode, bool strikeList) {
  // A GARCH diffusion parameter set of the calibration's range.
  std::valarray<double> params{1.2, 0.04, 0.05, 3.0, -0.7, 1.0};
  std::valarray<double> zeros(0.0, 5);
  if (!strikeList) {
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
                                              2,
                                              false);
  }
  std::vector<double> strikes;
  for (int i = 0; i < 15; ++i) strikes.push_back(70.0 + 4.0 * i);
  return std::make_unique<QelHestonVanilla>(100.0,
                                            strikes,
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
                                            2,
                                            false,
                                            false,
                                            1.0);
}

void runSolve(benchmark::State& state, bool strikeList) {
  const int NS = static_cast<int>(state.range(0)), NV = static_cast<int>(state.range(1)),
            NT = static_cast<int>(state.range(2)), runMode = static_cast<int>(state.range(3));
  double nodeSteps = 0.0;
  for (auto _ : state) {
    state.PauseTiming();
    auto pricer = makePricer(NS, NV, NT, runMode, strikeList);
    std::valarray<double> o0, o1, o2, o3, o4;
    double cpu = -1.0;
    state.ResumeTiming();
    pricer->solve(o0, o1, o2, o3, o4, cpu);
    benchmark::DoNotOptimize(pricer->summary[2]);
    state.PauseTiming();
    pricer.reset();
    state.ResumeTiming();
  }
  // Node-steps of one solve of the run mode (the fine grid of a convergence run has 4 times the
  // nodes of the coarse one).
  const double plain = double(NS + 1) * (NV + 1) * NT;
  nodeSteps = runMode == 5 ? 5.0 * plain : (runMode == 4 ? 5.0 * plain : plain);
  state.counters["ns_per_node_step"] = benchmark::Counter(
      nodeSteps * 1e-9,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_HvSolve(benchmark::State& state) { runSolve(state, false); }
void BM_HvSolveStrikeList(benchmark::State& state) { runSolve(state, true); }

}  // namespace

BENCHMARK(BM_HvSolve)
    ->ArgNames({"ns", "nv", "nt", "mode"})
    ->Args({60, 30, 30, 3})
    ->Args({60, 30, 30, 5})
    ->Args({60, 30, 30, 4})
    ->Args({120, 60, 60, 3})
    ->Args({400, 180, 60, 3})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HvSolveStrikeList)
    ->ArgNames({"ns", "nv", "nt", "mode"})
    ->Args({60, 30, 30, 5})
    ->Unit(benchmark::kMillisecond);

}  // namespace serivane

BENCHMARK_MAIN();
