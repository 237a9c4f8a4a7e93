// Timings of what every 2-D solve does before its time loop: the variance bound, the asset grid
// and the variance grid of a fresh pricer.
#include <benchmark/benchmark.h>

#include <memory>
#include <valarray>

#include "core/qel_heston_vanilla.h"

namespace serivane {

namespace {

std::unique_ptr<QelHestonVanilla> makePricer(double model, int ns, int nv) {
  const std::valarray<double> params = {1.0, 0.04, 0.05, 2.0, -0.5, model};
  return std::make_unique<QelHestonVanilla>(100.0,
                                            100.0,
                                            1.0,
                                            params,
                                            0.03,
                                            0.01,
                                            ns,
                                            nv,
                                            50,
                                            1,
                                            3,
                                            1,
                                            0,
                                            std::valarray<double>(5),
                                            std::valarray<double>(5),
                                            true,
                                            -3.0,
                                            0.0,
                                            0.99,
                                            0,
                                            true,
                                            0,
                                            0.0,
                                            2,
                                            false);
}

void BM_VMaxGamma(benchmark::State& state) {
  auto o = makePricer(1.0, 100, 50);
  for (auto _ : state) benchmark::DoNotOptimize(o->calcVMax(1.0));
}
BENCHMARK(BM_VMaxGamma);

void BM_VMaxNcx2(benchmark::State& state) {
  auto o = makePricer(0.0, 100, 50);
  for (auto _ : state) benchmark::DoNotOptimize(o->calcVMax(1.0));
}
BENCHMARK(BM_VMaxNcx2);

void BM_SGridAtStrike(benchmark::State& state) {
  std::valarray<double> g;
  for (auto _ : state) {
    auto o = makePricer(1.0, static_cast<int>(state.range(0)), 50);
    o->buildSGridAtStrike(g, 4.5, false);
    benchmark::DoNotOptimize(g[0]);
  }
}
BENCHMARK(BM_SGridAtStrike)->ArgNames({"ns"})->Arg(100)->Arg(400);

void BM_VGridHybrid(benchmark::State& state) {
  std::valarray<double> g;
  for (auto _ : state) {
    auto o = makePricer(1.0, 100, static_cast<int>(state.range(0)));
    o->buildVGridHybrid(0.04, o->NV, 0.6, 4.0, g);
    benchmark::DoNotOptimize(g[0]);
  }
}
BENCHMARK(BM_VGridHybrid)->ArgNames({"nv"})->Arg(30)->Arg(120);

}  // namespace

}  // namespace serivane

BENCHMARK_MAIN();
