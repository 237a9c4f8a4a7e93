// The exported single-option price and implied volatility. Both are thin: they convert and
// forward their arguments. Every export runs inside guardExport, so that no exception ever
// crosses the C boundary into a host (the host process would end): whatever is thrown, of any
// type, becomes the export's documented failure value.
#include <cmath>
#include <exception>
#include <fstream>
#include <string>

#include "calibration/exports/export_args.h"
#include "calibration/exports/export_guard.h"
#include "calibration/exports/serivane.h"
#include "calibration/pricing/pricing_log.h"
#include "calibration/pricing/robust_pricers.h"
#include "core/black_scholes.h"
#include "core/brent.h"

// The exports are global C functions; their bodies use the system's own names.
using namespace serivane;

extern "C" {

QEL_API double QEL_CALL GARCH_VanillaPDESolver(double S,
                                               double K,
                                               double T,
                                               double r,
                                               double d,
                                               double v0,
                                               double vL,
                                               double theta,
                                               double volvol,
                                               double rho,
                                               int32_t NS,
                                               int32_t NV,
                                               int32_t NT,
                                               int32_t CallPut,
                                               int32_t EuroAmer,
                                               int32_t precision,
                                               int32_t methodID,
                                               int32_t ivWanted,
                                               double sRangeParam,
                                               double varRange,
                                               int32_t volvolWidening,
                                               int32_t model) {
  // Local copies: the robust pricer writes the sizes and run mode it ends with into them, and
  // the host sees only the returned value.
  int ns = NS;
  int nv = NV;
  int runMode = runModeForPrecisionCode(precision);
  const long calcID = calcIdNow();
  const auto logFailure = [&](const std::string& message) {
    // Logged as a catch record of the case, like what the robust pricer lets through.
    SolverLogRecord rec = SolverLogRecord::ofCase(
        calcID, S, K, T, r, d, v0, vL, theta, volvol, rho, ns, nv, NT, CallPut, EuroAmer);
    std::ofstream log;
    openPricingLog(log);
    rec.writeCatch(log, message, runMode);
  };
  return guardExport(
      0.0,
      [&]() {
        // The precision code, ivWanted and volvolWidening: every value has a meaning.
        std::string bad = checkExportArgs({{"S", ArgKind::kSpot, S},
                                           {"K", ArgKind::kStrike, K},
                                           {"T", ArgKind::kMaturity, T},
                                           {"r", ArgKind::kRate, r},
                                           {"d", ArgKind::kRate, d},
                                           {"v0", ArgKind::kVariance, v0},
                                           {"vL", ArgKind::kVariance, vL},
                                           {"theta", ArgKind::kPdeSpeed, theta},
                                           {"volvol", ArgKind::kVolvol, volvol},
                                           {"rho", ArgKind::kCorrelation, rho},
                                           {"NS", ArgKind::kAssetIntervals, NS},
                                           {"NV", ArgKind::kVarianceIntervals, NV},
                                           {"NT", ArgKind::kTimeSteps, NT},
                                           {"CallPut", ArgKind::kCallPut, CallPut},
                                           {"EuroAmer", ArgKind::kExerciseStyle, EuroAmer},
                                           {"methodID", ArgKind::kMethodId, methodID},
                                           {"sRangeParam", ArgKind::kRangeParam, sRangeParam},
                                           {"varRange", ArgKind::kVarRange, varRange},
                                           {"model", ArgKind::kModel, model}});
        if (bad.empty()) bad = checkGridSize(NS, NV, NT);
        if (bad.empty()) bad = checkGridWork(NS, NV, NT, methodID, runMode);
        if (!bad.empty()) {
          logFailure(bad);
          return 0.0;
        }
        return calcVanillaPDEWithRetries(S,
                                         K,
                                         T,
                                         r,
                                         d,
                                         v0,
                                         vL,
                                         theta,
                                         volvol,
                                         rho,
                                         &ns,
                                         &nv,
                                         NT,
                                         CallPut,
                                         EuroAmer,
                                         &runMode,
                                         methodID,
                                         ivWanted,
                                         sRangeParam,
                                         varRange,
                                         volvolWidening,
                                         false,
                                         model);
      },
      logFailure);
}

QEL_API double QEL_CALL
ImpliedVol(double price, double S, double K, double T, double r, double d, int32_t isPut) {
  // Every failure of the root finder gives -999.0; nothing is logged or printed.
  return guardExport(
      -999.0,
      [&]() {
        const std::string bad = checkExportArgs({{"price", ArgKind::kPrice, price},
                                                 {"S", ArgKind::kSpot, S},
                                                 {"K", ArgKind::kStrike, K},
                                                 {"T", ArgKind::kMaturity, T},
                                                 {"r", ArgKind::kRate, r},
                                                 {"d", ArgKind::kRate, d},
                                                 {"isPut", ArgKind::kAnyInt, isPut}});
        if (!bad.empty()) return -999.0;
        const ImpliedVolFunctor f{S, K, T, r, d, price, isPut};
        const double iv = brentSolve(f, 1e-6, 2.0, 1e-16);
        return std::isfinite(iv) ? iv : -999.0;
      },
      [](const std::string&) {});
}

}  // extern "C"
