#include "core/qel_heston_vanilla.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <valarray>
#include <vector>

#include "core/dense_matrix.h"
#include "qel_heston_vanilla_test_util.h"

namespace serivane {

namespace {

// A strike-list pricer by method 12 with the strip flag set, on the grid (60, 20, 30).
std::unique_ptr<QelHestonVanilla> makeStrikeList(std::vector<double> strikes,
                                                 double model = 1.0,
                                                 double p = 0.8) {
  PricerData a;
  a.T = 0.5;
  a.volvol = 0.9;
  a.model = model;
  a.NS = 60;
  a.NV = 20;
  a.NT = 30;
  a.methodID = 12;
  a.p = p;
  return makeListPricer(a, strikes, true);
}

}  // namespace

TEST(QelHestonVanilla, OneStrikeConstructorStoresItsArguments) {
  PricerData a;
  a.S0 = 95.0;
  a.K = 105.0;
  a.sRangeParam = 1.5;
  a.varRange = -0.6;
  a.volvolWidening = true;
  auto o = makePricer(a);
  EXPECT_EQ(o->S0, 95.0);
  EXPECT_EQ(o->K, 105.0);
  EXPECT_EQ(o->T, 1.0);
  EXPECT_EQ(o->sigma, 0.0);
  EXPECT_EQ(o->volvol, 1.0);
  EXPECT_EQ(o->v0, 0.04);
  EXPECT_EQ(o->vL, 0.05);
  EXPECT_EQ(o->theta, 2.0);
  EXPECT_EQ(o->rho, -0.5);
  EXPECT_EQ(o->model, 1);
  EXPECT_EQ(o->p, 1.0) << "one-strike objects carry the GARCH diffusion exponent";
  EXPECT_EQ(o->NS, 100);
  EXPECT_EQ(o->NS0, 100);
  EXPECT_EQ(o->NV, 30);
  EXPECT_EQ(o->NT, 50);
  EXPECT_EQ(o->sRangeParam, 1.5);
  EXPECT_EQ(o->varRange, -0.6);
  EXPECT_TRUE(o->volvolWidening);
  EXPECT_EQ(o->methodID, 2);
  EXPECT_TRUE(o->strikes.empty());
  EXPECT_FALSE(o->multiStrike);
  EXPECT_EQ(o->vGrid.size(), 0u);
  EXPECT_EQ(o->getNodeCount(), 100);
  // resetState defaults.
  EXPECT_EQ(o->sConcentration, 4.5);
  EXPECT_EQ(o->logSParam, 0.025);
  EXPECT_EQ(o->vGridMode, 0);
  EXPECT_FALSE(o->damping);
  EXPECT_FALSE(o->useSinhVGrid);
  EXPECT_FALSE(o->gridValid);
}

TEST(QelHestonVanilla, StrikeListConstructor) {
  struct Case {
    std::string label;
    std::vector<double> strikes;
    std::vector<double> sorted;
    double K;
    bool multi;
  };
  const Case cases[] = {
      {"empty list prices at the spot", {}, {}, 100.0, false},
      {"one strike", {90.0}, {90.0}, 90.0, false},
      {"sorted, smallest is K", {110.0, 90.0, 100.0}, {90.0, 100.0, 110.0}, 90.0, true},
      {"equal strikes stay", {100.0, 95.0, 100.0}, {95.0, 100.0, 100.0}, 95.0, true},
  };
  for (const Case& c : cases) {
    auto o = makeStrikeList(c.strikes);
    EXPECT_EQ(o->strikes, c.sorted) << c.label;
    EXPECT_EQ(o->K, c.K) << c.label;
    EXPECT_EQ(o->multiStrike, c.multi) << c.label;
    EXPECT_EQ(o->p, 0.8) << c.label;
    EXPECT_TRUE(o->stripFlag) << c.label;
    EXPECT_EQ(o->methodID, 12) << c.label;
  }
}

TEST(QelHestonVanilla, ModelIsRoundedHalfAwayFromZero) {
  const struct {
    double param;
    int model;
  } cases[] = {{0.5, 1}, {0.49, 0}, {1.0, 1}, {0.0, 0}, {1.49, 1}};
  for (const auto& c : cases) {
    EXPECT_EQ(makeStrikeList({100.0}, c.param)->model, c.model) << "params[5] = " << c.param;
  }
  const std::valarray<double> five = {1.0, 0.04, 0.05, 2.0, -0.5};
  expectThrowsMessage(
      [&] {
        QelHestonVanilla o(100.0,
                           100.0,
                           1.0,
                           five,
                           0.0,
                           0.0,
                           10,
                           10,
                           10,
                           1,
                           3,
                           1,
                           0,
                           {},
                           {},
                           true,
                           0.0,
                           0.0,
                           0.99,
                           0,
                           true,
                           0,
                           0.0,
                           2,
                           false);
      },
      "params must hold six values: volvol, v0, vL, theta, rho, model");
}

TEST(QelHestonVanilla, ResetStateExerciseFlags) {
  struct Case {
    std::string label;
    int CallPut, EuroAmer, nExercise, exerciseMode;
    bool american, bermudan;
    int expectedMode;
  };
  const Case cases[] = {
      {"european", 1, 0, 0, 0, false, false, 0},
      {"american put", 1, 1, 0, 0, true, false, 0},
      {"EuroAmer 3 is european", 1, 3, 0, 0, false, false, 0},
      {"bermudan call, 4 dates", 0, 2, 4, 0, false, true, 2},
      {"bermudan put keeps its mode", 1, 2, 4, 1, false, true, 1},
      {"bermudan call, one date", 0, 2, 1, 1, false, true, 1},
  };
  for (const Case& c : cases) {
    PricerData a;
    a.CallPut = c.CallPut;
    a.EuroAmer = c.EuroAmer;
    a.nExercise = c.nExercise;
    a.exerciseMode = c.exerciseMode;
    auto o = makePricer(a);
    EXPECT_EQ(o->american, c.american) << c.label;
    EXPECT_EQ(o->bermudan, c.bermudan) << c.label;
    EXPECT_EQ(o->exerciseMode, c.expectedMode) << c.label;
  }

  // resetState clears the placement and the per-solve switches, but not nVStretch.
  auto o = makePricer(PricerData{});
  o->strikeNodeIndex = 7;
  o->sGridA = o->sGridB = o->vGridA = o->vGridB = 0.3;
  o->iToV0 = 5;
  o->nVStretch = 9;
  o->damping = o->useSinhVGrid = true;
  o->vGridMode = 1;
  o->sConcentration = 8.0;
  o->logSParam = 0.1;
  o->resetState();
  EXPECT_EQ(o->strikeNodeIndex, 0);
  EXPECT_EQ(o->sGridA + o->sGridB + o->vGridA + o->vGridB, 0.0);
  EXPECT_EQ(o->iToV0, 0);
  EXPECT_EQ(o->nVStretch, 9);
  EXPECT_FALSE(o->damping || o->useSinhVGrid);
  EXPECT_EQ(o->vGridMode, 0);
  EXPECT_EQ(o->sConcentration, 4.5);
  EXPECT_EQ(o->logSParam, 0.025);
}

TEST(QelHestonVanilla, PayoffAndSmoothingOnTheAssetGrid) {
  // Uniform grid of step h = 2 with the strike 100 on node 50.
  const double h = 2.0;
  struct Case {
    std::string label;
    int CallPut;
    double K;
    int smoothedNode;
    double smoothedValue;
  };
  const Case cases[] = {
      {"call, strike on a node", 0, 100.0, 50, h / 8.0},
      {"put, strike on a node", 1, 100.0, 50, h / 8.0},
      {"call at a mid-point smooths the lower node", 0, 101.0, 50, 0.0},
      {"put at a mid-point smooths the lower node", 1, 101.0, 50, (101.0 - 99.0) * 1.0 / h},
      {"call, strike above a mid-point", 0, 101.5, 51, (103.0 - 101.5) * (103.0 - 101.5) / (2 * h)},
      {"CallPut 2 is a call, unsmoothed", 2, 100.0, 50, 0.0},
      {"strike below the interior cells", 1, 0.5, -1, 0.0},
  };
  for (const Case& c : cases) {
    PricerData a;
    a.K = c.K;
    a.CallPut = c.CallPut;
    auto o = makePricer(a);
    o->nSNodes = 101;
    o->grid.resize(101);
    for (int i = 0; i <= 100; ++i) o->grid[i] = i * h;
    o->setPayoffS();
    ASSERT_EQ(o->payoff.size(), 101u) << c.label;
    for (int i = 0; i <= 100; ++i) {
      const double S = o->grid[i];
      const double expected = c.CallPut == 1 ? std::max(c.K - S, 0.0) : std::max(S - c.K, 0.0);
      EXPECT_EQ(o->payoff[i], expected) << c.label << " node " << i;
    }
    o->smoothPayoffS();
    for (int i = 0; i <= 100; ++i) {
      const double expected = i == c.smoothedNode ? c.smoothedValue : o->payoff[i];
      EXPECT_NEAR(o->values[i], expected, 1e-14) << c.label << " node " << i;
    }
  }
}

TEST(QelHestonVanilla, PayoffAndSmoothingOnTheLogGrid) {
  auto o = makePricer(PricerData{});
  const double dx = 0.01;
  o->nSNodes = 201;
  o->grid.resize(201);
  // ln K = ln 100 sits 0.3 dx above node 100.
  const double x0 = std::log(100.0) - 1.0 - 0.003;
  for (int i = 0; i <= 200; ++i) o->grid[i] = x0 + i * dx;
  const double k = std::log(100.0);
  const double l = x0 + 99.5 * dx, u = x0 + 100.5 * dx;
  for (int callPut : {0, 1}) {
    o->CallPut = callPut;
    o->setPayoffLogS();
    EXPECT_DOUBLE_EQ(o->payoff[150],
                     callPut ? std::max(100.0 - std::exp(o->grid[150]), 0.0)
                             : std::max(std::exp(o->grid[150]) - 100.0, 0.0));
    o->smoothPayoffLogS();
    // Mid-point rule over the in-the-money part of the cell, in log length.
    const double expected = callPut == 0 ? (u - k) * (std::exp((u + k) / 2) - 100.0) / (u - l)
                                         : (k - l) * (100.0 - std::exp((l + k) / 2)) / (u - l);
    EXPECT_NEAR(o->values[100], expected, 1e-12) << "CallPut " << callPut;
    EXPECT_EQ(o->values[99], o->payoff[99]);
    EXPECT_EQ(o->values[101], o->payoff[101]);
  }
}

TEST(QelHestonVanilla, PayoffNeedsTheGrid) {
  auto o = makePricer(PricerData{});
  o->nSNodes = 11;
  expectThrowsMessage([&] { o->setPayoffS(); }, "the asset grid must be built before the payoff");
  o->grid.resize(11);
  expectThrowsMessage([&] { o->smoothPayoffLogS(); },
                      "the payoff must be set on the current asset grid before smoothing");
}

TEST(QelHestonVanilla, BumpVolShiftsBothVolatilities) {
  auto o = makePricer(PricerData{});
  o->bumpVol(0.0);
  EXPECT_NEAR(o->v0, 0.04, 1e-17);
  EXPECT_NEAR(o->vL, 0.05, 1e-17);
  o->bumpVol(0.01);
  EXPECT_NEAR(o->v0, 0.21 * 0.21, 1e-15);
  EXPECT_NEAR(o->vL, std::pow(std::sqrt(0.05) + 0.01, 2), 1e-15);
  EXPECT_EQ(o->sigma, 0.0) << "the constant volatility is not the model's";
}

TEST(QelHestonVanilla, LowerBoundary) {
  struct Case {
    std::string label;
    int CallPut, EuroAmer;
    double value, stored;
  };
  const double t = 0.5;
  const Case cases[] = {
      {"european put", 1, 0, 100.0 * std::exp(-0.03 * t), 100.0 * std::exp(-0.03 * t)},
      {"american put", 1, 1, 100.0, 100.0},
      {"european call", 0, 0, 100.0 * std::exp(-0.03 * t), 0.0},
  };
  for (const Case& c : cases) {
    PricerData a;
    a.CallPut = c.CallPut;
    a.EuroAmer = c.EuroAmer;
    auto o = makePricer(a);
    DenseMatrix m(4, 3, 7.0);
    EXPECT_DOUBLE_EQ(o->setLowerBoundary(m, t), c.value) << c.label;
    for (int row = 0; row < 4; ++row) {
      EXPECT_DOUBLE_EQ(m[row][0], c.stored) << c.label << " row " << row;
      EXPECT_EQ(m[row][1], 7.0) << c.label;
    }
  }
}

TEST(QelHestonVanilla, BuildSGridFollowsTheClusterFlag) {
  for (bool cluster : {false, true}) {
    PricerData a;
    a.clusterAtStrike = cluster;
    auto o = makePricer(a);
    auto ref = makePricer(a);
    std::valarray<double> g, expected;
    o->buildSGrid(g);
    if (cluster) {
      ref->buildSGridAtStrike(expected, 4.5, false);
    } else {
      ref->buildSGridPlain(expected, false);
    }
    ASSERT_EQ(g.size(), expected.size());
    for (std::size_t i = 0; i < g.size(); ++i) EXPECT_EQ(g[i], expected[i]);
  }
}

}  // namespace serivane
