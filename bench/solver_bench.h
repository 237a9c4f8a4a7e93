#ifndef SERIVANE_BENCH_SOLVER_BENCH_H_
#define SERIVANE_BENCH_SOLVER_BENCH_H_

#include <benchmark/benchmark.h>

#include <memory>
#include <valarray>
#include <vector>

#include "core/qel_heston_vanilla.h"

namespace serivane {

// The pricers the solver benchmarks time: a half-year put at S0 = K = 100 (or on a strike list),
// r = 0.03, d = 0.01, the asset grid clustered at the strike, with the constant arguments the
// robust pricers pass.

// {volvol, v0, vL, theta, rho, model} of the calibration's range: a GARCH diffusion (model 1) and
// a square-root variance (model 0).
inline std::valarray<double> garchDiffusionParams() { return {1.2, 0.04, 0.05, 3.0, -0.7, 1.0}; }
inline std::valarray<double> squareRootParams() { return {0.6, 0.04, 0.05, 3.0, -0.7, 0.0}; }

// strike: K, or the strike list followed by the strip flag and the exponent.
template <class Strike, class... StrikeListTail>
std::unique_ptr<QelHestonVanilla> makeBenchPricer(const std::valarray<double>& params,
                                                  int NS,
                                                  int NV,
                                                  int NT,
                                                  int runMode,
                                                  int methodID,
                                                  Strike strike,
                                                  StrikeListTail... tail) {
  const std::valarray<double> zeros(0.0, 5);
  return std::make_unique<QelHestonVanilla>(100.0,
                                            strike,
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
                                            false,
                                            tail...);
}

inline std::unique_ptr<QelHestonVanilla> makeBenchPricer(
    const std::valarray<double>& params, int NS, int NV, int NT, int runMode, int methodID) {
  return makeBenchPricer(params, NS, NV, NT, runMode, methodID, 100.0);
}

inline std::unique_ptr<QelHestonVanilla> makeBenchListPricer(const std::valarray<double>& params,
                                                             const std::vector<double>& strikes,
                                                             int NS,
                                                             int NV,
                                                             int NT,
                                                             int runMode,
                                                             int methodID) {
  return makeBenchPricer(params, NS, NV, NT, runMode, methodID, strikes, false, 1.0);
}

// Times the price entry (with implied volatilities asked for) on a fresh pricer from make() per
// iteration, making and freeing it untimed, and reports the time per node and step for nodeSteps
// node-steps per solve.
template <class Make>
void timePriceEntry(benchmark::State& state, Make make, double nodeSteps) {
  for (auto _ : state) {
    state.PauseTiming();
    auto pricer = make();
    std::valarray<double> o0, o1, o2, o3, o4;
    double cpu = -1.0;
    state.ResumeTiming();
    pricer->solve(o0, o1, o2, o3, o4, cpu);
    benchmark::DoNotOptimize(pricer->summary[2]);
    state.PauseTiming();
    pricer.reset();
    state.ResumeTiming();
  }
  state.counters["ns_per_node_step"] = benchmark::Counter(
      nodeSteps * 1e-9,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace serivane

#endif  // SERIVANE_BENCH_SOLVER_BENCH_H_
