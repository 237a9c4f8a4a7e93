// The power-law model (variance diffusion with exponent p other than 1) on every solver variant:
// each prices the exponent it is given, so that p = 0.8 moves the price well beyond the grid's
// error and all variants agree on the p = 0.8 price as closely as they do on the p = 1 one.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <valarray>
#include <vector>

#include "pde2d/solver_fixtures.h"
#include "pde2d/solver_methods.h"

namespace serivane {

namespace {

using namespace solver_fixtures;

// A large volatility of variance, where the exponent matters: v^0.8 > v below v = 1 makes the
// variance more volatile than under p = 1.
const Model kModel{0.04, 0.05, 2.0, 1.2, -0.6};

struct OptionCase {
  const char* label;
  double K;
  int CallPut, EuroAmer;
};

TEST(PowerLaw, EveryMethodPricesTheExponent) {
  const OptionCase options[] = {
      {"european put at the money", 100.0, 1, 0},
      {"european call out of the money", 110.0, 0, 0},
      {"american put in the money", 110.0, 1, 1},
  };
  for (const OptionCase& c : options) {
    Option o;
    o.K = c.K;
    o.T = 0.5;
    o.CallPut = c.CallPut;
    o.EuroAmer = c.EuroAmer;
    // A fine solve of each exponent by the sparse-direct ladder on the log-asset grid (which has
    // always priced p): the reference both exponents' prices are held to.
    const double ref1 = solveOnce(*makePricer(kModel, o, 120, 60, 60, 15, 1, 1.0)).price;
    const double ref08 = solveOnce(*makePricer(kModel, o, 120, 60, 60, 15, 1, 0.8)).price;
    ASSERT_GT(std::fabs(ref1 - ref08), 0.05) << c.label;
    for (const SolverMethod& m : kSolverMethods) {
      const std::string what = std::string(c.label) + ", method " + std::to_string(m.id);
      const double p1 = solveOnce(*makePricer(kModel, o, 60, 30, 30, m.id, 1, 1.0)).price;
      const double p08 = solveOnce(*makePricer(kModel, o, 60, 30, 30, m.id, 1, 0.8)).price;
      // The exponent moves the price the way the reference says, by far more than the grid's
      // error.
      EXPECT_GT((p1 - p08) * (ref1 - ref08), 0.0) << what;
      EXPECT_NEAR(p1 - p08, ref1 - ref08, 0.2 * std::fabs(ref1 - ref08)) << what;
      EXPECT_NEAR(p08, ref08, 0.02) << what;
    }
  }
}

// A strike list carries its exponent to the variants that price strike lists, as a single strike
// does to every variant.
TEST(PowerLaw, StrikeListsPriceTheExponent) {
  const std::vector<double> strikes{90.0, 100.0, 115.0};
  for (int id : {1, 2, 3, 10, 12, 13, 14, 15}) {
    const auto p1 = makeListPricer(kModel, strikes, 0.5, 60, id, 1, false, 3, 1.0);
    const auto p08 = makeListPricer(kModel, strikes, 0.5, 60, id, 1, false, 3, 0.8);
    solveOnce(*p1);
    solveOnce(*p08);
    const std::valarray<double> c1 = p1->getStrikePrices(), c08 = p08->getStrikePrices();
    ASSERT_EQ(c1.size(), strikes.size()) << "method " << id;
    ASSERT_EQ(c08.size(), strikes.size()) << "method " << id;
    for (std::size_t k = 0; k < strikes.size(); ++k) {
      Option o;
      o.K = strikes[k];
      o.T = 0.5;
      o.CallPut = strikes[k] <= kS0 ? 1 : 0;
      const double single08 = solveOnce(*makePricer(kModel, o, 60, 30, 30, 15, 1, 0.8)).price;
      const double single1 = solveOnce(*makePricer(kModel, o, 60, 30, 30, 15, 1, 1.0)).price;
      EXPECT_NEAR(c08[k], single08, 0.05) << "method " << id << " strike " << strikes[k];
      EXPECT_NEAR(c1[k] - c08[k], single1 - single08, 0.3 * std::fabs(single1 - single08) + 5e-3)
          << "method " << id << " strike " << strikes[k];
    }
  }
}

}  // namespace

}  // namespace serivane
