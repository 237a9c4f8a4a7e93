// Wall time of the whole console calibration of the sample chain (bin/OptionsData.txt), in speed
// and in accuracy mode, with 1 and 8 OpenMP threads, and of the short-dated high-xi chain of the
// tests (tests/data/error_control/high_xi_short_chain.txt) in speed mode with 8 threads, and the
// number of model-function evaluations. The stages repeat the console program's levmar calls
// exactly (start point, box, options, iteration limit; the second stage at NT * 1.2 in accuracy
// mode); the final evaluation is one more call of the model function. As in the console program,
// the points of each finite-difference Jacobian go to the model with the trial point before them,
// ahead of need (handover 2); handover 1 hands each Jacobian's points over in one call after the
// trial point, and handover 0 one by one, for the gains of pricing them as one pool.
//
//   build/bench/calibration_benchmark --benchmark_counters_tabular=true

#include <benchmark/benchmark.h>
#include <omp.h>

#include <cmath>
#include <string>
#include <vector>

#include "calibration/objectives/model_ivs.h"
#include "calibration/quotes/option_chain.h"
#include "calibration/quotes/program_folder.h"
#include "levmar/levmar.h"
#include "platform/heap_reuse.h"

namespace serivane {

namespace {

// The sample chain beside the console program (build/bin/ next to this build/bench/), or the
// short-dated high-xi chain of the tests (chain 1).
const std::string kSampleChain = programFolder() + "/../bin/OptionsData.txt";
const std::string kHighXiChain =
    std::string(SERIVANE_BENCH_DATA_DIR) + "/error_control/high_xi_short_chain.txt";
std::string kChain = kSampleChain;

int evaluations = 0;

void countedModel(double* p, double* hx, int /*m*/, int n, void* adata) {
  ++evaluations;
  calcModelIVsFromFile(kChain, p, hx, n, *static_cast<const CalibrationSettings*>(adata));
}

void countedBatch(double* const* ps, double* const* hxs, int count, int /*m*/, int n, void* adata) {
  evaluations += count;
  calcModelIVsBatchFromFile(
      kChain, ps, hxs, count, n, *static_cast<const CalibrationSettings*>(adata));
}

int heldPoints = 0;

int countedAhead(
    double* const* ps, double* const* hxs, int count, int firm, int /*m*/, int n, void* adata) {
  evaluations += firm;
  const bool took = calcModelIVsBatchFromFile(
      kChain, ps, hxs, count, n, *static_cast<const CalibrationSettings*>(adata), firm);
  heldPoints = took ? count - firm : 0;
  return took ? 1 : 0;
}

void countedSettle(int keep, void* adata) {
  if (keep) evaluations += heldPoints;
  heldPoints = 0;
  settleModelIVsAhead(keep, adata);
}

// mode 0 speed, 1 accuracy; handover 2 as the console program calls levmar, 1 and 0 as above;
// chain 0 the sample chain, 1 the short-dated high-xi chain.
void BM_ConsoleCalibration(benchmark::State& state) {
  keepHeapForReuse();  // as the console program does
  kChain = state.range(3) == 1 ? kHighXiChain : kSampleChain;
  const bool accuracy = state.range(0) != 0;
  const int threads = static_cast<int>(state.range(1));
  // handover 0: the Jacobian's points one call each, so that each is spread over the expiries
  // only.
  const levmar_ahead_model batchOnly = {countedBatch, nullptr, nullptr};
  const levmar_ahead_model ahead = {countedBatch, countedAhead, countedSettle};
  const levmar_ahead_model* model =
      state.range(2) == 2 ? &ahead : (state.range(2) == 1 ? &batchOnly : nullptr);
  OptionChain chain = readOptionChain(kChain);
  if (prepareOptionChain(chain) != -1) {
    state.SkipWithError("the sample chain fails a check");
    return;
  }
  const int n = static_cast<int>(chain.quotes.size());
  std::vector<double> market(n);
  for (int i = 0; i < n; ++i) market[i] = chain.quotes[i].marketIV;
  const int saved = omp_get_max_threads();
  omp_set_num_threads(threads);
  double finalRmse = 0.0;
  for (auto _ : state) {
    evaluations = 0;
    double p[5] = {0.05, 0.05, 5.0, 5.0, -0.7};
    double lb[5] = {0.002, 0.005, 1.0, 1.0, -1.0};
    double ub[5] = {0.5, 0.5, 20.0, 20.0, 0.0};
    double opts[LM_OPTS_SZ] = {0.001, 1e-15, accuracy ? 5e-5 : 5e-4, 1e-9, 1e-6};
    double info[LM_INFO_SZ];
    CalibrationSettings settings{60, 30, 30, 2, 2, 1, 1, 1, 1};
    std::vector<double> x = market;
    dlevmar_bc_dif_ahead(countedModel,
                         model,
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
                         &settings);
    if (accuracy) {
      settings.NT = static_cast<int>(settings.NT * 1.2);
      double opts2[LM_OPTS_SZ] = {0.001, 1e-15, 5e-8, 1e-9, 1e-6};
      dlevmar_dif_ahead(
          countedModel, model, p, x.data(), 5, n, 1000, opts2, info, nullptr, nullptr, &settings);
    }
    finalRmse = std::sqrt(info[1] / n);
    countedModel(p, x.data(), 5, n, &settings);
    benchmark::DoNotOptimize(x.data());
  }
  omp_set_num_threads(saved);
  state.counters["evaluations"] = evaluations;
  state.counters["rmse_bp"] = finalRmse * 1e4;
  state.counters["quotes"] = n;
}

}  // namespace

// OpenMP inside: wall time, not CPU time; one whole calibration per iteration.
BENCHMARK(BM_ConsoleCalibration)
    ->ArgNames({"accuracy", "threads", "handover", "chain"})
    ->Args({0, 1, 2, 0})
    ->Args({0, 8, 0, 0})
    ->Args({0, 8, 1, 0})
    ->Args({0, 8, 2, 0})
    ->Args({1, 1, 2, 0})
    ->Args({1, 8, 0, 0})
    ->Args({1, 8, 1, 0})
    ->Args({1, 8, 2, 0})
    ->Args({0, 8, 2, 1})
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly(false)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace serivane

BENCHMARK_MAIN();
