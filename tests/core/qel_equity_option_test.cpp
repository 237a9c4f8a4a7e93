#include "core/qel_equity_option.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <valarray>

#include "qel_heston_vanilla_test_util.h"

namespace serivane {

namespace {

// The smallest concrete pricer: the base class alone.
class BareOption : public QelEquityOption {
 public:
  explicit BareOption(bool cluster)
      : QelEquityOption(100.0, 1.0, 0.2, 0.03, 0.01, 8, 20, 0, 3, 1, 0, 0.0, cluster, 0, 0, 0.0) {}
  void solve(std::valarray<double>&,
             std::valarray<double>&,
             std::valarray<double>&,
             std::valarray<double>&,
             std::valarray<double>&,
             double&) override {}
  int getNodeCount() const override { return NS; }
  void buildSGrid(std::valarray<double>&) override {}
};

// V(S) = 3 - 0.7 S + 0.05 S^2: delta = -0.7 + 0.1 S, gamma = 0.1.
double quadratic(double S) { return 3.0 - 0.7 * S + 0.05 * S * S; }
double quadraticDelta(double S) { return -0.7 + 0.1 * S; }
constexpr double kQuadraticGamma = 0.1;

}  // namespace

TEST(QelEquityOption, ConstructionAndSetters) {
  BareOption o(false);
  const std::valarray<double> s = o.getSummary();
  ASSERT_EQ(s.size(), 6u);
  for (double x : s) EXPECT_EQ(x, 0.0);
  EXPECT_EQ(o.getStrikePrices().size(), 0u);
  EXPECT_EQ(o.getStrikeIVs().size(), 0u);
  EXPECT_EQ(o.NS0, 8);
  EXPECT_FALSE(o.gridValid);

  o.gridValid = true;
  o.setNT(33);
  EXPECT_EQ(o.NT, 33);
  EXPECT_TRUE(o.gridValid) << "setNT leaves the grid valid";
  o.setNS(40);
  EXPECT_EQ(o.NS, 40);
  EXPECT_EQ(o.NS0, 8) << "setNS leaves NS0";
  EXPECT_FALSE(o.gridValid);

  o.setMaturity(2.5);
  EXPECT_EQ(o.T, 2.5);
  o.bumpVol(0.01);
  EXPECT_DOUBLE_EQ(o.sigma, 0.21);
}

// Greeks of a quadratic are exact on every grid kind, ends included.
TEST(QelEquityOption, GreeksExactOnQuadratics) {
  // Grids from the builders: plain (uniform), clustered at the strike, log-asset.
  PricerData plainData;
  plainData.clusterAtStrike = false;
  plainData.sRangeParam = 250.0;
  auto plain = makePricer(plainData);
  auto clustered = makePricer(PricerData{});
  auto logGrid = makePricer(PricerData{});
  std::valarray<double> g;
  plain->buildSGridPlain(g, false);
  clustered->buildSGridAtStrike(g, 4.5, false);
  logGrid->buildLogSGrid(g, 4.5, false);

  // A uniform grid of step 2 whose first cell is 1.5 steps long.
  BareOption shifted(false);
  shifted.grid.resize(9);
  for (int i = 1; i <= 8; ++i) shifted.grid[i] = 20.0 + 2.0 * i;
  shifted.grid[0] = shifted.grid[1] - 3.0;
  // Hand-made non-uniform grid with the smallest size the formulas accept.
  BareOption tiny(true);
  tiny.NS = 4;
  tiny.grid = {1.0, 1.5, 2.6, 2.9, 4.0};
  // A grid clustered at the strike in a pricer whose flag asks for none: the Greeks follow the
  // grid that is there.
  PricerData unflaggedData;
  unflaggedData.clusterAtStrike = false;
  auto unflagged = makePricer(unflaggedData);
  unflagged->buildSGridAtStrike(g, 4.5, false);
  BareOption tinyUnflagged(false);
  tinyUnflagged.NS = 4;
  tinyUnflagged.grid = {1.0, 1.5, 2.6, 2.9, 4.0};

  struct Case {
    std::string label;
    QelEquityOption* option;
    bool logS;
  };
  const Case cases[] = {
      {"uniform", plain.get(), false},
      {"clustered", clustered.get(), false},
      {"log grid", logGrid.get(), true},
      {"shifted first cell", &shifted, false},
      {"five nodes", &tiny, false},
      {"clustered grid, flag off", unflagged.get(), false},
      {"five nodes, flag off", &tinyUnflagged, false},
  };
  for (const Case& c : cases) {
    QelEquityOption& o = *c.option;
    const int N = o.NS;
    std::valarray<double> S(N + 1);
    for (int i = 0; i <= N; ++i) S[i] = c.logS ? std::exp(o.grid[i]) : o.grid[i];
    o.values.resize(N + 1);
    for (int i = 0; i <= N; ++i) o.values[i] = quadratic(S[i]);
    std::valarray<double> delta(N + 1), gamma(N + 1);
    if (c.logS) {
      o.calcGreeksLogS(delta, gamma);
    } else {
      o.calcGreeksS(delta, gamma);
    }
    // Rounding of V ~ 0.05 S^2 over cells of a few units.
    const double scale = 0.05 * S[N] * S[N];
    for (int i = 0; i <= N; ++i) {
      const double h = i > 0 ? S[i] - S[i - 1] : S[1] - S[0];
      EXPECT_NEAR(delta[i], quadraticDelta(S[i]), 1e-12 * scale / h) << c.label << " node " << i;
      EXPECT_NEAR(gamma[i], kQuadraticGamma, 1e-11 * scale / (h * h)) << c.label << " node " << i;
    }
  }
}

TEST(QelEquityOption, GreeksInputChecks) {
  BareOption o(true);
  o.NS = 3;
  o.grid = {1.0, 2.0, 3.0, 4.0};
  o.values = {1.0, 4.0, 9.0, 16.0};
  std::valarray<double> delta, gamma;
  expectThrowsMessage([&] { o.calcGreeksS(delta, gamma); },
                      "the Greeks need an asset grid of at least five nodes");
  o.NS = 5;
  o.grid = {1.0, 2.0, 3.0, 4.0, 5.0};
  expectThrowsMessage([&] { o.calcGreeksLogS(delta, gamma); },
                      "the Greeks need grid and values of NS + 1 entries");
  // Result arrays that are too small are sized by the call.
  o.grid = {1.0, 2.0, 3.0, 4.0, 5.0, 6.0};
  o.values = {1.0, 4.0, 9.0, 16.0, 25.0, 36.0};
  o.calcGreeksS(delta, gamma);
  ASSERT_EQ(delta.size(), 6u);
  EXPECT_NEAR(delta[5], 12.0, 1e-12);
  EXPECT_NEAR(gamma[0], 2.0, 1e-12);
}

}  // namespace serivane
