// Timings of the Hundsdorfer-Verwer solver (method id 2): one solve at the calibration's default
// grid in each run mode, a 15-strike list, and denser grids, with the time per node and step.
#include <benchmark/benchmark.h>

#include <memory>
#include <valarray>
#include <vector>

#include "core/qel_heston_vanilla.h"
#include "solver_bench.h"

namespace serivane {

namespace {

std::unique_ptr<QelHestonVanilla> makePricer(int NS, int NV, int NT, int runMode, bool strikeList) {
  if (!strikeList) return makeBenchPricer(garchDiffusionParams(), NS, NV, NT, runMode, 2);
  std::vector<double> strikes;
  for (int i = 0; i < 15; ++i) strikes.push_back(70.0 + 4.0 * i);
  return makeBenchListPricer(garchDiffusionParams(), strikes, NS, NV, NT, runMode, 2);
}

void runSolve(benchmark::State& state, bool strikeList) {
  const int NS = static_cast<int>(state.range(0)), NV = static_cast<int>(state.range(1)),
            NT = static_cast<int>(state.range(2)), runMode = static_cast<int>(state.range(3));
  // Node-steps of one solve of the run mode (the fine grid of a convergence run has 4 times the
  // nodes of the coarse one).
  const double plain = double(NS + 1) * (NV + 1) * NT;
  const double nodeSteps = runMode == 5 ? 5.0 * plain : (runMode == 4 ? 5.0 * plain : plain);
  timePriceEntry(
      state, [&] { return makePricer(NS, NV, NT, runMode, strikeList); }, nodeSteps);
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
