// The exported analytic Heston functions: one European price by the semi-closed form of
// S. L. Heston, "A closed-form solution for options with stochastic volatility with applications
// to bond and currency options", Rev. Financial Studies 6 (1993), and the root-mean-square
// implied-volatility error of those prices against the counted quotes of "OptionsData.txt", an
// objective for a host's own optimiser. The model parameters come in the program's naming:
// v0 start variance, vL long-run variance, theta mean-reversion speed, volvol volatility of
// variance, rho correlation; the engine takes vL as its theta and theta as its kappa.
//
// No exception crosses the C boundary: each export catches everything and returns its documented
// failure value.
#define SERIVANE_BUILDING_MODULE
#include <omp.h>

#include <cmath>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "calibration/counted_option_file.h"
#include "calibration/export_args.h"
#include "calibration/export_guard.h"
#include "calibration/pricing_log.h"
#include "calibration/program_folder.h"
#include "calibration/serivane.h"
#include "core/black_scholes.h"
#include "core/brent.h"
#include "core/failure_messages.h"
#include "heston_analytic/analytic_heston_engine.h"

namespace serivane {

namespace {

constexpr double kFailure = -999.0;
constexpr double kNoQuoteFile = 10000.0;

// The failure record of VanillaHeston in the pricing log: frame, message, frame, the option and
// model lines "S:" to "rho:" and "Call/Put: " with the put flag as passed. Its own failures are
// swallowed (a lost record must not change the result).
void logVanillaHestonFailure(const std::string& message,
                             double S,
                             double K,
                             double T,
                             double r,
                             double d,
                             double v0,
                             double vL,
                             double theta,
                             double volvol,
                             double rho,
                             int put) noexcept {
  try {
    std::ofstream log;
    openPricingLog(log);
    writeFrameLine(log);
    log << message << "\n";
    writeFrameLine(log);
    log << "S:\t\t" << S << "\n";
    log << "K:\t\t" << K << "\n";
    log << "T:\t\t" << T << "\n";
    log << "r:\t\t" << r << "\n";
    log << "d:\t\t" << d << "\n";
    log << "v0:\t\t" << v0 << "\n";
    log << "vL:\t\t" << vL << "\n";
    log << "theta:\t\t" << theta << "\n";
    log << "volvol:\t\t" << volvol << "\n";
    log << "rho:\t\t" << rho << "\n";
    log << "Call/Put: \t" << put << "\n";
  } catch (...) {
  }
}

}  // namespace

}  // namespace serivane

// The exports are global C functions; their bodies use the system's own names.
using namespace serivane;

extern "C" {

QEL_API double QEL_CALL VanillaHeston(double S,
                                      double K,
                                      double r,
                                      double d,
                                      double v0,
                                      double vL,
                                      double theta,
                                      double volvol,
                                      double rho,
                                      double T,
                                      int32_t put) {
  // The semi-closed form divides by volvol and takes log S: both are moved off zero (exact
  // comparisons), and the record of a failure shows the values actually priced.
  if (volvol == 0.0) volvol = 1e-10;
  if (S == 0.0) S = 1e-12;
  try {
    // A zero strike goes on to the engine, whose integration fails on it with its own message.
    const std::string bad = checkExportArgs({{"S", ArgKind::kSpot, S},
                                             {"K", ArgKind::kStrikeOrZero, K},
                                             {"r", ArgKind::kRate, r},
                                             {"d", ArgKind::kRate, d},
                                             {"v0", ArgKind::kVariance, v0},
                                             {"vL", ArgKind::kVariance, vL},
                                             {"theta", ArgKind::kSpeed, theta},
                                             {"volvol", ArgKind::kVolvol, volvol},
                                             {"rho", ArgKind::kCorrelation, rho},
                                             {"T", ArgKind::kMaturity, T},
                                             {"put", ArgKind::kAnyInt, put}});
    if (!bad.empty()) throw std::invalid_argument(bad);
    AnalyticHestonEngine engine(1e-16, 1000000);
    const std::int32_t optionType = put == 0 ? 1 : -1;
    const double price = engine.price(S, K, T, r, d, v0, vL, theta, volvol, rho, optionType);
    if (!std::isfinite(price)) throw std::runtime_error(kNonFiniteMessage);
    return price;
  } catch (...) {
    logVanillaHestonFailure(
        currentExceptionMessage(), S, K, T, r, d, v0, vL, theta, volvol, rho, put);
    return kFailure;
  }
}

QEL_API double QEL_CALL
HESTON_VanillaCalibration(double v0, double vL, double theta, double volvol, double rho) {
  try {
    // Refused parameters give the failure value before the quote file is looked at.
    if (!checkExportArgs({{"v0", ArgKind::kVariance, v0},
                          {"vL", ArgKind::kVariance, vL},
                          {"theta", ArgKind::kSpeed, theta},
                          {"volvol", ArgKind::kVolvol, volvol},
                          {"rho", ArgKind::kCorrelation, rho}})
             .empty()) {
      return kFailure;
    }
    const CountedQuotes file = readCountedOptionFile(programFilePath(kOptionsDataName));
    if (!file.opened) return kNoQuoteFile;
    // Fewer whole records than the count, a negative count, or a count that is not a number.
    if (!file.complete()) return kFailure;
    const std::vector<HestonQuote>& quotes = file.quotes;
    const long n = static_cast<long>(quotes.size());
    // No quote at all: the mean of an empty sum is no objective value; reported as a failure
    // rather than as the NaN of 0/0, which would mislead an optimiser.
    if (n == 0) return kFailure;
    double sum = 0.0;
    long failures = 0;
    // Each quote catches its own failure: no exception may leave a thread of the parallel loop.
    // A quote whose implied volatility cannot be found (its analytic price failed and came back
    // as -999.0, or lies outside the prices of [1e-6, 2.0]) makes the whole evaluation fail:
    // the export returns -999.0 and writes no record, rather than an objective that silently
    // leaves quotes out.
#pragma omp parallel for schedule(static) reduction(+ : sum, failures)
    for (long i = 0; i < n; ++i) {
      try {
        const HestonQuote& q = quotes[static_cast<std::size_t>(i)];
        // A market volatility outside its range makes no objective (its square would overflow,
        // say); the quote's other fields are checked by VanillaHeston.
        if (!argInRange(ArgKind::kMarketVol, q.marketIV)) throw std::invalid_argument("marketIV");
        const double price =
            VanillaHeston(q.S, q.K, q.r, q.d, v0, vL, theta, volvol, rho, q.T, q.CallPut);
        const ImpliedVolFunctor f{q.S, q.K, q.T, q.r, q.d, price, q.CallPut};
        const double iv = brentSolve(f, 1e-6, 2.0, 1e-16);
        sum += (iv - q.marketIV) * (iv - q.marketIV);
      } catch (...) {
        ++failures;
      }
    }
    // A non-finite sum (nothing above should let one through) is no objective either.
    if (failures > 0 || !std::isfinite(sum)) return kFailure;

    const double mean = sum / static_cast<double>(n);
    ObjectiveRecord rec;
    rec.meanSquaredError = mean;
    rec.v0 = v0;
    rec.vL = vL;
    rec.theta = theta;
    rec.volvol = volvol;
    rec.rho = rho;
    {
      // In the current folder, on every evaluation; a failed open drops the line silently.
      std::ofstream results(kResultsName, std::ios::out | std::ios::app);
      writeObjectiveRecord(results, rec);
    }
    return std::sqrt(mean);
  } catch (...) {
    return kFailure;
  }
}

}  // extern "C"
