// Timings of the numerical foundations that the PDE solvers and the calibration call most.
#include <benchmark/benchmark.h>

#include <cmath>
#include <valarray>
#include <vector>

#include "core/black_scholes.h"
#include "core/brent.h"
#include "core/dense_matrix.h"
#include "core/interpolation.h"
#include "core/tridiag.h"

namespace serivane {

static void BM_CumNorm(benchmark::State& state) {
  double x = -5.0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(cumNorm(x));
    x = x > 5.0 ? -5.0 : x + 0.01;
  }
}
BENCHMARK(BM_CumNorm);

static void BM_BsmPrice(benchmark::State& state) {
  double K = 60.0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(bsmPrice(100.0, K, 0.03, 0.01, 0.25, 0.75, 1));
    K = K > 140.0 ? 60.0 : K + 0.5;
  }
}
BENCHMARK(BM_BsmPrice);

// One implied volatility as the dispatcher computes it: Brent over [1e-6, 2] with tol 1e-16.
static void BM_ImpliedVol(benchmark::State& state) {
  const double price = bsmPrice(100.0, 90.0, 0.03, 0.01, 0.31, 0.5, 1);
  const ImpliedVolFunctor f{100.0, 90.0, 0.5, 0.03, 0.01, price, 1};
  for (auto _ : state) benchmark::DoNotOptimize(brentSolve(f, 1e-6, 2.0, 1e-16));
}
BENCHMARK(BM_ImpliedVol);

// Back-substitution of one grid line, the innermost operation of every ADI stage.
static void BM_TriDiagSolve(benchmark::State& state) {
  const int N = static_cast<int>(state.range(0));
  std::valarray<double> a(-1.0, N + 1), b(2.5, N + 1), c(-1.0, N + 1), l(N + 1), u(N + 1), d(N + 1),
      r(1.0, N + 1), x(N + 1);
  triDiagFactorize(N, a, b, c, l, u, d);
  for (auto _ : state) {
    triDiagSolve(N, &l[0], &u[0], &d[0], &r[0], &x[0]);
    benchmark::DoNotOptimize(x[N / 2]);
  }
  state.SetItemsProcessed(state.iterations() * N);
}
BENCHMARK(BM_TriDiagSolve)->ArgName("n")->Arg(30)->Arg(60)->Arg(240);

// Reading the price at (S0, v0) off a solved level with the solvers' 6 x 6 interpolation.
static void BM_Grid2DInterp(benchmark::State& state) {
  const int m = 121, n = 61;
  std::vector<double> s(m), v(n);
  for (int i = 0; i < m; ++i) s[i] = 400.0 * i / (m - 1);
  for (int j = 0; j < n; ++j) v[j] = 2.0 * j * j / double((n - 1) * (n - 1));
  DenseMatrix values(m, n, 0.0);
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < n; ++j) values[i][j] = std::max(100.0 - s[i], 0.0) + v[j];
  for (auto _ : state) {
    Grid2D_interp g(s, v, values, 6, 6);
    benchmark::DoNotOptimize(g.interp(100.0, 0.04));
  }
}
BENCHMARK(BM_Grid2DInterp);

}  // namespace serivane

BENCHMARK_MAIN();
