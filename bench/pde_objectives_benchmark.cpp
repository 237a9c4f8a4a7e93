// Wall time of one evaluation of each PDE calibration objective on a counted file of 200 quotes
// over 8 expirations (25 out-of-the-money strikes each, market IVs from the analytic Heston engine
// at the model evaluated), with 1 and 8 OpenMP threads, at the console program's default grid
// (60 x 30 x 30, method id 2, the two-grid convergence run) and variance range level 0.9999.
// The file is written beside this program (its "OptionsData.txt") and removed at the end.
//
//   build/bench/pde_objectives_benchmark --benchmark_counters_tabular=true

#include <benchmark/benchmark.h>
#include <omp.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "calibration/exports/serivane.h"
#include "calibration/quotes/counted_option_file.h"
#include "calibration/quotes/program_folder.h"
#include "core/black_scholes.h"
#include "core/brent.h"
#include "heston_analytic/analytic_heston_engine.h"

namespace serivane {

namespace {

// v0, vL, mean-reversion speed, volvol, rho.
constexpr double kModel[5] = {0.04, 0.05, 1.5, 0.4, -0.6};

// The counted file, written once for every benchmark of the program.
class QuoteFile {
 public:
  QuoteFile() : path_(programFilePath(kOptionsDataName)) {
    const double expirations[8] = {1.0 / 12, 2.0 / 12, 0.25, 0.5, 0.75, 1.0, 1.5, 2.0};
    std::ostringstream s;
    s.precision(17);
    s << 200 << "\n";
    for (double T : expirations) {
      for (int i = 0; i < 25; ++i) {
        const double K = 76.0 + 2.0 * i;
        const int put = K < 100.0 ? 1 : 0;
        AnalyticHestonEngine engine(1e-14, 1000000);
        const double price = engine.price(100.0,
                                          K,
                                          T,
                                          0.03,
                                          0.01,
                                          kModel[0],
                                          kModel[1],
                                          kModel[2],
                                          kModel[3],
                                          kModel[4],
                                          put == 0 ? 1 : -1);
        const double iv =
            brentSolve(ImpliedVolFunctor{100.0, K, T, 0.03, 0.01, price, put}, 1e-6, 2.0, 1e-16);
        s << iv << " 100 " << K << " " << T << " 0.03 0.01 " << put << " 0\n";
      }
    }
    std::ofstream(path_) << s.str();
  }
  ~QuoteFile() { std::remove(path_.c_str()); }

 private:
  std::string path_;
};

const QuoteFile& quoteFile() {
  static const QuoteFile file;
  return file;
}

// objective 0: GARCH_VanillaPDECalibration, 1: GARCH_VanillaPDECalibrationM; model 0 Heston,
// 1 variance diffusion (the bounds from the 1-D variance PDE are solved).
void BM_PdeObjective(benchmark::State& state) {
  quoteFile();
  const bool byExpiry = state.range(0) != 0;
  const int model = static_cast<int>(state.range(1));
  const int threads = static_cast<int>(state.range(2));
  const int saved = omp_get_max_threads();
  omp_set_num_threads(threads);
  double value = 0.0;
  for (auto _ : state) {
    value = byExpiry ? GARCH_VanillaPDECalibrationM(kModel[0],
                                                    kModel[1],
                                                    kModel[2],
                                                    kModel[3],
                                                    kModel[4],
                                                    60,
                                                    30,
                                                    30,
                                                    2,
                                                    2,
                                                    1.0,
                                                    0.9999,
                                                    0,
                                                    0,
                                                    model)
                     : GARCH_VanillaPDECalibration(kModel[0],
                                                   kModel[1],
                                                   kModel[2],
                                                   kModel[3],
                                                   kModel[4],
                                                   60,
                                                   30,
                                                   30,
                                                   2,
                                                   2,
                                                   1.0,
                                                   0.9999,
                                                   0,
                                                   model);
    benchmark::DoNotOptimize(value);
  }
  omp_set_num_threads(saved);
  state.counters["rmse_bp"] = value * 1e4;
  state.SetLabel(std::string(byExpiry ? "expiry by expiry" : "option by option") +
                 (model == 0 ? ", Heston" : ", variance diffusion"));
}

BENCHMARK(BM_PdeObjective)
    ->ArgNames({"byExpiry", "model", "threads"})
    ->ArgsProduct({{0, 1}, {0, 1}, {1, 8}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

}  // namespace serivane

BENCHMARK_MAIN();
