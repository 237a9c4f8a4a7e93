// Timing of one variance bound as the calibration computes it per expiry: a PDESolver1D with the
// arguments (800, 50, 2, 5, false, 1) and one calcQuantile (three grids of about 401, 801 and
// 1601 nodes, 50 time steps each, the spline and the secant search).
#include <benchmark/benchmark.h>

#include "core/pde_solver_1d.h"

namespace serivane {

static void BM_CalcQuantile(benchmark::State& state) {
  // A one-year expiry with typical equity-index parameters.
  const double level = 0.9999, T = 1.0, v0 = 0.04, vL = 0.06, kappa = 2.0, xi = 0.5;
  for (auto _ : state) {
    PDESolver1D solver(level, T, v0, vL, kappa, xi, 800, 50, 2, 5, false, 1);
    benchmark::DoNotOptimize(solver.calcQuantile());
  }
}
BENCHMARK(BM_CalcQuantile)->Unit(benchmark::kMicrosecond);

// The single solve on the first grid (401 nodes), the unit of work of the three.
static void BM_SolveFirstGrid(benchmark::State& state) {
  PDESolver1D solver(0.9999, 1.0, 0.04, 0.06, 2.0, 0.5, 800, 50, 2, 5, false, 1);
  std::vector<std::valarray<double>> out;
  for (auto _ : state) {
    solver.solve(out);
    benchmark::DoNotOptimize(out[1][0]);
  }
}
BENCHMARK(BM_SolveFirstGrid)->Unit(benchmark::kMicrosecond);

}  // namespace serivane

BENCHMARK_MAIN();
