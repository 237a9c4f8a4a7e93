#include <benchmark/benchmark.h>

#include "core/special_functions.h"

namespace serivane {

namespace {

// P(a, x) through each branch of gammp: series (x < a + 1), continued fraction, quadrature.
void BM_GammpSeries(benchmark::State& state) {
  IncompleteGamma record;
  double x = 5.0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(x);
    benchmark::DoNotOptimize(gammp(record, 10.0, x));
  }
}
BENCHMARK(BM_GammpSeries);

void BM_GammpContFrac(benchmark::State& state) {
  IncompleteGamma record;
  double x = 20.0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(x);
    benchmark::DoNotOptimize(gammp(record, 10.0, x));
  }
}
BENCHMARK(BM_GammpContFrac);

void BM_GammpQuadrature(benchmark::State& state) {
  IncompleteGamma record;
  double x = 210.0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(x);
    benchmark::DoNotOptimize(gammp(record, 200.0, x));
  }
}
BENCHMARK(BM_GammpQuadrature);

// The inverse-gamma variance quantile: shape about 2 kappa / xi^2 + 1, tail probability 1e-4.
void BM_Invgammap(benchmark::State& state) {
  IncompleteGamma record;
  double a = static_cast<double>(state.range(0)) + 0.5;
  for (auto _ : state) {
    benchmark::DoNotOptimize(a);
    benchmark::DoNotOptimize(invgammap(record, 1e-4, a));
  }
}
BENCHMARK(BM_Invgammap)->ArgName("a")->Arg(3)->Arg(50)->Arg(500);

// The distribution function at the 0.9999 quantile region, as in the square-root variance bound.
void BM_NonCentralChiSquareCdf(benchmark::State& state) {
  const double lambda = static_cast<double>(state.range(0));
  const NonCentralChiSquareFunctor f{1.6, lambda, 0.0};
  double x = 2.0 * (1.6 + lambda);
  for (auto _ : state) {
    benchmark::DoNotOptimize(x);
    benchmark::DoNotOptimize(nonCentralChiSquareCdf(f, x));
  }
}
BENCHMARK(BM_NonCentralChiSquareCdf)->ArgName("lambda")->Arg(4)->Arg(40)->Arg(400);

}  // namespace

}  // namespace serivane

BENCHMARK_MAIN();
