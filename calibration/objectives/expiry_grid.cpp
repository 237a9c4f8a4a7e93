#include "calibration/objectives/expiry_grid.h"

#include <algorithm>
#include <climits>

namespace serivane {

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

}  // namespace serivane
