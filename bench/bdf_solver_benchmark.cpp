// Timings of the sparse-direct BDF solvers (method ids 1 and 15): one solve at the calibration's
// default grid in run modes 3 and 4, and denser grids; the time per node and step includes the
// four sparse LU factorisations of the ladder.
#include <benchmark/benchmark.h>

#include <memory>
#include <valarray>

#include "core/qel_heston_vanilla.h"
#include "solver_bench.h"

namespace serivane {

namespace {

void runSolve(benchmark::State& state, int methodID) {
  const int NS = static_cast<int>(state.range(0)), NV = static_cast<int>(state.range(1)),
            NT = static_cast<int>(state.range(2)), runMode = static_cast<int>(state.range(3));
  // Node-steps of one solve of the run mode (run mode 4: two convergence runs, each a coarse and a
  // fine solve with four times the nodes).
  const double plain = double(NS + 1) * (NV + 1) * NT;
  const double nodeSteps = runMode == 4 ? 5.0 * plain : plain;
  timePriceEntry(
      state,
      [&] { return makeBenchPricer(squareRootParams(), NS, NV, NT, runMode, methodID); },
      nodeSteps);
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
