// Asset grids: the invariants of every build, reuse of the stored grid, nesting under a doubled NS,
// the range rule and the failure paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <valarray>

#include "core/qel_heston_vanilla.h"
#include "qel_heston_vanilla_test_util.h"

namespace serivane {

namespace {

enum class Kind { kPlain, kAtStrike, kLogS };

// The upper ends of the grids (before the sinh grids' width factor), worked out by hand from the
// range rule for the cases below. With S0 = K = 100, T = 1, v0 = 0.04, vL = 0.05 (the default
// data): sigma = (0.2 + 0.2236068) / 2 = 0.2118034, moved halfway (T - 0.5 = 0.5) to
// sqrt(vL): sigma sqrt(T) = s = 0.2177051; five deviations (T <= 1) from the strike (the plain
// grid) or max(S0, K) (the others): 100 e^(5 s) = 296.98917, above both floors 1.5 K = 150 and
// S0 e^(3 s) = 192.15; a wide build multiplies by 1.5 (plain, before the floors) or 2 (others).
constexpr double kDefaultSMax = 296.989171205517;
// K = 130 instead: 130 e^(5 s) for every kind (the strike is the larger of spot and strike).
constexpr double kHighStrikeSMax = 386.085922567173;
// T = 0.1, K = 80: s = 0.2118034 sqrt(0.1) = 0.0669781. The plain grid's 80 e^(5 s) = 111.82 is
// below 1.5 K = 120 and both below the spot floor 100 e^(3 s) = 122.25445; the other grids start
// from the spot: 100 e^(5 s) = 139.77874.
constexpr double kShortPlainSMax = 122.254450545333;
constexpr double kShortSMax = 139.778742858463;
// T = 3, S0 = 250, K = 100, v0 = 0.2, vL = 0.1: sigma = sqrt(vL) (T - 0.5 >= 1), s = sqrt(0.3) =
// 0.5477226. The plain and log grids take three deviations (T >= 2); the plain one's
// 100 e^(3 s) = 517.15 is below the spot floor 250 e^(3 s) = 1292.8813, which the log grid
// reaches exactly. The strike grid takes 5 - 2 (2.5 - 2) / 2 = 4.5 deviations from the spot,
// 250 e^(4.5 s) = 2940.1, capped at 20 K = 2000.
constexpr double kLongSMax = 1292.88132305308;
constexpr double kLongAtStrikeSMax = 2000.0;

void build(QelHestonVanilla& o, Kind kind, std::valarray<double>& out, double c, bool wide) {
  switch (kind) {
    case Kind::kPlain:
      o.buildSGridPlain(out, wide);
      break;
    case Kind::kAtStrike:
      o.buildSGridAtStrike(out, c, wide);
      break;
    case Kind::kLogS:
      o.buildLogSGrid(out, c, wide);
      break;
  }
}

struct GridCase {
  std::string label;
  Kind kind;
  PricerData data;
  bool wide;
  double sMax;  // upper end by hand, before the width factor
};

std::vector<GridCase> gridCases() {
  std::vector<GridCase> cases;
  const Kind kinds[] = {Kind::kPlain, Kind::kAtStrike, Kind::kLogS};
  const char* names[] = {"plain", "at strike", "log"};
  for (int k = 0; k < 3; ++k) {
    // The hand value of each case for the plain, the at-strike and the log grid.
    auto add = [&](const std::string& label,
                   PricerData a,
                   bool wide,
                   double plain,
                   double atStrike,
                   double logS) {
      const double sMax[] = {plain, atStrike, logS};
      cases.push_back({std::string(names[k]) + ": " + label, kinds[k], a, wide, sMax[k]});
    };
    const double d = kDefaultSMax;
    PricerData a;
    add("default put", a, false, d, d, d);
    add("default, wide", a, true, 1.5 * d, 2 * d, 2 * d);
    a = PricerData{};
    a.T = 0.1;
    a.K = 80.0;
    add("short, out of the money", a, false, kShortPlainSMax, kShortSMax, kShortSMax);
    a = PricerData{};
    a.T = 3.0;
    a.S0 = 250.0;
    a.K = 100.0;
    a.v0 = 0.2;
    a.vL = 0.1;
    add("long, deep in the money call side", a, false, kLongSMax, kLongAtStrikeSMax, kLongSMax);
    a = PricerData{};
    a.K = 130.0;
    a.model = 0.0;
    a.rho = 0.3;
    a.NS = 57;
    const double h = kHighStrikeSMax;
    add("square-root model, odd NS", a, false, h, h, h);
    a = PricerData{};
    a.volvolWidening = true;
    a.volvol = 10.0;
    add("volvol widening 1.5", a, false, d, d, d);
    a = PricerData{};
    a.sRangeParam = 0.7;
    add("narrow width factor", a, false, d, d, d);
  }
  return cases;
}

}  // namespace

TEST(AssetGrids, InvariantsAndNestingUnderDoubling) {
  for (const GridCase& c : gridCases()) {
    PricerData a = c.data;
    // The plain grid reads sRangeParam as an explicit upper end: keep it off there.
    if (c.kind == Kind::kPlain) a.sRangeParam = 0.0;
    auto o = makePricer(a);
    std::valarray<double> g;
    build(*o, c.kind, g, 4.5, c.wide);
    const int n = static_cast<int>(g.size());
    ASSERT_EQ(n, o->nSNodes) << c.label;
    ASSERT_EQ(o->NS + 1, n) << c.label;
    EXPECT_TRUE(o->gridValid) << c.label;
    ASSERT_EQ(o->grid.size(), g.size()) << c.label;
    for (int i = 0; i < n; ++i) EXPECT_EQ(o->grid[i], g[i]) << c.label;
    for (int i = 1; i < n; ++i) ASSERT_GT(g[i], g[i - 1]) << c.label << " node " << i;

    const bool logS = c.kind == Kind::kLogS;
    const double x = logS ? std::log(a.K) : a.K;
    const int strikeNode = c.kind == Kind::kPlain
                               ? o->strikeNodeIndex
                               : static_cast<int>(std::lround(o->sGridA * o->NS0));
    EXPECT_EQ(strikeNode, o->strikeNodeIndex) << c.label;
    EXPECT_NEAR(g[strikeNode], x, 1e-12 * std::fabs(x)) << c.label;
    const double sMax = c.sMax;
    const double w = a.volvolWidening ? std::min(2.0, std::max(a.volvol - 5, 0.0) / 10 + 1) : 1.0;
    const double reach = c.kind == Kind::kAtStrike && w * o->sRangeParam > 1 ? w * sMax : sMax;
    EXPECT_GE(logS ? std::exp(g[n - 1]) : g[n - 1], reach * (1 - 1e-12)) << c.label;
    if (!logS) {
      EXPECT_EQ(g[0], 0.0) << c.label;
    }

    // The refined grid of a convergence run: NS doubled from NS0, indices doubled, placement kept.
    o->NS = 2 * o->NS0;
    o->strikeNodeIndex *= 2;
    o->gridValid = false;
    std::valarray<double> fine;
    build(*o, c.kind, fine, 7.0, c.wide);
    ASSERT_GE(static_cast<int>(fine.size()), 2 * n - 1) << c.label;
    for (int i = 0; i < n; ++i) ASSERT_EQ(fine[2 * i], g[i]) << c.label << " node " << i;
    for (std::size_t i = 1; i < fine.size(); ++i) ASSERT_GT(fine[i], fine[i - 1]) << c.label;
  }
}

TEST(AssetGrids, StoredGridIsHandedBack) {
  for (Kind kind : {Kind::kPlain, Kind::kAtStrike, Kind::kLogS}) {
    auto o = makePricer(PricerData{});
    std::valarray<double> first, second;
    build(*o, kind, first, 4.5, false);
    o->S0 = 140.0;
    build(*o, kind, second, 8.0, true);
    ASSERT_EQ(first.size(), second.size());
    for (std::size_t i = 0; i < first.size(); ++i) EXPECT_EQ(first[i], second[i]);
    o->setNS(50);
    build(*o, kind, second, 4.5, false);
    EXPECT_NE(first.size(), second.size()) << "setNS forces a rebuild";
  }
}

TEST(AssetGrids, PlainGridRange) {
  struct Case {
    std::string label;
    double T, v0, vL, sRangeParam;
    double sMax;
  };
  const double K = 100.0;
  const Case cases[] = {
      // T <= 0.5: the average of the two volatilities, five deviations.
      {"short maturity", 0.25, 0.04, 0.09, 0.0, K * std::exp(5 * 0.25 * 0.5)},
      // T >= 2: sqrt(vL) and three deviations.
      {"long maturity", 2.5, 0.04, 0.09, 0.0, K * std::exp(3 * 0.3 * std::sqrt(2.5))},
      {"explicit end below 1.5 K", 1.0, 0.04, 0.09, 120.0, 150.0},
      {"explicit end", 1.0, 0.04, 0.09, 300.0, 300.0},
  };
  for (const Case& c : cases) {
    PricerData a;
    a.T = c.T;
    a.v0 = c.v0;
    a.vL = c.vL;
    a.sRangeParam = c.sRangeParam;
    a.NS = 1000;
    a.clusterAtStrike = false;
    auto o = makePricer(a);
    std::valarray<double> g;
    o->buildSGridPlain(g, false);
    const int idx = static_cast<int>(K / c.sMax * 1000);
    EXPECT_EQ(o->strikeNodeIndex, idx) << c.label;
    EXPECT_EQ(g[idx], K) << c.label;
    EXPECT_NEAR(g[1000], 1000 * K / idx, 1e-9) << c.label;
  }
  // A kept strike index stays.
  PricerData a;
  a.NS = 100;
  auto o = makePricer(a);
  o->strikeNodeIndex = 40;
  std::valarray<double> g;
  o->buildSGridPlain(g, false);
  EXPECT_EQ(o->strikeNodeIndex, 40);
  EXPECT_EQ(g[40], 100.0);
  EXPECT_DOUBLE_EQ(g[100], 250.0);
}

TEST(AssetGrids, WidthFactorGrowsTheStrikeGrid) {
  struct Case {
    std::string label;
    double volvol;
    double w;
  };
  const Case cases[] = {
      {"volvol 10", 10.0, 1.5}, {"volvol 15", 15.0, 2.0}, {"volvol 30", 30.0, 2.0}};
  for (const Case& c : cases) {
    PricerData a;
    a.volvol = c.volvol;
    // Correlation -1: the variance's spread leaves the upper tail alone, and the range stays the
    // short-horizon rule's.
    a.rho = -1.0;
    a.volvolWidening = true;
    auto o = makePricer(a);
    std::valarray<double> g;
    o->buildSGridAtStrike(g, 4.5, false);
    const double sMax = kDefaultSMax;
    const int n = static_cast<int>(g.size());
    EXPECT_GT(n, 101) << c.label;
    EXPECT_EQ(o->NS, n - 1) << c.label;
    EXPECT_EQ(o->nSNodes, n) << c.label;
    EXPECT_GE(g[n - 1], c.w * sMax) << c.label;
    EXPECT_LT(g[n - 2], c.w * sMax) << c.label;
  }
  // sRangeParam 0 becomes 1.0 at the first sinh build.
  auto o = makePricer(PricerData{});
  std::valarray<double> g;
  o->buildLogSGrid(g, 4.5, false);
  EXPECT_EQ(o->sRangeParam, 1.0);
}

TEST(AssetGrids, LogGridConcentrationAndLowerEnd) {
  struct Case {
    std::string label;
    double model, rho;
    double concentration;
  };
  const Case cases[] = {
      {"square-root model keeps c", 0.0, -0.2, 4.5},
      {"variance diffusion, rho -0.7 keeps c", 1.0, -0.7, 4.5},
      {"variance diffusion, rho -0.2", 1.0, -0.2, 8.5},
      {"variance diffusion, rho -0.4", 1.0, -0.4, 4.5 + 4.0 * 0.5},
  };
  for (const Case& c : cases) {
    PricerData a;
    a.model = c.model;
    a.rho = c.rho;
    auto o = makePricer(a);
    std::valarray<double> g;
    o->buildLogSGrid(g, 4.5, false);
    EXPECT_NEAR(o->sGridB, c.concentration, 1e-12) << c.label;
    if (c.concentration == 8.5) {
      EXPECT_LE(g[0], std::log(0.1 * a.K) + 1e-12) << c.label;
    }
    EXPECT_LE(g[0], std::log(0.025 * a.K) + 1e-12) << c.label;
  }
}

TEST(AssetGrids, RefinedNarrowGridIsCompleted) {
  // Width factor 0.7 with NS raised to more than twice the previous node count: the generation
  // would stop short of NS + 1 nodes; the grid is completed along the same map.
  PricerData a;
  a.sRangeParam = 0.7;
  a.NS = 50;
  for (Kind kind : {Kind::kAtStrike, Kind::kLogS}) {
    auto o = makePricer(a);
    std::valarray<double> g;
    build(*o, kind, g, 4.5, false);
    ASSERT_EQ(g.size(), 51u);
    o->setNS(200);
    build(*o, kind, g, 4.5, false);
    ASSERT_EQ(g.size(), 201u);
    EXPECT_EQ(o->nSNodes, 201);
    for (std::size_t i = 1; i < g.size(); ++i) ASSERT_GT(g[i], g[i - 1]);
    EXPECT_NEAR(g[std::lround(o->sGridA * 200)],
                kind == Kind::kLogS ? std::log(100.0) : 100.0,
                1e-12 * 100);
  }
}

TEST(AssetGrids, Failures) {
  // A negative strike leaves the sinh maps without a position for it.
  PricerData a;
  a.K = -10.0;
  a.NS = 40;
  for (Kind kind : {Kind::kAtStrike, Kind::kLogS}) {
    auto o = makePricer(a);
    std::valarray<double> g;
    o->grid = {1.0, 2.0};
    expectThrowsMessage(
        [&] { build(*o, kind, g, 4.5, false); },
        kind == Kind::kAtStrike
            ? "There was a problem while generating the PDE grid for this vanilla option."
            : "There was a problem while generating the PDE grid for this vanila option.");
    EXPECT_EQ(o->nSNodes, 41);
    EXPECT_EQ(o->sRangeParam, 1.0);
    EXPECT_FALSE(o->gridValid);
    EXPECT_EQ(o->grid.size(), 2u) << "the old grid stays";
  }
  // The plain grid needs a cell below the strike.
  PricerData p;
  p.NS = 1;
  auto o = makePricer(p);
  std::valarray<double> g;
  expectThrowsMessage([&] { o->buildSGridPlain(g, false); },
                      "too few asset intervals to place the strike on the plain grid");
  EXPECT_EQ(o->strikeNodeIndex, 0);
}

}  // namespace serivane
