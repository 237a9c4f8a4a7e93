// VanillaHestonGrid: the Heston values of one option at every node of a spot grid, by the analytic
// engine or by the outside library libmervane.so. The two are independent computations (the
// engine's two probability integrals by adaptive Gauss-Lobatto quadrature; the library's single
// Lewis integral by double-exponential quadrature), so either path checks the other.
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "calibration/exports/export_args.h"
#include "calibration/exports/export_guard.h"
#include "calibration/exports/heston_grid.h"
#include "calibration/exports/serivane.h"
#include "calibration/exports/string_result.h"
#include "calibration/quotes/program_folder.h"
#include "heston_analytic/analytic_heston_engine.h"
#include "heston_analytic/budgeted_pricing.h"
#include "mervane/mervane.h"
#include "platform/dynamic_library.h"

namespace serivane {

namespace {

// Records the message of the exception in flight in a failure slot; never throws (it runs inside
// a parallel loop).
void recordFailure(std::string& slot) noexcept {
  try {
    slot = currentExceptionMessage();
  } catch (...) {
    slot.clear();
  }
}

// The engine's settings for a node: those of VanillaHeston (full double accuracy, at most
// 1,000,000 integrand evaluations per integral), so that a node fails where VanillaHeston would.
constexpr double kGridAccuracy = 1e-16;
constexpr std::uint64_t kGridEvaluationsPerIntegral = 1000000;

std::runtime_error nonFiniteNode(int i) {
  return std::runtime_error("The price at spot node " + std::to_string(i) +
                            " is not a finite number");
}

// A value of the outside library outside the no-arbitrage bounds of a European option by more
// than the engine's own tolerance (a relative 1e-9 of the discounted spot plus strike) is no
// price; within it, the value is put on the bound it crossed.
double withinBounds(
    double value, double S, double K, double r, double d, double T, int put, int i) {
  const double forwardSpot = S * std::exp(-d * T);
  const double forwardStrike = K * std::exp(-r * T);
  const double lower =
      std::max(put == 0 ? forwardSpot - forwardStrike : forwardStrike - forwardSpot, 0.0);
  const double upper = put == 0 ? forwardSpot : forwardStrike;
  const double tolerance = 1e-9 * (forwardSpot + forwardStrike);
  if (value < lower - tolerance || value > upper + tolerance) {
    std::ostringstream message;
    message.precision(10);
    message << "The price at spot node " << i << ", " << value
            << ", lies outside the no-arbitrage bounds [" << lower << ", " << upper << "]";
    throw std::runtime_error(message.str());
  }
  return std::min(std::max(value, lower), upper);
}

// out[i] := priceNode(engine, i) for the nodes i = N down to 1, in parallel, each thread with an
// engine of its own, stopping at the first failing node of that order (the highest failing node)
// or where the evaluations of the nodes so far pass kGridEvaluationBudget; throws
// std::runtime_error with that node's failure or the budget's message. The node reported does not
// depend on the thread count (see priceInOrderWithinBudget).
template <class PriceNode>
void priceNodesInParallel(double* out, int N, const PriceNode& priceNode) {
  if (N < 1) return;
  // One failure slot per node: no exception leaves a thread of the loop.
  std::vector<std::string> failures(static_cast<std::size_t>(N) + 1);
  const OrderedPricingStop stop = priceInOrderWithinBudget(
      N,
      kGridEvaluationBudget,
      kGridAccuracy,
      kGridEvaluationsPerIntegral,
      [&](AnalyticHestonEngine& engine, long k, std::uint64_t& evaluations) noexcept {
        const int i = N - static_cast<int>(k);  // nodes N down to 1
        try {
          const double value = priceNode(engine, i);
          if (!std::isfinite(value)) throw nonFiniteNode(i);
          out[i] = value;
          evaluations = engine.numberOfEvaluations();
          return true;
        } catch (...) {
          recordFailure(failures[static_cast<std::size_t>(i)]);
          return false;
        }
      });
  if (stop.item >= N) return;
  const int i = N - static_cast<int>(stop.item);
  if (stop.overBudget) {
    throw std::runtime_error(
        "The spot grid needs more than " + std::to_string(kGridEvaluationBudget) +
        " integrand evaluations: the budget ran out at spot node " + std::to_string(i));
  }
  const std::string& message = failures[static_cast<std::size_t>(i)];
  throw std::runtime_error(message.empty() ? "unknown error" : message);
}

}  // namespace

void* loadOutsideLibrary(const std::string& folder, const std::string& fileName) {
  std::string loaderError;
  void* module = loadLibraryOnce(folder, fileName, loaderError);
  if (module == nullptr) {
    throw std::runtime_error("The outside pricing library " + fileName +
                             " could not be loaded: " + loaderError);
  }
  return module;
}

double hestonCallExactPrice(void* module,
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
                            int put) {
  void* entry = findLibraryEntry(module, kOutsideEntryName);
  if (entry == nullptr) {
    throw std::runtime_error(std::string("The outside pricing library has no entry point ") +
                             kOutsideEntryName);
  }
  const auto callExact = reinterpret_cast<HestonCallExactFn>(entry);
  const double c = callExact(S, K, T, r - d, v0, vL, theta, volvol, rho);
  const double dividendDiscount = std::exp(-d * T);
  if (put == 0) return dividendDiscount * c;
  return K * std::exp(-r * T) - S * dividendDiscount + dividendDiscount * c;
}

void priceHestonGrid(const double* S,
                     double* out,
                     double K,
                     double r,
                     double d,
                     double v0,
                     double vL,
                     double theta,
                     double volvol,
                     double rho,
                     double T,
                     int put,
                     int N,
                     bool internal,
                     const std::string& libraryFolder,
                     const std::string& libraryFile) {
  if (internal) {
    const std::int32_t optionType = put == 0 ? 1 : -1;
    priceNodesInParallel(out, N, [&](AnalyticHestonEngine& engine, int i) {
      return engine.price(S[i], K, T, r, d, v0, vL, theta, volvol, rho, optionType);
    });
  } else {
    if (N > kMaxOutsideNodes) {
      throw std::invalid_argument("Invalid argument N = " + std::to_string(N) +
                                  ": with the outside pricing library N must be at most " +
                                  std::to_string(kMaxOutsideNodes));
    }
    // One node after the other, stopping at the first that gives no price.
    void* module = loadOutsideLibrary(libraryFolder, libraryFile);
    for (int i = N; i >= 1; --i) {
      const double value =
          hestonCallExactPrice(module, S[i], K, T, r, d, v0, vL, theta, volvol, rho, put);
      if (!std::isfinite(value)) throw nonFiniteNode(i);
      out[i] = withinBounds(value, S[i], K, r, d, T, put, i);
    }
  }
  out[0] = put != 0 ? K * std::exp(-r * T) - S[0] * std::exp(-d * T) : 0.0;
}

}  // namespace serivane

