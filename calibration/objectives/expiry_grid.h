#ifndef SERIVANE_CALIBRATION_OBJECTIVES_EXPIRY_GRID_H_
#define SERIVANE_CALIBRATION_OBJECTIVES_EXPIRY_GRID_H_

#include <cstdint>
#include <vector>

namespace serivane {

// The grid and the cost estimate of one expiration's strike-list solve, shared by the
// calibration's model function and the expiry-by-expiry host objective: the cheaper the
// cheapest quote of the expiration against the spot, the finer the grid, and the cost is the
// grid's size relative to the base grid, which is what the work is scheduled by.

// One price band: the cheapest quote price P of an expiration lies in it when
// lower S < P <= upper S (the first band: P < upper S; the last: P <= upper S with no lower
// bound); the expiration's grid then has at least NS asset and NV variance intervals.
struct ExpiryPriceBand {
  double lowerOverSpot;  // exclusive; 0 for the last band, which has no lower end
  double upperOverSpot;
  int NS;
  int NV;
};

inline constexpr int kExpiryPriceBandCount = 5;
// The grid's pricing error near the money is roughly fixed in absolute terms, so the cheaper the
// cheapest quote, the larger its share of the price and of the implied volatility fitted to it.
// Each band is a step of about three to seven times down in price, and takes the next finer grid.
inline constexpr ExpiryPriceBand kExpiryPriceBands[kExpiryPriceBandCount] = {
    // Under half a percent of the spot: the base grid's error starts to show in the implied
    // volatility.
    {0.00075, 0.005, 120, 70},
    // Under 7.5 basis points: the quote lies in the far wing, where the base asset grid is coarse.
    {0.0002, 0.00075, 160, 80},
    // Under 2 basis points: a few cents on a spot of 100.
    {0.0001, 0.0002, 200, 80},
    // Under 1 basis point the grid stays; the model function raises the variance quantile level
    // for these prices instead, as they depend on the upper tail of the variance.
    {3.5e-5, 0.0001, 200, 80},
    // Under 0.35 basis points: the finest grid.
    {0.0, 3.5e-5, 300, 100},
};

// The grid of one expiration and its cost relative to the base grid.
struct ExpiryGrid {
  int NS;
  int NV;
  int NT;
  double cost;
};

// max(NT, (int)(NT T)): the time steps scale with the expiration. Safe for any T: a product
// beyond the int range is capped, a NaN one leaves NT.
int timeStepsForExpiry(int NT, double T);

// The grid of an expiration of time T whose cheapest quote costs P at spot S, on the base grid
// NS0 x NV0 x NT0: every band that holds raises NS then NV, the cost taking each ratio to the
// base as it is raised; the time steps scale with T and the cost with (1 + 0.015 NT) /
// (1 + 0.015 NT0), the share of the work that grows with the steps.
ExpiryGrid sizeExpiryGrid(double P, double S, double T, int NS0, int NV0, int NT0);

// One expiration of a chain as one unit of work, for the calibration's model function and the
// expiry-by-expiry objective alike: its quotes as one strike list, priced as puts, with the
// market data of the expiration, its grid and cost, and what sizes its variance range.
struct ExpiryWorkItem {
  std::int32_t index = 0;              // position among the groups, by ascending expiration
  double refPrice = 1e10;              // smallest market BSM price of the expiration's quotes
  double spot = 0.0;                   // spot of the expiration's last quote
  std::vector<double> strikes;         // ascending; equal strikes are all kept
  std::vector<std::int32_t> putFlags;  // the quotes' own call/put flags (the objective's)
  std::vector<double> marketIVs;       // market implied volatilities, same order as the strikes
  double T = 0.0;                      // expiration in years
  double r = 0.0;                      // rate of the expiration's last quote
  double d = 0.0;                      // dividend yield of the expiration's last quote
  std::int32_t CallPut = 1;            // strike lists are priced as puts (an American call of the
                                       // expiry-by-expiry objective alone, as a call: 0)
  std::int32_t EuroAmer = 0;
  std::int32_t NS = 0;  // the grid of the expiration
  std::int32_t NV = 0;
  std::int32_t NT = 0;
  double cost = 1.0;         // load-balancing weight (relative grid cost)
  double level = 0.0;        // quantile level of the variance range (the model function's)
  double rangeFactor = 1.0;  // f = max(1, 3 - 0.5 kappa T), widening the variance bound
};

// Sizes item from the base grid NS0 x NV0 x NT0 (sizeExpiryGrid on its reference price and
// spot) and sets its range factor for the mean-reversion speed kappa.
void sizeExpiryWorkItem(ExpiryWorkItem& item, int NS0, int NV0, int NT0, double kappa);

// The explicit upper variance bound of an expiration T (the pricer's varRange is minus it) at
// the quantile level `level`, from the stationary quantile B and the expiration's quantile bT of
// the 1-D variance law, with the range factor f: max(0.1 B, min(B, bT f)) where the stationary
// quantile B gives the variance path from v0 over the expiry the range it needs
// (pathCoverageNeed, core/variance_bounds.h) or bT f stays below B; where B falls short of that
// need and bT f lies above B (v0 far above vL, or a large xi over a short expiry, take the
// variance well beyond the stationary quantile), the larger of that and three times the need.
double expiryVarianceBound(double B,
                           double bT,
                           double f,
                           double level,
                           double T,
                           double v0,
                           double vL,
                           double kappa,
                           double xi);

}  // namespace serivane

#endif  // SERIVANE_CALIBRATION_OBJECTIVES_EXPIRY_GRID_H_
