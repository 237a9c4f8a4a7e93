#include "calibration/objectives/expiry_grid.h"

#include <algorithm>
#include <climits>

#include "core/variance_bounds.h"

namespace serivane {

namespace {

// The expiry bound takes this many times the path's need where it raises the stationary cap. The
// need is the single-option pricer's share of the path's quantile; a strike list's far strikes
// take more of the variance tail: at xi 19 to 30, 14 to 60 days, once the need still moved the
// model IVs by up to 1.3 bp when doubled, three times it by 0.2 bp at most.
constexpr double kPathNeedFactor = 3.0;

}  // namespace

int timeStepsForExpiry(int NT, double T) {
  const double scaled = static_cast<double>(NT) * T;
  if (!(scaled > NT)) return NT;
  return scaled >= static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int>(scaled);
}

ExpiryGrid sizeExpiryGrid(double P, double S, double T, int NS0, int NV0, int NT0) {
  const double ns0 = NS0, nv0 = NV0, nt0 = NT0;
  ExpiryGrid grid{NS0, NV0, 0, 1.0};
  for (int k = 0; k < kExpiryPriceBandCount; ++k) {
    const ExpiryPriceBand& band = kExpiryPriceBands[k];
    const bool first = k == 0;
    const bool last = k == kExpiryPriceBandCount - 1;
    const bool aboveLower = last || band.lowerOverSpot * S < P;
    const bool belowUpper = first ? P < band.upperOverSpot * S : P <= band.upperOverSpot * S;
    if (!(aboveLower && belowUpper)) continue;
    grid.NS = std::max(grid.NS, band.NS);
    grid.cost *= grid.NS / ns0;
    grid.NV = std::max(grid.NV, band.NV);
    grid.cost *= grid.NV / nv0;
  }
  grid.NT = timeStepsForExpiry(NT0, T);
  grid.cost *= (1.0 + 0.015 * grid.NT) / (1.0 + 0.015 * nt0);
  return grid;
}

void sizeExpiryWorkItem(ExpiryWorkItem& item, int NS0, int NV0, int NT0, double kappa) {
  const ExpiryGrid grid = sizeExpiryGrid(item.refPrice, item.spot, item.T, NS0, NV0, NT0);
  item.NS = grid.NS;
  item.NV = grid.NV;
  item.NT = grid.NT;
  item.cost = grid.cost;
  item.rangeFactor = std::max(1.0, 3.0 - 0.5 * kappa * item.T);
}

double expiryVarianceBound(double B,
                           double bT,
                           double f,
                           double level,
                           double T,
                           double v0,
                           double vL,
                           double kappa,
                           double xi) {
  const double stationaryCapped = std::max(0.1 * B, std::min(B, bT * f));
  if (!(bT * f > B)) return stationaryCapped;
  const double need = pathCoverageNeed(level, T, v0, vL, kappa, xi);
  if (!(need > B)) return stationaryCapped;
  return std::max(stationaryCapped, kPathNeedFactor * need);
}

}  // namespace serivane
