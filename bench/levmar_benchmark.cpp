// Cost of the Levenberg-Marquardt layer on small fits, by routine and linear solver. The model
// functions are cheap, so the figures are the layer's own overhead per fit; in a calibration the
// model evaluations dominate and info[7] (evaluations per fit) is the figure that matters.

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "levmar/levmar.h"
#include "levmar/levmar_internal.h"

namespace {

using levmar_internal::LinearSolver;

// NIST StRD Misra1a: y = b1 (1 - exp(-b2 x)).
const double kMisraX[14] = {77.6,
                            114.9,
                            141.1,
                            190.8,
                            239.9,
                            289.0,
                            332.8,
                            378.4,
                            434.8,
                            477.3,
                            536.8,
                            593.1,
                            689.1,
                            760.0};
const double kMisraY[14] = {10.07,
                            14.73,
                            17.94,
                            23.93,
                            29.61,
                            35.18,
                            40.02,
                            44.82,
                            50.76,
                            55.05,
                            61.01,
                            66.40,
                            75.47,
                            81.78};

void misra1a(double* p, double* hx, int, int n, void*) {
  for (int i = 0; i < n; ++i) hx[i] = p[0] * (1.0 - std::exp(-p[1] * kMisraX[i]));
}

// Five parameters against 200 points, the size of a calibration to an option chain:
// y = a1 exp(-k1 t) + a2 exp(-k2 t) + c.
void twoExponentials(double* p, double* hx, int, int n, void*) {
  for (int i = 0; i < n; ++i) {
    const double t = 0.05 * i;
    hx[i] = p[0] * std::exp(-p[1] * t) + p[2] * std::exp(-p[3] * t) + p[4];
  }
}

LinearSolver solverOf(int64_t index) {
#ifndef LM_NO_LAPACK
  if (index == 0) return LinearSolver::kLapack;
#endif
  (void)index;
  return LinearSolver::kLu;
}

void BM_Misra1aDif(benchmark::State& state) {
  const LinearSolver solver = solverOf(state.range(0));
  std::vector<double> x(kMisraY, kMisraY + 14);
  const double opts[LM_OPTS_SZ] = {1e-3, 1e-15, 1e-15, 1e-20, -1e-6};
  double info[LM_INFO_SZ] = {};
  for (auto _ : state) {
    double p[2] = {500.0, 1e-4};
    benchmark::DoNotOptimize(levmar_internal::levmarDif(
        misra1a, p, x.data(), 2, 14, 1000, opts, info, nullptr, nullptr, solver));
  }
  state.counters["evaluations"] = info[7];
}

void BM_Misra1aBcDif(benchmark::State& state) {
  const LinearSolver solver = solverOf(state.range(0));
  std::vector<double> x(kMisraY, kMisraY + 14);
  const double lb[2] = {0.0, 0.0};
  const double ub[2] = {1000.0, 1.0};
  const double opts[LM_OPTS_SZ] = {1e-3, 1e-15, 1e-15, 1e-20, -1e-6};
  double info[LM_INFO_SZ] = {};
  for (auto _ : state) {
    double p[2] = {500.0, 1e-4};
    benchmark::DoNotOptimize(levmar_internal::levmarBcDif(
        misra1a, p, x.data(), 2, 14, lb, ub, nullptr, 1000, opts, info, nullptr, nullptr, solver));
  }
  state.counters["evaluations"] = info[7];
}

void BM_FiveParametersBcDif(benchmark::State& state) {
  const LinearSolver solver = solverOf(state.range(0));
  const int n = 200;
  std::vector<double> x(n);
  double truth[5] = {2.0, 3.0, 1.0, 0.4, 0.1};
  twoExponentials(truth, x.data(), 5, n, nullptr);
  const double lb[5] = {0.0, 0.0, 0.0, 0.0, -1.0};
  const double ub[5] = {10.0, 20.0, 10.0, 20.0, 1.0};
  const double opts[LM_OPTS_SZ] = {1e-3, 1e-15, 5e-8, 1e-9, 1e-6};
  double info[LM_INFO_SZ] = {};
  for (auto _ : state) {
    double p[5] = {1.0, 5.0, 2.0, 1.0, 0.0};
    benchmark::DoNotOptimize(levmar_internal::levmarBcDif(twoExponentials,
                                                          p,
                                                          x.data(),
                                                          5,
                                                          n,
                                                          lb,
                                                          ub,
                                                          nullptr,
                                                          1000,
                                                          opts,
                                                          info,
                                                          nullptr,
                                                          nullptr,
                                                          solver));
  }
  state.counters["evaluations"] = info[7];
}

}  // namespace

// Argument: 0 LAPACK dsytrf/dsytrs, 1 the layer's LU.
BENCHMARK(BM_Misra1aDif)->ArgName("lu")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Misra1aBcDif)->ArgName("lu")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FiveParametersBcDif)->ArgName("lu")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
