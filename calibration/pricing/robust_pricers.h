#ifndef SERIVANE_CALIBRATION_PRICING_ROBUST_PRICERS_H_
#define SERIVANE_CALIBRATION_PRICING_ROBUST_PRICERS_H_

#include <cmath>
#include <cstdint>
#include <vector>

namespace serivane {

class QelHestonVanilla;

// Process-wide diagnostic switch: when set, the robust pricers also log their negative values,
// retries, successes and memory-failure retries. Nothing in the system sets it; it is off.
extern bool debugFlag;

// Prices one vanilla option with the 2-D PDE pricer and makes the result robust: a negative price
// is re-solved on escalated grids with method id 15, a zero price (a memory failure) on a more
// non-uniform grid, and an instability or an allocation failure is retried a bounded number of
// times. Failures are appended to "GARCH_PDESolverLog.txt" in the program folder. NS, NV and
// precision are in/out: they hold the last grid and run mode used on return. Returns the price,
// or the implied volatility when ivWanted is non-zero (0.0 when nothing could be had). A European
// option's value from the convergence run (precision 5) is handed out only when its error
// estimate (the run's two grids, and one more coarse solve with half the time steps) is within
// kIVErrorTolerance of implied volatility (calibration/pricing/error_control.h):
// above it the grids are refined within the call's work limit, and where that runs out first, or
// where the retries give up with a value that has no estimate, the result is 0.0 with the record
// kErrorToleranceMessage.
double calcVanillaPDEWithRetries(double S,
                                 double K,
                                 double T,
                                 double r,
                                 double d,
                                 double v0,
                                 double vL,
                                 double theta,
                                 double volvol,
                                 double rho,
                                 int* NS,
                                 int* NV,
                                 int NT,
                                 int CallPut,
                                 int EuroAmer,
                                 int* precision,
                                 int methodID,
                                 int ivWanted,
                                 double sRangeParam,
                                 double varRange,
                                 int volvolWidening,
                                 bool fallback,
                                 int model);

// Prices every strike of one expiration in one strike-list solve and hands back one implied
// volatility per strike in strikeIVs (ascending strike order), with the same kind of repairs as
// calcVanillaPDEWithRetries under its own rules. NS, NV and precision are in/out. Returns the
// reference value of the last solve (0.0 after a give-up or an unrecoverable failure; after an
// unrecoverable failure strikeIVs is left as it was).
double calcVanillaPDEStrikesWithRetries(double S,
                                        std::vector<double> strikes,
                                        std::vector<double>& strikeIVs,
                                        double T,
                                        double r,
                                        double d,
                                        double v0,
                                        double vL,
                                        double theta,
                                        double volvol,
                                        double rho,
                                        int* NS,
                                        int* NV,
                                        int NT,
                                        int CallPut,
                                        int EuroAmer,
                                        int* precision,
                                        int methodID,
                                        int ivWanted,
                                        double sRangeParam,
                                        double varRange,
                                        int volvolWidening,
                                        int stripMode,
                                        bool fallback,
                                        int model,
                                        double p);

// The records of the single-option pricer's own failures: the call's work limit stopped its ladder
// before any positive value, a solve diverged (its value lies far outside the option's
// no-arbitrage bounds: the ladder stops at once), or the price returned lies outside them.
inline constexpr char kWorkLimitMessage[] =
    "The work limit of the call stopped the retries before a positive value";
inline constexpr char kDivergedMessage[] =
    "The solve diverged: its value lies far outside the no-arbitrage bounds";
inline constexpr char kOutsideBoundsMessage[] = "The price lies outside its no-arbitrage bounds";
// The error control of the convergence run (precision code 2) could not bring the value's error
// estimate within the tolerance inside the call's work limit.
inline constexpr char kErrorToleranceMessage[] =
    "The error estimate stayed above the tolerance within the work limit of the call";
inline constexpr char kNoPositiveValueMessage[] =
    "The solves gave no positive value (a price below what the grid resolves)";
// The model function's record of an expiry whose strike-list pricing left a quoted strike without
// a positive value: the expiry keeps the values it has and counts as one that missed the accuracy
// target.
inline constexpr char kUnpricedStrikesMessage[] =
    "The strike-list pricing gave no positive value at a quoted strike: the expiry keeps the "
    "values it had";

// The record of a Bermudan option (EuroAmer 2): the pricers are given no exercise dates, and
// without them it would be priced as a European one, so either pricer answers it with 0.0 at once.
inline constexpr char kNoExerciseDatesMessage[] =
    "A Bermudan option (EuroAmer 2) has no price without its exercise dates, and this pricing is "
    "given none";

// The work limit of one call of either robust pricer, in the units of kMaxCallWork
// (core/grid_limits.h), which it is. The first solve of a call always runs (its caller checked its
// grid); every later solve, of the retries, the restarts and the run-mode fallbacks, runs only
// while the call's work stays within the limit, and the ladder ends as when its schedule is spent.
// The PDE objectives give each of their pricings its own limit, its share of an evaluation's
// (calcVanillaPDEWithRetriesWithin and calcVanillaPDEStrikesWithRetriesWithin). A test seam
// besides, beside robustSolveHook: a scripted solve costs nothing, and the tests of the ladders'
// schedules lift the limit to follow them to their ends. Nothing else in the system changes it.
extern std::int64_t robustWorkLimit;

// The two pricers with the work limit of the call given in place of robustWorkLimit. With
// keepBest set, the single-option pricer's error control (precision 5, a European option) keeps
// the value of its last refined grid where the work limit admits no finer one or that one loses
// its value, in place of the failure value (the objectives, which must price every quote).
double calcVanillaPDEWithRetriesWithin(std::int64_t workLimit,
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
                                       int* NS,
                                       int* NV,
                                       int NT,
                                       int CallPut,
                                       int EuroAmer,
                                       int* precision,
                                       int methodID,
                                       int ivWanted,
                                       double sRangeParam,
                                       double varRange,
                                       int volvolWidening,
                                       bool fallback,
                                       int model,
                                       bool keepBest = false);
double calcVanillaPDEStrikesWithRetriesWithin(std::int64_t workLimit,
                                              double S,
                                              std::vector<double> strikes,
                                              std::vector<double>& strikeIVs,
                                              double T,
                                              double r,
                                              double d,
                                              double v0,
                                              double vL,
                                              double theta,
                                              double volvol,
                                              double rho,
                                              int* NS,
                                              int* NV,
                                              int NT,
                                              int CallPut,
                                              int EuroAmer,
                                              int* precision,
                                              int methodID,
                                              int ivWanted,
                                              double sRangeParam,
                                              double varRange,
                                              int volvolWidening,
                                              int stripMode,
                                              bool fallback,
                                              int model,
                                              double p);

// The record of an expiry-by-expiry objective whose pricing could not bring its values within the
// error tolerance inside the work limit (the objective then returns its failure value).
inline constexpr char kAccuracyShortfallMessage[] =
    "No model values within the error tolerance of 0.5 bp of implied volatility could be had "
    "within the work limit";

// What the error control of one strike-list pricing found (calcVanillaPDEStrikesWithErrorControl).
struct StrikeListAccuracy {
  // The values handed out carry an error estimate within kIVErrorTolerance
  // (calibration/pricing/error_control.h).
  bool withinTolerance = false;
  // Error control ran (run mode 5 with implied volatilities); otherwise the pricing is the plain
  // calcVanillaPDEStrikesWithRetriesWithin and withinTolerance stays false.
  bool controlled = false;
  // The largest estimated implied-volatility error over the strikes of the values handed out
  // (HUGE_VAL when none could be estimated: the values then come from the retry ladder).
  double ivError = HUGE_VAL;
  int solves = 0;  // solves: the convergence run, and each coarse time solve, count as one
};

// The strike-list pricing with error control, for run mode 5 (the convergence run) with implied
// volatilities wanted; any other call is calcVanillaPDEStrikesWithRetriesWithin as it stands.
// The convergence run's two grids and one more coarse solve with half the time steps give each
// strike's error estimate (see robust_pricers.cpp). A first pass whose values are sound at the
// quoted strikes (every price and implied volatility positive) and whose estimate is within the
// tolerance is handed out as it is. Where the time part alone leaves it beyond, a coarse solve
// with 1.5 times the steps extrapolates the time error away without solving the two grids again;
// a pass still beyond is refined (finer grids, more time steps, as the estimate's parts say)
// while the call's work limit allows, and the pass with the smallest estimate wins. Only when no
// pass is sound does the retry ladder run, and its values carry no estimate. The strip mode's
// nearby-negative check does not send a sound pass down the ladder.
double calcVanillaPDEStrikesWithErrorControl(std::int64_t workLimit,
                                             double S,
                                             const std::vector<double>& strikes,
                                             std::vector<double>& strikeIVs,
                                             double T,
                                             double r,
                                             double d,
                                             double v0,
                                             double vL,
                                             double theta,
                                             double volvol,
                                             double rho,
                                             int* NS,
                                             int* NV,
                                             int NT,
                                             int CallPut,
                                             int EuroAmer,
                                             int* precision,
                                             int methodID,
                                             int ivWanted,
                                             double sRangeParam,
                                             double varRange,
                                             int volvolWidening,
                                             int stripMode,
                                             bool fallback,
                                             int model,
                                             double p,
                                             StrikeListAccuracy& accuracy);

// Test seam: when not null, both robust pricers call it in place of the pricer's solve. It may
// set the pricer's summary, strikePrices and strikeIVs (or call solve itself) and may throw, so
// that tests can drive every road of the retry ladders. Null in production, and nothing in the
// system sets it.
using RobustSolveHook = void (*)(QelHestonVanilla& pricer, double& cpuTime);
extern RobustSolveHook robustSolveHook;

}  // namespace serivane

#endif  // SERIVANE_CALIBRATION_PRICING_ROBUST_PRICERS_H_
