// Time per price and integrand evaluations per price of the semi-analytic Heston engine, with the
// settings of the exported pricer (relative accuracy 1e-16, at most 1,000,000 evaluations per
// integral).

#include <benchmark/benchmark.h>

#include <cstdint>

#include "heston_analytic/analytic_heston_engine.h"

namespace serivane {

namespace {

struct BenchCase {
  const char* label;
  double S, K, T, r, d;
  double v0, theta, kappa, sigma, rho;  // theta: long-run variance, kappa: speed
  std::int32_t type;                    // 1 call, -1 put
};

// clang-format off
const BenchCase kCases[] = {
    // label                          S    K     T     r     d     v0    theta kappa sigma rho   type
    {"atm_1y",                       100, 100,  1.0,  0.03, 0.01, 0.04, 0.04, 1.5,  0.3, -0.7,  1},
    {"short_0.05y_volvol2_rho-0.9",  100, 105,  0.05, 0.02, 0.0,  0.09, 0.06, 2.0,  2.0, -0.9,  1},
    {"long_10y_volvol2_rho-0.9",     100, 130, 10.0,  0.03, 0.01, 0.04, 0.05, 1.0,  2.0, -0.9,  1},
    {"deep_otm_put_0.5y",            100, 60,   0.5,  0.03, 0.01, 0.06, 0.04, 3.0,  0.6, -0.6, -1},
    {"small_volvol_1e-3",            100, 105,  1.0,  0.03, 0.01, 0.04, 0.04, 1.5, 1e-3, -0.7,  1},
    {"small_sigma_branch_1e-6",      100, 105,  1.0,  0.03, 0.01, 0.04, 0.04, 1.5, 1e-6, -0.7,  1},
};
// clang-format on

void BM_HestonPrice(benchmark::State& state) {
  const BenchCase& c = kCases[state.range(0)];
  state.SetLabel(c.label);
  AnalyticHestonEngine engine(1e-16, 1000000);
  double evaluations = 0.0;
  for (auto _ : state) {
    const double price =
        engine.price(c.S, c.K, c.T, c.r, c.d, c.v0, c.theta, c.kappa, c.sigma, c.rho, c.type);
    benchmark::DoNotOptimize(price);
    evaluations += static_cast<double>(engine.numberOfEvaluations());
  }
  // Integrand evaluations per price (both probability integrals).
  state.counters["evals_per_price"] =
      benchmark::Counter(evaluations, benchmark::Counter::kAvgIterations);
}

BENCHMARK(BM_HestonPrice)
    ->ArgName("case")
    ->DenseRange(0, static_cast<int>(sizeof(kCases) / sizeof(kCases[0])) - 1)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

}  // namespace serivane

BENCHMARK_MAIN();
