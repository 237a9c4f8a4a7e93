#include "calibration/objectives/expiry_grid.h"

#include <gtest/gtest.h>

#include <vector>

#include "calibration/objectives/model_ivs.h"
#include "calibration/objectives/pde_objectives.h"

namespace serivane {

namespace {

// The bands tile the price axis: each one ends where the next begins, and the grids grow from
// one band to the next, so that a cheaper expiration never gets a coarser grid.
TEST(ExpiryGrid, BandsTileThePriceAxisAndRefineDownwards) {
  for (int k = 0; k + 1 < kExpiryPriceBandCount; ++k) {
    EXPECT_EQ(kExpiryPriceBands[k].lowerOverSpot, kExpiryPriceBands[k + 1].upperOverSpot) << k;
    EXPECT_LE(kExpiryPriceBands[k].NS, kExpiryPriceBands[k + 1].NS) << k;
    EXPECT_LE(kExpiryPriceBands[k].NV, kExpiryPriceBands[k + 1].NV) << k;
  }
  EXPECT_EQ(kExpiryPriceBands[kExpiryPriceBandCount - 1].lowerOverSpot, 0.0);
}

// The model function and the expiry-by-expiry objective size an expiration alike: the same grid
// and cost for prices on, just above and just below every band edge, and for long expirations.
TEST(ExpiryGrid, ModelFunctionAndHostObjectiveSizeAlike) {
  const double S = 100.0;
  std::vector<double> prices = {1.0, 0.8};
  for (const ExpiryPriceBand& band : kExpiryPriceBands) {
    const double edge = band.upperOverSpot * S;
    prices.insert(prices.end(), {edge * (1.0 + 1e-12), edge, edge * (1.0 - 1e-12)});
  }
  prices.push_back(1e-6);
  const CalibrationSettings settings{60, 30, 30, 2, 2, 1, 1, 1, 1};
  PdeObjectiveArgs args;
  args.NS = 60;
  args.NV = 30;
  args.NT = 30;
  args.theta = 2.0;
  for (const double T : {0.1, 0.5, 2.0, 3.7}) {
    for (const double P : prices) {
      const ExpiryGrid grid = sizeExpiryGrid(P, S, T, 60, 30, 30);
      std::vector<ExpiryWorkItem> groups(1);
      groups[0].refPrice = P;
      groups[0].spot = S;
      groups[0].T = T;
      sizeExpiryGroups(groups, settings, 0.9999975, 2.0);
      std::vector<ExpiryWorkItem> items(1);
      items[0].refPrice = P;
      items[0].spot = S;
      items[0].T = T;
      sizeExpiryWorkItems(items, args);
      for (const auto& got :
           {std::vector<double>{
                double(groups[0].NS), double(groups[0].NV), double(groups[0].NT), groups[0].cost},
            std::vector<double>{
                double(items[0].NS), double(items[0].NV), double(items[0].NT), items[0].cost}}) {
        EXPECT_EQ(
            got,
            (std::vector<double>{double(grid.NS), double(grid.NV), double(grid.NT), grid.cost}))
            << "P " << P << ", T " << T;
      }
    }
  }
  // The edges themselves: exactly 0.005 S raises nothing, exactly 0.00075 S is in the 160/80
  // band, and the time steps follow T.
  EXPECT_EQ(sizeExpiryGrid(0.5, S, 0.5, 60, 30, 30).NS, 60);
  EXPECT_EQ(sizeExpiryGrid(0.075, S, 0.5, 60, 30, 30).NS, 160);
  EXPECT_EQ(sizeExpiryGrid(0.075, S, 0.5, 60, 30, 30).NV, 80);
  EXPECT_EQ(sizeExpiryGrid(0.5, S, 2.0, 60, 30, 30).NT, 60);
}

}  // namespace

}  // namespace serivane
