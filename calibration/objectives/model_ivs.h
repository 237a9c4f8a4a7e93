#ifndef SERIVANE_CALIBRATION_OBJECTIVES_MODEL_IVS_H_
#define SERIVANE_CALIBRATION_OBJECTIVES_MODEL_IVS_H_

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "calibration/objectives/expiry_grid.h"
#include "calibration/quotes/option_chain.h"
#include "core/held_logs.h"

namespace serivane {

// The calibration's model function and what it needs: for one vector of the five model
// parameters, the model implied volatility of every quote of the chain, in (expiration, strike)
// order, priced expiry by expiry with the robust strike-list PDE pricer over OpenMP threads.

// The console program's settings, handed to levmar as its opaque data pointer.
struct CalibrationSettings {
  std::int32_t NS;              // asset intervals of the base grid (raised per group)
  std::int32_t NV;              // variance intervals of the base grid (raised per group)
  std::int32_t NT;              // time steps of the base grid (scaled per group by its expiration)
  std::int32_t methodID;        // solver method id, passed to the pricer
  std::int32_t precision;       // 1 -> run mode 3, 2 -> run mode 5, any other -> run mode 4
  std::int32_t stripMode;       // strip mode of the pricer
  std::int32_t factorSwitch;    // 1 -> S-grid width factor 1.0, any other -> 1.5
  std::int32_t quantileSwitch;  // 1 -> variance quantile level 0.9999975, any other -> 0.999999
  std::int32_t model;           // 1 -> GARCH diffusion (p = 1); any other -> power law p = 0.8
};

// Set when a parameter handed to calcModelIVs leaves its hard range; never cleared by the
// program (the console reads it to restart from the parameters reached).
extern bool stopFlag;

// levmar's model function: p = {v0, vBar, kappa, xi, rho} (m = 5), hx receives the n model
// implied volatilities of the chain "OptionsData.txt" of the program folder in (expiration,
// strike) order, adata points to a CalibrationSettings.
//
// A parameter outside v0 [0.001, 0.5], vBar [0.001, 1], kappa [0.1, 50], xi [0.1, 30],
// rho [-1, 0.3] (the first in that order) sets stopFlag and throws std::runtime_error
// "<name> is out of range. Stopping optimization." before any work. Any other error is logged to
// "GARCH_PDESolverLog.txt" in the program folder and the function returns with every hx entry
// NaN, so that levmar stops and no caller mistakes the missing values for a fit.
void calcModelIVs(double* p, double* hx, int m, int n, void* adata);

// levmar's batch model (levmar_batch_func): calcModelIVs for each of the count points ps[k], into
// hxs[k], with the work of all points spread over the threads at once. Each point gets the values,
// the error record and the failure value it would get from its own calcModelIVs call; a point
// out of range throws before any work, the first in point order.
void calcModelIVsBatch(double* const* ps, double* const* hxs, int count, int m, int n, void* adata);

// levmar's model with points ahead of need (levmar_ahead_model's ahead and settle): the points
// before `firm` as calcModelIVsBatch; the rest it evaluates in the same pool of tasks when there is
// more than one thread to share and all of them are inside the hard ranges (else it leaves them
// and returns 0). Their logs and error records are held, and written by
// settleModelIVsAhead(1, ...) as their own calls would have written them, or forgotten by
// settleModelIVsAhead(0, ...).
int calcModelIVsAhead(
    double* const* ps, double* const* hxs, int count, int firm, int m, int n, void* adata);
void settleModelIVsAhead(int keep, void* adata);

// The expirations of the last single-point evaluation of calcModelIVs (or calcModelIVsFromFile)
// whose model values missed the error tolerance kIVErrorTolerance within the pricer's work limit:
// they hold the best values had. 0 after an evaluation within the tolerance, or one that failed.
int modelIVsShortfall();

// The console report's caution line (with its line break) for an evaluation with `shortfalls`
// such expirations; empty for none.
std::string accuracyCautionLine(int shortfalls);

// calcModelIVs on the chain file at `path` (calcModelIVs passes the program folder's
// "OptionsData.txt").
void calcModelIVsFromFile(const std::string& path,
                          const double* p,
                          double* hx,
                          int n,
                          const CalibrationSettings& settings);

// calcModelIVsBatch on the chain file at `path`; with firm < count, calcModelIVsAhead (returns
// whether the points from firm on were evaluated).
bool calcModelIVsBatchFromFile(const std::string& path,
                               double* const* ps,
                               double* const* hxs,
                               int count,
                               int n,
                               const CalibrationSettings& settings,
                               int firm = std::numeric_limits<int>::max());

// The range check of calcModelIVs alone.
void checkModelParameters(const double* p);

// What the settings' codes stand for.
struct DerivedSettings {
  int runMode;         // run mode the pricer receives (3, 4 or 5)
  double widthFactor;  // S-grid width factor of the pricer
  double level;        // variance quantile level
  double p;            // exponent of v in the volatility of variance
};
DerivedSettings deriveSettings(const CalibrationSettings& settings);

// One priced strike: expiration in years, strike, model implied volatility.
struct IVResult {
  double T;
  double strike;
  double modelIV;
};

// Groups quotes sorted by (expiration, strike), with expirations in years, into one item per
// distinct expiration (ascending), with refPrice, spot, T, r, d filled.
std::vector<ExpiryWorkItem> groupByExpiry(const std::vector<OptionQuote>& quotesInYears);

// Sizes every group from the base grid: the five price bands raise NS and NV, the level is
// raised for cheap groups, NT scales with the expiration, and cost is the relative grid cost.
// Returns the total cost.
double sizeExpiryGroups(std::vector<ExpiryWorkItem>& groups,
                        const CalibrationSettings& settings,
                        double level,
                        double kappa);

// Deals groups already sorted by descending cost into nb buckets (indices into `groups`): a
// bucket whose running cost has reached total / nb is passed over, the cursor wraps.
std::vector<std::vector<int>> dealBuckets(const std::vector<ExpiryWorkItem>& groups,
                                          int nb,
                                          double totalCost);

// The model IVs of one parameter vector, or the evaluation's error.
struct ModelIVsOutcome {
  std::vector<double> ivs;  // one per quote, in (expiration, strike) order
  bool failed = false;
  std::string error;               // the message of the failure that stopped the evaluation
  std::vector<HeldLogs> heldLogs;  // for a point from `firm` on: its logs, held in task order
  // Expirations whose values missed the error tolerance within the work limit (their best
  // values are kept in ivs).
  int shortfalls = 0;
};

// modelIVsOfQuotes for several parameter vectors at once: one task per (vector, expiration) from
// one queue over the threads. The outcome of each vector is the one modelIVsOfQuotes gives it;
// the vectors from `firm` on write no log, their outcomes hold the logs instead.
std::vector<ModelIVsOutcome> modelIVsOfQuotesBatch(
    const std::vector<OptionQuote>& quotesInYears,
    const std::vector<const double*>& ps,
    const CalibrationSettings& settings,
    std::size_t firm = std::numeric_limits<std::size_t>::max());

// The pricing core of calcModelIVs: model implied volatilities of quotes sorted by (expiration,
// strike) with expirations in years, one per quote, in that order, at p = {v0, vBar, kappa, xi,
// rho}. Throws std::runtime_error when a worker met an error the pricer did not handle.
std::vector<double> modelIVsOfQuotes(const std::vector<OptionQuote>& quotesInYears,
                                     const double* p,
                                     const CalibrationSettings& settings);

}  // namespace serivane

#endif  // SERIVANE_CALIBRATION_OBJECTIVES_MODEL_IVS_H_
