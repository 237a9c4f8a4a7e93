// The exported analytic Heston functions: one European price by the semi-closed form of
// S. L. Heston, "A closed-form solution for options with stochastic volatility with applications
// to bond and currency options", Rev. Financial Studies 6 (1993), and the root-mean-square
// implied-volatility error of those prices against the counted quotes of "OptionsData.txt", an
// objective for a host's own optimiser. The model parameters come in the program's naming:
// v0 start variance, vL long-run variance, theta mean-reversion speed, volvol volatility of
// variance, rho correlation; the engine takes vL as its theta and theta as its kappa.
//
// No exception crosses the C boundary: each export runs inside guardExport and returns its
// documented failure value.
#include <omp.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "calibration/exports/export_args.h"
#include "calibration/exports/export_guard.h"
#include "calibration/exports/serivane.h"
#include "calibration/pricing/pricing_log.h"
#include "calibration/quotes/counted_option_file.h"
#include "calibration/quotes/program_folder.h"
#include "core/black_scholes.h"
#include "core/brent.h"
#include "core/failure_messages.h"
#include "heston_analytic/analytic_heston_engine.h"
#include "heston_analytic/budgeted_pricing.h"

namespace serivane {

namespace {

constexpr double kFailure = -999.0;
constexpr double kNoQuoteFile = 10000.0;

// The engine's settings for one price: full double accuracy, at most 1,000,000 integrand
// evaluations per integral.
constexpr double kAccuracy = 1e-16;
constexpr std::uint64_t kEvaluationsPerIntegral = 1000000;

// The integrand evaluations all the prices of one objective evaluation may use together (counted
// in the file's order; at most kMaxCountedQuotes quotes): about six seconds of one core. An
// ordinary quote takes some 5,000 to 20,000 evaluations, a quote the engine cannot price up to
// 4,000,000 (each integral may be integrated twice).
constexpr std::uint64_t kCalibrationEvaluationBudget = 30000000;

// The arguments of one VanillaHeston call, after its replacements of a zero volvol or spot.
struct VanillaHestonCall {
  double S, K, r, d, v0, vL, theta, volvol, rho, T;
  std::int32_t put;
};

VanillaHestonCall vanillaHestonCall(double S,
                                    double K,
                                    double r,
                                    double d,
                                    double v0,
                                    double vL,
                                    double theta,
                                    double volvol,
                                    double rho,
                                    double T,
                                    std::int32_t put) {
  // The semi-closed form divides by volvol and takes log S: both are moved off zero (exact
  // comparisons), and the record of a failure shows the values actually priced.
  if (volvol == 0.0) volvol = 1e-10;
  if (S == 0.0) S = 1e-12;
  return {S, K, r, d, v0, vL, theta, volvol, rho, T, put};
}

// VanillaHeston's price of `c` with `engine`; throws with the failure's message.
double priceVanillaHeston(AnalyticHestonEngine& engine, const VanillaHestonCall& c) {
  // A zero strike goes on to the engine, whose integration fails on it with its own message.
  const std::string bad = checkExportArgs({{"S", ArgKind::kSpot, c.S},
                                           {"K", ArgKind::kStrikeOrZero, c.K},
                                           {"r", ArgKind::kRate, c.r},
                                           {"d", ArgKind::kRate, c.d},
                                           {"v0", ArgKind::kVariance, c.v0},
                                           {"vL", ArgKind::kVariance, c.vL},
                                           {"theta", ArgKind::kSpeed, c.theta},
                                           {"volvol", ArgKind::kVolvol, c.volvol},
                                           {"rho", ArgKind::kCorrelation, c.rho},
                                           {"T", ArgKind::kMaturity, c.T},
                                           {"put", ArgKind::kAnyInt, c.put}});
  if (!bad.empty()) throw std::invalid_argument(bad);
  const std::int32_t optionType = c.put == 0 ? 1 : -1;
  const double price =
      engine.price(c.S, c.K, c.T, c.r, c.d, c.v0, c.vL, c.theta, c.volvol, c.rho, optionType);
  if (!std::isfinite(price)) throw std::runtime_error(kNonFiniteMessage);
  return price;
}

// The failure record of VanillaHeston in the pricing log: frame, message, frame, the option and
// model lines "S:" to "rho:" and "Call/Put: " with the put flag as passed. Its own failures are
// swallowed (a lost record must not change the result).
void logVanillaHestonFailure(const std::string& message, const VanillaHestonCall& c) noexcept {
  try {
    std::ofstream log;
    openPricingLog(log);
    writeFrameLine(log);
    log << message << "\n";
    writeFrameLine(log);
    log << "S:\t\t" << c.S << "\n";
    log << "K:\t\t" << c.K << "\n";
    log << "T:\t\t" << c.T << "\n";
    log << "r:\t\t" << c.r << "\n";
    log << "d:\t\t" << c.d << "\n";
    log << "v0:\t\t" << c.v0 << "\n";
    log << "vL:\t\t" << c.vL << "\n";
    log << "theta:\t\t" << c.theta << "\n";
    log << "volvol:\t\t" << c.volvol << "\n";
    log << "rho:\t\t" << c.rho << "\n";
    log << "Call/Put: \t" << c.put << "\n";
  } catch (...) {
  }
}

// What became of one quote of the objective: its squared implied-volatility error, or whether
// its price failed, and with which message (a price that no volatility gives, or a market
// volatility out of range, writes no record).
struct QuoteOutcome {
  double squaredError = 0.0;
  bool priceFailed = false;
  std::string pricingFailure;
};

// The model parameters of one objective evaluation.
struct HestonModel {
  double v0, vL, theta, volvol, rho;
};

// One quote of the objective: its squared implied-volatility error into outcome, or false when it
// has none (a market volatility out of range; a failed price, kept in outcome for its record; no
// volatility in [1e-6, 2.0] for the price). evaluations receives the engine's count.
bool priceQuote(AnalyticHestonEngine& engine,
                const HestonQuote& q,
                const HestonModel& m,
                QuoteOutcome& outcome,
                std::uint64_t& evaluations) noexcept {
  try {
    // A market volatility outside its range makes no objective (its square would overflow, say);
    // the quote's other fields are checked as VanillaHeston checks them.
    if (!argInRange(ArgKind::kMarketVol, q.marketIV)) return false;
    const VanillaHestonCall call =
        vanillaHestonCall(q.S, q.K, q.r, q.d, m.v0, m.vL, m.theta, m.volvol, m.rho, q.T, q.CallPut);
    double price = 0.0;
    try {
      price = priceVanillaHeston(engine, call);
    } catch (...) {
      outcome.priceFailed = true;
      outcome.pricingFailure = currentExceptionMessage();
      return false;
    }
    evaluations = engine.numberOfEvaluations();
    const ImpliedVolFunctor f{q.S, q.K, q.T, q.r, q.d, price, q.CallPut};
    const double iv = brentSolve(f, 1e-6, 2.0, 1e-16);
    outcome.squaredError = (iv - q.marketIV) * (iv - q.marketIV);
    return true;
  } catch (...) {
    return false;
  }
}

// Prices the quotes as if one after the other in the file's order (in parallel), stopping at the
// first quote without an implied volatility or where the prices so far have used more than
// kCalibrationEvaluationBudget integrand evaluations: false then, and only that first quote's
// failed price is recorded in the pricing log, so the log does not depend on the thread count.
bool priceQuotesInOrder(const std::vector<HestonQuote>& quotes,
                        const HestonModel& m,
                        std::vector<QuoteOutcome>& outcomes) {
  const long n = static_cast<long>(quotes.size());
  outcomes.assign(quotes.size(), QuoteOutcome());
  const OrderedPricingStop stop = priceInOrderWithinBudget(
      n,
      kCalibrationEvaluationBudget,
      kAccuracy,
      kEvaluationsPerIntegral,
      [&](AnalyticHestonEngine& engine, long k, std::uint64_t& evaluations) noexcept {
        const std::size_t at = static_cast<std::size_t>(k);
        return priceQuote(engine, quotes[at], m, outcomes[at], evaluations);
      });
  if (stop.item >= n) return true;
  const std::size_t at = static_cast<std::size_t>(stop.item);
  if (!stop.overBudget && outcomes[at].priceFailed) {
    const HestonQuote& q = quotes[at];
    logVanillaHestonFailure(
        outcomes[at].pricingFailure,
        vanillaHestonCall(
            q.S, q.K, q.r, q.d, m.v0, m.vL, m.theta, m.volvol, m.rho, q.T, q.CallPut));
  }
  return false;
}

// The objective's line "Objective function:" ... in "Results.txt" in the current folder, on every
// evaluation; a failed open drops the line silently.
void writeObjectiveLine(double meanSquaredError, const HestonModel& m) {
  ObjectiveRecord rec;
  rec.meanSquaredError = meanSquaredError;
  rec.v0 = m.v0;
  rec.vL = m.vL;
  rec.theta = m.theta;
  rec.volvol = m.volvol;
  rec.rho = m.rho;
  std::ofstream results(kResultsName, std::ios::out | std::ios::app);
  writeObjectiveRecord(results, rec);
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
  const VanillaHestonCall call = vanillaHestonCall(S, K, r, d, v0, vL, theta, volvol, rho, T, put);
  return guardExport(
      kFailure,
      [&]() {
        AnalyticHestonEngine engine(kAccuracy, kEvaluationsPerIntegral);
        return priceVanillaHeston(engine, call);
      },
      [&](const std::string& message) { logVanillaHestonFailure(message, call); });
}

QEL_API double QEL_CALL
HESTON_VanillaCalibration(double v0, double vL, double theta, double volvol, double rho) {
  // Nothing is logged for a failure the pricing did not record itself.
  return guardExport(
      kFailure,
      [&]() -> double {
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
        // More quotes than one evaluation may price: refused before any is priced.
        if (n > kMaxCountedQuotes) return kFailure;
        // The quotes are priced as if one after the other in the file's order; the first one
        // whose implied volatility cannot be found, or the work limit, ends the evaluation with
        // -999.0 and no line, rather than an objective that silently leaves quotes out.
        const HestonModel model{v0, vL, theta, volvol, rho};
        std::vector<QuoteOutcome> outcomes;
        if (!priceQuotesInOrder(quotes, model, outcomes)) return kFailure;
        // Summed in the file's order: the same objective whatever the thread count.
        double sum = 0.0;
        for (const QuoteOutcome& outcome : outcomes) sum += outcome.squaredError;
        // A non-finite sum (nothing above should let one through) is no objective either.
        if (!std::isfinite(sum)) return kFailure;

        const double mean = sum / static_cast<double>(n);
        writeObjectiveLine(mean, model);
        return std::sqrt(mean);
      },
      [](const std::string&) {});
}

}  // extern "C"
