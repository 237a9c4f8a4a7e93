// The Hundsdorfer-Verwer solver (method ids 2 and 4) and the solve driver around it, against the
// semi-analytic Heston engine, closed forms of the deterministic-variance limit, and the driver's
// own arithmetic.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <valarray>
#include <vector>

#include "core/black_scholes.h"
#include "core/brent.h"
#include "core/qel_heston_vanilla.h"
#include "heston_analytic/analytic_heston_engine.h"
#include "pde2d/pde_solve.h"
#include "pde2d/solver_fixtures.h"

namespace serivane {

namespace {

using namespace solver_fixtures;

double impliedVol(const Option& o, double price) {
  const ImpliedVolFunctor f{kS0, o.K, o.T, o.r, o.d, price, o.CallPut};
  return brentSolve(f, 1e-6, 2.0, 1e-16);
}

// Parameter sets of the accuracy table: moderate, strong negative correlation with a high
// volatility of variance, and a positive correlation with variance far below its long-run level.
const Model kModels[] = {
    {0.04, 0.04, 1.5, 0.3, -0.9},
    {0.09, 0.05, 3.0, 1.0, -0.5},
    {0.02, 0.06, 0.5, 0.6, 0.3},
};

}  // namespace

// Run mode 3 on grids (n, n/2, n/2) against the analytic Heston price: the error falls at about
// second order, and run modes 4 and 5 beat mode 3 on the same grid.
TEST(HvSolver, ConvergesAtSecondOrderToTheAnalyticHestonPrice) {
  const int sizes[] = {30, 60, 120, 240};
  double sumSq[4] = {0, 0, 0, 0};
  double worstIvBp[4] = {0, 0, 0, 0};
  int count = 0;
  std::vector<double> mode3, mode4, mode5;
  for (const Model& m : kModels) {
    for (double T : {0.25, 1.0, 3.0}) {
      for (double K : {80.0, 100.0, 120.0}) {
        for (int cp : {0, 1}) {
          Option o;
          o.K = K;
          o.T = T;
          o.CallPut = cp;
          const double ref = hestonPrice(m, o);
          const double refIv = impliedVol(o, ref);
          for (int s = 0; s < 4; ++s) {
            const int n = sizes[s];
            const double e = pdePrice(m, o, Grid{n, n / 2, n / 2, 3, 2}, 0) - ref;
            sumSq[s] += e * e;
            const double ivBp = std::abs(impliedVol(o, ref + e) - refIv) * 1e4;
            worstIvBp[s] = std::max(worstIvBp[s], ivBp);
          }
          const Grid g60{60, 30, 30, 3, 2};
          const double e3 = pdePrice(m, o, g60, 0) - ref;
          Grid g4 = g60, g5 = g60;
          g4.runMode = 4;
          g5.runMode = 5;
          const double e4 = pdePrice(m, o, g4, 0) - ref;
          const double e5 = pdePrice(m, o, g5, 0) - ref;
          mode3.push_back(std::abs(e3));
          mode4.push_back(std::abs(e4));
          mode5.push_back(std::abs(e5));
          ++count;
        }
      }
    }
  }
  double rms[4];
  for (int s = 0; s < 4; ++s) {
    rms[s] = std::sqrt(sumSq[s] / count);
    std::printf("grid (%d,%d,%d): rms price error %.3e, worst IV error %.2f bp\n",
                sizes[s],
                sizes[s] / 2,
                sizes[s] / 2,
                rms[s],
                worstIvBp[s]);
  }
  for (int s = 0; s + 1 < 4; ++s) {
    const double order = std::log2(rms[s] / rms[s + 1]);
    EXPECT_GT(order, 1.6) << "observed order between grids " << sizes[s] << " and " << sizes[s + 1];
  }
  EXPECT_LT(rms[3], 5e-4);
  EXPECT_LT(worstIvBp[3], 2.0);
  // Medians: the undamped scheme with the 13 steps of mode 4's first run over T = 3 leaves a few
  // outliers at the kink of the payoff, which the median does not follow.
  auto median = [](std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
  };
  const double m3 = median(mode3), m4 = median(mode4), m5 = median(mode5);
  std::printf("grid (60,30,30): median error mode 3 %.3e, mode 4 %.3e, mode 5 %.3e\n", m3, m4, m5);
  EXPECT_LT(m4, 0.25 * m3);
  EXPECT_LT(m5, 0.25 * m3);
}

// With a vanishing volatility of variance the variance path is deterministic,
// v(t) = vL + (v0 - vL) e^(-kappa t), and the price is Black-Scholes-Merton at the total variance
// vL T + (v0 - vL)(1 - e^(-kappa T)) / kappa: both variance models. The variance range is given
// explicitly: the inverse-gamma bound of a nearly deterministic variance sits at vL and would cut
// off a path that starts below it.
TEST(HvSolver, DeterministicVarianceLimitIsBlackScholes) {
  struct Case {
    const char* label;
    Model m;
    double K, T;
    int CallPut;
  };
  const Case cases[] = {
      {"v0 below vL, put", {0.02, 0.06, 2.0, 0.01, -0.5}, 95.0, 1.0, 1},
      {"v0 above vL, call", {0.09, 0.04, 1.0, 0.01, 0.0}, 105.0, 2.0, 0},
      {"slow reversion, ATM put", {0.05, 0.03, 0.3, 0.01, 0.5}, 100.0, 0.5, 1},
  };
  for (const Case& c : cases) {
    for (int model : {0, 1}) {
      Option o;
      o.K = c.K;
      o.T = c.T;
      o.CallPut = c.CallPut;
      const Model& m = c.m;
      const double totalVar =
          m.vL * c.T + (m.v0 - m.vL) * (1.0 - std::exp(-m.kappa * c.T)) / m.kappa;
      const double ref = bsmPrice(kS0, c.K, o.r, o.d, std::sqrt(totalVar / c.T), c.T, c.CallPut);
      const double price = pdePrice(m, o, Grid{240, 120, 120, 3, 2}, model, -0.3);
      EXPECT_NEAR(price, ref, 2e-3 * ref) << c.label << ", model " << model;
    }
  }
}

// One strike-list solve prices every strike by homogeneity and parity; it agrees with one-strike
// solves of each strike (puts at or below the spot, calls above) to the discretisation error.
TEST(HvSolver, StrikeListAgreesWithSingleStrikeSolves) {
  const Model m{0.05, 0.04, 2.0, 0.8, -0.7};
  const std::vector<double> strikes{115.0, 80.0, 100.0, 90.0, 130.0};
  const double T = 0.75, r = 0.03, d = 0.01;
  const auto listPricer = makeListPricer(m, strikes, T, 120, 2, 1, false, 5);
  QelHestonVanilla& list = *listPricer;
  ASSERT_TRUE(list.multiStrike);
  const Solved s = solveOnce(list);
  const std::valarray<double> prices = list.getStrikePrices();
  ASSERT_EQ(prices.size(), strikes.size());
  EXPECT_EQ(s.summary[1], 0.0);
  // Without the strip flag the reported value is the first strike's, extrapolated.
  EXPECT_EQ(s.summary[2], prices[0]);
  EXPECT_EQ(s.summary[4], prices[0]);
  for (std::size_t i = 0; i < list.strikes.size(); ++i) {
    Option o;
    o.K = list.strikes[i];
    o.T = T;
    o.CallPut = o.K <= kS0 ? 1 : 0;
    const double single = pdePrice(m, o, Grid{120, 60, 60, 5, 2}, 1);
    EXPECT_NEAR(prices[i], single, 5e-3 + 1e-3 * single) << "strike " << o.K;
  }

  // Implied volatilities: puts at and below the spot, calls above.
  const auto ivListPricer = makeListPricer(m, strikes, T, 60, 2, 1);
  QelHestonVanilla& ivList = *ivListPricer;
  solveOnce(ivList, -1.0);
  const std::valarray<double> ivs = ivList.getStrikeIVs();
  const std::valarray<double> ivPrices = ivList.getStrikePrices();
  for (std::size_t i = 0; i < ivList.strikes.size(); ++i) {
    const double Ki = ivList.strikes[i];
    const int isPut = Ki <= kS0 ? 1 : 0;
    EXPECT_NEAR(bsmPrice(kS0, Ki, r, d, ivs[i], T, isPut), ivPrices[i], 1e-9) << "strike " << Ki;
  }
}

// American options: a put is worth at least the European one and its intrinsic value everywhere
// on the grid; a call without dividends is never exercised early.
TEST(HvSolver, AmericanOptions) {
  const Model m{0.04, 0.05, 2.0, 0.6, -0.6};
  for (double K : {90.0, 100.0, 115.0}) {
    Option put;
    put.K = K;
    put.r = 0.06;
    put.d = 0.0;
    Option amPut = put;
    amPut.EuroAmer = 1;
    auto pricer = makePricer(m, amPut, Grid{80, 40, 40, 3, 2}, 1);
    const Solved am = solveOnce(*pricer);
    const double euro = pdePrice(m, put, Grid{80, 40, 40, 3, 2}, 1);
    EXPECT_GT(am.price, euro) << "K " << K;
    EXPECT_GE(am.price, std::max(K - kS0, 0.0)) << "K " << K;
    for (std::size_t i = 0; i < am.out[0].size(); ++i) {
      EXPECT_GE(am.out[1][i], K - am.out[0][i] - 1e-12) << "K " << K << " node " << i;
    }

    Option call = put;
    call.CallPut = 0;
    Option amCall = call;
    amCall.EuroAmer = 1;
    const double euroCall = pdePrice(m, call, Grid{80, 40, 40, 3, 2}, 1);
    const double amCallPrice = pdePrice(m, amCall, Grid{80, 40, 40, 3, 2}, 1);
    EXPECT_NEAR(amCallPrice, euroCall, 1e-6 * euroCall) << "K " << K;
  }
}

// The driver's arithmetic: run mode 4 is the Richardson combination in time of two convergence
// runs with (int)(NT / 2.2) and the remaining steps; run mode 5 combines a coarse solve and a solve
// with doubled intervals as (4 fine - coarse) / 3.
TEST(SolveDriver, RunModesCombineTheirSolves) {
  const Model m{0.04, 0.05, 2.0, 0.6, -0.6};
  Option o;
  Grid g{40, 20, 30, 4, 2};
  const double mode4 = pdePrice(m, o, g, 1);
  // NT = 30: 13 and 17 steps, b = 17/13, order 2.
  Grid g1 = g, g2 = g;
  g1.runMode = g2.runMode = 5;
  g1.NT = 13;
  g2.NT = 17;
  const double P1 = pdePrice(m, o, g1, 1), P2 = pdePrice(m, o, g2, 1);
  const double B = std::pow(17.0 / 13.0, 2);
  EXPECT_NEAR(mode4, B / (B - 1) * P2 - 1 / (B - 1) * P1, 1e-12);

  // American: first order in time.
  Option am = o;
  am.EuroAmer = 1;
  const double am4 = pdePrice(m, am, g, 1);
  const double A1 = pdePrice(m, am, g1, 1), A2 = pdePrice(m, am, g2, 1);
  const double b = 17.0 / 13.0;
  EXPECT_NEAR(am4, b / (b - 1) * A2 - 1 / (b - 1) * A1, 1e-12);

  // Mode 5 restores NV and precision, keeps NS0, and reports the extrapolated price.
  auto p = makePricer(m, o, Grid{40, 20, 20, 5, 2}, 1);
  const Solved s5 = solveOnce(*p);
  EXPECT_EQ(p->NV, 20);
  EXPECT_EQ(p->NS, 40);
  EXPECT_EQ(p->precision, 5);
  EXPECT_EQ(s5.summary[2], s5.summary[4]);
  EXPECT_EQ(s5.out[0].size(), 41u);  // the coarse asset nodes
}

TEST(SolveDriver, ImpliedVolatilityOrPriceInTheSummary) {
  const Model m{0.04, 0.05, 2.0, 0.6, -0.6};
  Option o;
  auto priced = makePricer(m, o, Grid{}, 1);
  const Solved s = solveOnce(*priced, 0.0);
  EXPECT_EQ(s.summary[4], s.summary[1]);
  EXPECT_GE(s.cpu, 0.0);
  auto inverted = makePricer(m, o, Grid{}, 1);
  const Solved iv = solveOnce(*inverted, -1.0);
  EXPECT_NEAR(bsmPrice(kS0, o.K, o.r, o.d, iv.summary[4], o.T, 1), s.summary[1], 1e-10);
  EXPECT_GE(iv.cpu, 0.0);
}

TEST(SolveDriver, UnknownMethodIdsPriceNothing) {
  const Model m{0.04, 0.05, 2.0, 0.6, -0.6};
  Option o;
  for (int id : {0, 16}) {
    Grid g;
    g.methodID = id;
    auto p = makePricer(m, o, g, 1);
    const Solved s = solveOnce(*p, -1.0);
    // Entry 4 is inverted whatever it holds; the others stay as constructed.
    for (int k : {0, 1, 2, 3, 5}) {
      EXPECT_EQ(s.summary[k], 0.0) << "method " << id << " entry " << k;
    }
    EXPECT_GE(s.cpu, 0.0);
    EXPECT_EQ(s.out[0].size(), 0u);
  }
}

TEST(HvSolver, DampedStartUp) {
  const Model m{0.04, 0.05, 2.0, 0.6, -0.6};
  Option o;
  for (int NT : {1, 2, 60}) {
    Grid g{60, 30, NT, 3, 4};
    auto p = makePricer(m, o, g, 1);
    EXPECT_FALSE(p->damping);
    const Solved s = solveOnce(*p);
    EXPECT_TRUE(p->damping) << "method 4 sets the damping flag";
    EXPECT_EQ(s.summary[3], NT);
    // The damped start-up covers T: the price is close to the undamped one.
    const double plain = pdePrice(m, o, Grid{60, 30, 60, 3, 2}, 1);
    // Two implicit Euler half steps for NT = 1 are only first order accurate.
    EXPECT_NEAR(s.price, plain, NT == 1 ? 0.6 : (NT == 2 ? 0.1 : 0.01)) << "NT " << NT;
  }
  // Damping removes the oscillations of the kinked payoff in gamma at the strike.
  auto damped = makePricer(m, o, Grid{60, 30, 10, 3, 4}, 1);
  auto undamped = makePricer(m, o, Grid{60, 30, 10, 3, 2}, 1);
  const Solved sd = solveOnce(*damped), su = solveOnce(*undamped);
  EXPECT_LT(maxSecondDifference(sd.out[3]), maxSecondDifference(su.out[3]));
}

TEST(HvSolver, ExerciseDatesRoundTheStepCount) {
  const Model m{0.04, 0.05, 2.0, 0.6, -0.6};
  struct Case {
    int precision, NT, expected;
  };
  const Case cases[] = {{3, 10, 20}, {4, 50, 52}, {3, 60, 60}};
  for (const Case& c : cases) {
    Option o;
    o.nExercise = 4;
    auto p = makePricer(m, o, Grid{40, 20, c.NT, 3, 2}, 1);
    p->precision = c.precision;  // a plain solve that rounds as a run of mode c.precision
    PDESolveResults res;
    double cpu = 0.0;
    PDESolveArgs args{p.get(), &res, &cpu};
    calcGARCHNUDirectNonNegHV(args);
    EXPECT_EQ(p->NT, c.expected) << "precision " << c.precision << " NT " << c.NT;
    EXPECT_EQ(p->summary[3], c.expected);
  }
}

TEST(HvSolver, ResultsAlongTheAssetGrid) {
  const Model m{0.04, 0.05, 2.0, 0.6, -0.6};
  Option o;
  auto p = makePricer(m, o, Grid{}, 1);
  const Solved s = solveOnce(*p);
  ASSERT_EQ(s.out[0].size(), static_cast<std::size_t>(p->nSNodes));
  for (int k = 1; k < 5; ++k) ASSERT_EQ(s.out[k].size(), s.out[0].size());
  for (std::size_t i = 0; i < s.out[0].size(); ++i) {
    EXPECT_EQ(s.out[0][i], p->grid[i]);
    EXPECT_EQ(s.out[1][i], p->values[i]);
    EXPECT_EQ(s.out[4][i], 0.0);
  }
  EXPECT_GT(s.summary[0], p->v0);  // the variance bound
  EXPECT_EQ(p->vGrid[0], 0.0);
  EXPECT_NEAR(p->vGrid[p->vGrid.size() - 1], s.summary[0], 1e-12 * s.summary[0]);
  // Delta of a put lies in [-1, 0]; gamma is positive near the money.
  for (std::size_t i = 0; i < s.out[0].size(); ++i) {
    EXPECT_GE(s.out[2][i], -1.0 - 1e-6);
    EXPECT_LE(s.out[2][i], 1e-6);
  }
  EXPECT_GT(s.out[3][p->strikeNodeIndex], 0.0);
}

// A coarse grid with a strong negative correlation and a high volatility of variance leaves
// negative values near (S0, v0): the solve reports the most negative of them instead of its
// (positive) price, so that the robust pricers retry; a denser grid reports the price itself.
TEST(HvSolver, NonNegativityMonitorReportsNearbyNegativeValues) {
  const Model m{0.04, 0.05, 2.0, 4.0, -0.9};
  Option o;
  o.K = 130.0;
  o.CallPut = 0;
  auto coarse = makePricer(m, o, Grid{20, 10, 10, 3, 2}, 1);
  const Solved c = solveOnce(*coarse);
  const double price = c.summary[1];
  ASSERT_GT(price, 0.0);
  EXPECT_LT(c.price, -1e-15);
  EXPECT_LT(c.price / price, negValueRatioLimit);
  EXPECT_EQ(c.summary[4], price);  // entry 4 keeps the price

  auto dense = makePricer(m, o, Grid{120, 60, 60, 3, 2}, 1);
  const Solved f = solveOnce(*dense);
  EXPECT_EQ(f.price, f.summary[1]);
  EXPECT_GT(f.price, 0.0);
}

}  // namespace serivane
