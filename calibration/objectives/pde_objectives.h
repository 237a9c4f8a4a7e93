#ifndef SERIVANE_CALIBRATION_OBJECTIVES_PDE_OBJECTIVES_H_
#define SERIVANE_CALIBRATION_OBJECTIVES_PDE_OBJECTIVES_H_

#include <cstdint>
#include <vector>

#include "calibration/objectives/expiry_grid.h"
#include "calibration/quotes/counted_option_file.h"

namespace serivane {

// The PDE calibration objectives a host's optimiser calls: the root-mean-square difference
// between the model implied volatilities of the 2-D PDE pricer and the market implied
// volatilities of the counted quotes of "OptionsData.txt" (program folder). Two ways to price:
// option by option with the robust single-option pricer in an OpenMP loop over cost-balanced
// buckets, or expiry by expiry with the robust strike-list pricer, one expiration after another.
// The exported C functions are declared in calibration/exports/serivane.h; what they are built from
// is declared here.

// Failure values of the objectives (see calibration/exports/serivane.h).
inline constexpr double kNoQuoteFileValue = 10000.0;  // "OptionsData.txt" cannot be opened
inline constexpr double kBadQuoteFileValue = -999.0;  // count and records disagree, or no quote
inline constexpr double kErrorValue = 0.0;            // an error, recorded in the pricing log

// The work limit of one evaluation, in units of about one node-step of an ADI solver (10 to 25 ns
// on one core): every pricing's first solve (firstSolveWork), kPricingOverheadWork for each
// pricing (its grids, pricer, volatility inversion and log records) and kVarianceBoundWork for
// each 1-D variance-bound solve, summed, stay within kMaxObjectiveWork, about 10 s on one core.
// An evaluation beyond it is refused before anything is priced. The count of "OptionsData.txt"
// is refused above kMaxCountedQuotes before its records are read.
inline constexpr std::int64_t kMaxObjectiveWork = 400000000;
inline constexpr std::int64_t kPricingOverheadWork = 20000;
inline constexpr std::int64_t kVarianceBoundWork = 50000;  // 800 cells, 50 steps: about 1 ms

// The work of a pricing's first solve on NS by NV intervals and NT time steps by methodID in run
// mode runMode, as the single-option pricer counts it (pdeSolveWork, calibration/exports/
// export_args.h) on the sizes the robust pricers start on.
std::int64_t firstSolveWork(int NS, int NV, int NT, int methodID, int runMode);

// Arguments 1-13 of the objectives.
struct PdeObjectiveArgs {
  double v0 = 0.0;
  double vL = 0.0;
  double theta = 0.0;  // mean-reversion speed
  double volvol = 0.0;
  double rho = 0.0;
  int NS = 0;                // asset intervals (base)
  int NV = 0;                // variance intervals (base)
  int NT = 0;                // time steps (base)
  int methodID = 0;          // solver method id
  int precisionCode = 0;     // 1 -> run mode 3, 2 -> run mode 5, other -> run mode 4
  double sRangeParam = 0.0;  // handed to the pricer unchanged
  double level = 0.0;        // below 1.0: quantile level of the variance bounds; else varRange
  int volvolWidening = 0;    // handed to the pricer unchanged
};

// One quote of the option-by-option objective with its grid and cost.
struct OptionWorkItem {
  int index = 0;  // reading order
  double marketIV = 0.0;
  double S = 0.0;
  double K = 0.0;
  double T = 0.0;
  double r = 0.0;
  double d = 0.0;
  std::int32_t CallPut = 0;
  std::int32_t EuroAmer = 0;
  int NS = 0;
  int NV = 0;
  int NT = 0;
  double cost = 1.0;         // relative grid cost, the dealing key
  double level = 0.0;        // quantile level (the argument)
  double boundFactor = 1.0;  // f = max(1, 3 - 0.5 theta T)
};

// The work items of the option-by-option objective, in reading order: the base grid, raised
// for out-of-the-money calls by the market price band, the time steps scaled by T, the cost of
// each relative to the base grid. totalCost receives the sum of the costs.
std::vector<OptionWorkItem> makeOptionWorkItems(const std::vector<HestonQuote>& quotes,
                                                const PdeObjectiveArgs& args,
                                                double& totalCost);

// Sorts the quotes by (T, K) (stable: equal pairs stay in reading order) and makes one group per
// expiration and exercise style, ascending, priced as puts (CallPut 1) under that style; S, r and
// d of a group are those of its last quote. An American call (EuroAmer 1, CallPut 0) is a group
// of its own, priced as a call (CallPut 0). The groups come in the (T, K) order of their first
// quotes.
std::vector<ExpiryWorkItem> groupQuotesByExpiry(std::vector<HestonQuote> quotes);

// Grid, time steps, bound factor and cost of every group (five price bands against S); returns
// the total cost.
double sizeExpiryWorkItems(std::vector<ExpiryWorkItem>& groups, const PdeObjectiveArgs& args);

// The variance ranges handed to the pricer. For variance diffusion (model other than 0) with a
// quantile level below 1.0: the upper quantile of the variance at each distinct expiration and
// of its stationary law, from the 1-D variance PDE; the range of an expiration is then
// minus max(0.1 B, min(B, b_k f)), an explicit upper bound between a tenth of the stationary
// quantile B and B itself, raised where B falls short of the range the variance path from v0
// needs over the expiry (expiryVarianceBound). Otherwise the level itself, as the pricer's coverage
// probability. The 1-D PDE is the law of the variance diffusion dv = kappa (vL - v) dt + xi v dW:
// for the square-root model (model 0) its quantiles are far too small (xi v against xi sqrt(v)) and
// would cut the variance axis inside the bulk of the law, so that model gets the pricer's own bound
// from its non-central chi-square law.
class VarianceRanges {
 public:
  // Solves the bounds (one solver per expiration, over OpenMP threads) when they are used.
  // Throws std::runtime_error with the message of the first expiration whose solve failed.
  VarianceRanges(const std::vector<double>& expirations, const PdeObjectiveArgs& args, int model);

  // The pricer's varRange for a quote or group of expiration T (one of the expirations).
  double forExpiry(double T, double boundFactor) const;

  const std::vector<double>& bounds() const { return bounds_; }
  double stationary() const { return stationary_; }

 private:
  double level_;
  bool bounded_;                     // the bounds are solved and used
  std::vector<double> expirations_;  // distinct, ascending
  std::vector<double> bounds_;       // one per expiration (empty when not bounded_)
  double stationary_ = 0.0;
  double v0_, vL_, kappa_, xi_;  // the variance law's parameters, for the path's need
};

// One evaluation of the option-by-option objective (GARCH_VanillaPDECalibration) and of the
// expiry-by-expiry one (GARCH_VanillaPDECalibrationM, strip mode stripMode), hostModel as the
// export received it: the objective's value or the exports' failure value, never an exception.
double optionByOption(const PdeObjectiveArgs& a, int hostModel);
double expiryByExpiry(const PdeObjectiveArgs& a, int stripMode, int hostModel);

// Each T of the quotes once (exact equality), ascending.
std::vector<double> distinctExpirations(const std::vector<HestonQuote>& quotes);

}  // namespace serivane

#endif  // SERIVANE_CALIBRATION_OBJECTIVES_PDE_OBJECTIVES_H_