// The exports are global C functions; their bodies use the system's own names.
using namespace serivane;

extern "C" {

QEL_API QelString QEL_CALL VanillaHestonGrid(const double* S,
                                             double* out,
                                             double K,
                                             double r,
                                             double d,
                                             double v0,
                                             double vL,
                                             double theta,
                                             double volvol,
                                             double rho,
                                             double T,
                                             int32_t put,
                                             int32_t N,
                                             uint8_t internal) {
  return guardStringExport([&]() {
    if (S == nullptr || out == nullptr) {
      throw std::invalid_argument("A pointer argument of VanillaHestonGrid is null");
    }
    // The parameters as for VanillaHeston, without its replacements of a zero volvol or spot (a
    // zero volvol is left to the pricing, which fails on it). At most kMaxAssetIntervals + 1
    // nodes, as many as QelOptionPricer serves.
    std::string bad = checkExportArgs({{"K", ArgKind::kStrikeOrZero, K},
                                       {"r", ArgKind::kRate, r},
                                       {"d", ArgKind::kRate, d},
                                       {"v0", ArgKind::kVariance, v0},
                                       {"vL", ArgKind::kVariance, vL},
                                       {"theta", ArgKind::kSpeed, theta},
                                       {"volvol", ArgKind::kVolvol, volvol},
                                       {"rho", ArgKind::kCorrelation, rho},
                                       {"T", ArgKind::kMaturity, T},
                                       {"N", ArgKind::kNodeCount, N}});
    // Node 0 is read only for a put (its lower boundary value); a spot of 0 is the grid's lower
    // end there. The other nodes are priced: positive spots.
    for (int i = 0; bad.empty() && i <= N; ++i) {
      if (i == 0 && put == 0) continue;
      const std::string name = "S[" + std::to_string(i) + "]";
      bad = checkExportArgs({{name.c_str(), i == 0 ? ArgKind::kSpotOrZero : ArgKind::kSpot, S[i]}});
    }
    if (!bad.empty()) throw std::invalid_argument(bad);
    priceHestonGrid(S,
                    out,
                    K,
                    r,
                    d,
                    v0,
                    vL,
                    theta,
                    volvol,
                    rho,
                    T,
                    put,
                    N,
                    internal != 0,
                    programFolder(),
                    kOutsideLibraryName);
  });
}

}  // extern "C"
