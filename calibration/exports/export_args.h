#ifndef SERIVANE_CALIBRATION_EXPORTS_EXPORT_ARGS_H_
#define SERIVANE_CALIBRATION_EXPORTS_EXPORT_ARGS_H_

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "core/grid_limits.h"

namespace serivane {

// The argument check at the entry of every exported function. A host may pass anything: each
// export lists its arguments with their kinds, and the first argument outside its kind's range
// makes the export return its failure value at once, with the message of that check (naming the
// argument) in the record the export writes for its failures. The limits are those written in
// calibration/exports/serivane.h; they keep every value the pricing gives a meaning (a spot of 0
// where it is priced as 1e-12, volvol 0, T 0, a negative variance range, any precision code or
// flag).

// Limits of the double arguments (the grid limits are in core/grid_limits.h).
inline constexpr double kMaxPriceLevel = 1e12;      // spot and strike
inline constexpr double kMaxMaturityYears = 100.0;  // T
inline constexpr double kMaxAbsRate = 0.5;          // interest rate and dividend yield
inline constexpr double kMaxVariance = 100.0;       // v0, vL, an explicit variance bound
inline constexpr double kMaxAbsSpeed = 1000.0;      // mean-reversion speed
// The 2-D pricer sizes its variance grid from the law of a variance that reverts towards vL; a
// negative speed drives the variance away from it without bound (exponentially fast in theta T),
// the grid cannot hold the law, and the solve diverges. The pricer's exports refuse it.
inline constexpr double kMinPdeSpeed = 0.0;
inline constexpr double kMaxVolvol = 100.0;     // volatility of variance
inline constexpr double kMaxVarRange = 10.0;    // coverage factor of the variance range
inline constexpr double kMaxVolatility = 10.0;  // a market implied volatility
// Exercise dates of a Bermudan option: the pricer rounds its time steps to a multiple of their
// count with at least 5 steps between dates, so that the rounded count stays near kMaxTimeSteps.
inline constexpr std::int32_t kMaxExerciseDates = kMaxTimeSteps / 5;

// The kinds of exported arguments; each has one range (see the table in export_args.cpp).
enum class ArgKind {
  kSpot,               // (0, kMaxPriceLevel]
  kSpotOrZero,         // [0, kMaxPriceLevel]: priced as 1e-12 where the export says so
  kStrike,             // (0, kMaxPriceLevel]
  kStrikeOrZero,       // [0, kMaxPriceLevel]: a zero strike left to the pricer's own failure
  kPrice,              // any finite number (a target price: out of range is the solver's failure)
  kMaturity,           // [0, kMaxMaturityYears]
  kRootMaturity,       // [0, sqrt(kMaxMaturityYears)]: the square root of T
  kRate,               // [-kMaxAbsRate, kMaxAbsRate]: interest rate or dividend yield
  kVariance,           // [0, kMaxVariance]
  kSignedVariance,     // [-kMaxVariance, kMaxVariance]: v0 left to a solver that refuses v0 <= 0
  kSpeed,              // [-kMaxAbsSpeed, kMaxAbsSpeed]
  kPdeSpeed,           // [0, kMaxAbsSpeed]: the 2-D pricer's speed (see kMinPdeSpeed)
  kVolvol,             // [0, kMaxVolvol]
  kCorrelation,        // [-1, 1]
  kMarketVol,          // [0, kMaxVolatility]
  kRangeParam,         // any finite number (the asset grid bounds its own range)
  kFinite,             // any finite number (an exponent, say)
  kVarRange,           // [-kMaxVariance, kMaxVarRange]: a coverage, or minus a variance bound
  kQuantileLevel,      // (0, 1]: a quantile level of the variance law
  kAssetIntervals,     // integer [1, kMaxAssetIntervals]
  kVarianceIntervals,  // integer [1, kMaxVarianceIntervals]
  kTimeSteps,          // integer [1, kMaxTimeSteps]
  kNodeCount,          // integer [0, kMaxAssetIntervals]
  kPositiveCount,      // integer [1, INT32_MAX]: a size whose large values have a meaning
  kExerciseDates,      // integer [0, kMaxExerciseDates]
  kCallPut,            // 0 call, 1 put
  kExerciseStyle,      // 0 European, 1 American, 2 Bermudan
  kMethodId,           // 1 .. 15
  kModel,              // 0 square-root variance, 1 variance diffusion
  kModelSelector,      // (-0.5, 1.5): a double rounded to a model
  kAnyInt,             // flags and codes whose every value has a meaning
};

// One argument as the export received it (integers are exact in a double).
struct ExportArg {
  constexpr ExportArg(const char* n, ArgKind k, double v) : name(n), kind(k), value(v) {}
  constexpr ExportArg(const char* n, ArgKind k, std::int32_t v)
      : name(n), kind(k), value(static_cast<double>(v)) {}
  const char* name;
  ArgKind kind;
  double value;
};

// The message of the first argument outside its kind's range ("Invalid argument K = -1: a strike
// must be finite and in (0, 1e+12]"), or the empty string when all are in range.
std::string checkExportArgs(const ExportArg* args, std::size_t count);
inline std::string checkExportArgs(std::initializer_list<ExportArg> args) {
  return checkExportArgs(args.begin(), args.size());
}

// The grid as a whole, once its three sizes have passed their own checks: at most kMaxGridNodes
// nodes (NS + 1) (NV + 1), and at most kMaxGridWork nodes times time steps. The message names the
// sizes, or is empty.
std::string checkGridSize(std::int32_t NS, std::int32_t NV, std::int32_t NT);

// The first solve of a single-option call on the host's NS, NV, NT (run modes 4 and 5 start on half
// the sizes, as the retrying pricer does) within kMaxCallWork. The message names the sizes, the
// method and the work, or is empty.
std::string checkGridWork(
    std::int32_t NS, std::int32_t NV, std::int32_t NT, std::int32_t methodID, std::int32_t runMode);

// Whether value lies in the range of kind (what checkExportArgs tests for each argument).
bool argInRange(ArgKind kind, double value);

}  // namespace serivane

#endif  // SERIVANE_CALIBRATION_EXPORTS_EXPORT_ARGS_H_
