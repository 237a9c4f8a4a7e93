#include "calibration/exports/export_args.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <string>

#include "calibration/pricing/solve_work.h"

namespace serivane {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// One row per kind, in the order of ArgKind.
struct KindRule {
  ArgKind kind;
  const char* what;  // what the argument is, for the message
  double lo, hi;     // closed range, opened at lo when loOpen
  bool loOpen;
  bool integer;  // an int32 argument: no finiteness test needed, integers only
};

constexpr KindRule kRules[] = {
    {ArgKind::kSpot, "a spot", 0.0, kMaxPriceLevel, true, false},
    {ArgKind::kSpotOrZero, "a spot", 0.0, kMaxPriceLevel, false, false},
    {ArgKind::kStrike, "a strike", 0.0, kMaxPriceLevel, true, false},
    {ArgKind::kStrikeOrZero, "a strike", 0.0, kMaxPriceLevel, false, false},
    {ArgKind::kPrice, "a price", -kInf, kInf, false, false},
    {ArgKind::kMaturity, "a maturity in years", 0.0, kMaxMaturityYears, false, false},
    {ArgKind::kRootMaturity,
     "the square root of a maturity in years",
     0.0,
     10.0,  // sqrt(kMaxMaturityYears)
     false,
     false},
    {ArgKind::kRate, "a rate or yield", -kMaxAbsRate, kMaxAbsRate, false, false},
    {ArgKind::kVariance, "a variance", 0.0, kMaxVariance, false, false},
    {ArgKind::kSignedVariance, "a variance", -kMaxVariance, kMaxVariance, false, false},
    {ArgKind::kSpeed, "a mean-reversion speed", -kMaxAbsSpeed, kMaxAbsSpeed, false, false},
    {ArgKind::kPdeSpeed,
     "a mean-reversion speed of the PDE pricer",
     kMinPdeSpeed,
     kMaxAbsSpeed,
     false,
     false},
    {ArgKind::kVolvol, "a volatility of variance", 0.0, kMaxVolvol, false, false},
    {ArgKind::kCorrelation, "a correlation", -1.0, 1.0, false, false},
    {ArgKind::kMarketVol, "a market implied volatility", 0.0, kMaxVolatility, false, false},
    {ArgKind::kRangeParam, "an S-range parameter", -kInf, kInf, false, false},
    {ArgKind::kFinite, "a value", -kInf, kInf, false, false},
    {ArgKind::kVarRange, "a variance range", -kMaxVariance, kMaxVarRange, false, false},
    {ArgKind::kQuantileLevel, "a quantile level", 0.0, 1.0, true, false},
    {ArgKind::kAssetIntervals, "an asset interval count", 1.0, kMaxAssetIntervals, false, true},
    {ArgKind::kVarianceIntervals,
     "a variance interval count",
     1.0,
     kMaxVarianceIntervals,
     false,
     true},
    {ArgKind::kTimeSteps, "a time step count", 1.0, kMaxTimeSteps, false, true},
    {ArgKind::kNodeCount, "a node count", 0.0, kMaxAssetIntervals, false, true},
    {ArgKind::kPositiveCount, "a count", 1.0, 2147483647.0, false, true},
    {ArgKind::kExerciseDates, "a number of exercise dates", 0.0, kMaxExerciseDates, false, true},
    {ArgKind::kCallPut, "a call/put flag (0 call, 1 put)", 0.0, 1.0, false, true},
    {ArgKind::kExerciseStyle,
     "an exercise style (0 European, 1 American, 2 Bermudan)",
     0.0,
     2.0,
     false,
     true},
    {ArgKind::kMethodId, "a method id", 1.0, 15.0, false, true},
    {ArgKind::kModel,
     "a model (0 square-root variance, 1 variance diffusion)",
     0.0,
     1.0,
     false,
     true},
    {ArgKind::kModelSelector,
     "a model selector (rounding to 0 square-root variance or 1 variance diffusion)",
     -0.5,
     1.4999999999999998,  // the double below 1.5, which rounds to 2
     true,
     false},
    {ArgKind::kAnyInt, "a flag or code", -kInf, kInf, false, true},
};

const KindRule& ruleOf(ArgKind kind) {
  for (const KindRule& r : kRules) {
    if (r.kind == kind) return r;
  }
  return kRules[0];  // not reached: every kind has its row
}

bool inRule(const KindRule& r, double value) {
  // NaN fails every comparison, infinities fail the finite ranges (and are refused by name for
  // the unbounded ones below).
  if (!std::isfinite(value)) return false;
  if (r.integer && value != std::floor(value)) return false;
  if (r.loOpen ? !(value > r.lo) : !(value >= r.lo)) return false;
  return value <= r.hi;
}

}  // namespace

std::string checkGridWork(std::int32_t NS,
                          std::int32_t NV,
                          std::int32_t NT,
                          std::int32_t methodID,
                          std::int32_t runMode) {
  const bool halved = runMode == 4 || runMode == 5;
  const std::int64_t work =
      pdeSolveWork(halved ? NS / 2 : NS, halved ? NV / 2 : NV, NT, methodID, runMode);
  if (work <= kMaxCallWork) return std::string();
  std::ostringstream msg;
  msg << "Invalid arguments NS = " << NS << ", NV = " << NV << ", NT = " << NT
      << ", methodID = " << methodID << ": the solve's work of " << work << " units exceeds "
      << kMaxCallWork;
  return msg.str();
}

bool argInRange(ArgKind kind, double value) { return inRule(ruleOf(kind), value); }

std::string checkExportArgs(const ExportArg* args, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const ExportArg& a = args[i];
    const KindRule& r = ruleOf(a.kind);
    if (inRule(r, a.value)) continue;
    std::ostringstream msg;
    msg.precision(16);
    msg << "Invalid argument " << a.name << " = " << a.value << ": " << r.what << " must be ";
    msg.precision(6);
    if (r.integer) {
      // Integer bounds in full (INT32_MAX, say), not in the exponent form of large doubles.
      const auto bound = [](double b) {
        return std::isfinite(b) ? std::to_string(static_cast<long long>(b))
                                : std::string(b < 0 ? "-inf" : "inf");
      };
      msg << "an integer in [" << bound(r.lo) << ", " << bound(r.hi) << "]";
    } else if (std::isinf(r.lo) && std::isinf(r.hi)) {
      msg << "a finite number";
    } else {
      msg << "finite and in " << (r.loOpen ? "(" : "[") << r.lo << ", " << r.hi << "]";
    }
    return msg.str();
  }
  return std::string();
}

std::string checkGridSize(std::int32_t NS, std::int32_t NV, std::int32_t NT) {
  const std::int64_t nodes =
      (static_cast<std::int64_t>(NS) + 1) * (static_cast<std::int64_t>(NV) + 1);
  std::ostringstream msg;
  if (nodes > kMaxGridNodes) {
    msg << "Invalid arguments NS = " << NS << ", NV = " << NV << ": the grid of " << nodes
        << " nodes exceeds " << kMaxGridNodes << " nodes";
  } else if (nodes * NT > kMaxGridWork) {
    msg << "Invalid arguments NS = " << NS << ", NV = " << NV << ", NT = " << NT
        << ": nodes times time steps exceed " << kMaxGridWork;
  }
  return msg.str();
}

}  // namespace serivane
