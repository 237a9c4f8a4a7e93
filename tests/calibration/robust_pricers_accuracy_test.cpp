// The single-option pricer against independent references: Monte Carlo values of the GARCH
// diffusion (seeded, 4 standard errors) and the closed form of the square-root model
// (VanillaHeston), the variance range by the answer's insensitivity to doubling it, and the error
// control of the convergence run, also where the call's work limit stops it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <valarray>

#include "calibration/exports/serivane.h"
#include "calibration/pricing/error_control.h"
#include "calibration/pricing/robust_pricers.h"
#include "calibration/pricing/solve_work.h"
#include "core/qel_heston_vanilla.h"
#include "pricing_log_test_util.h"

namespace serivane {

namespace {

struct Case {
  double S = 100.0, K = 100.0, T = 1.0, r = 0.03, d = 0.01;
  double v0 = 0.04, vL = 0.04, theta = 1.5, volvol = 0.3, rho = -0.7;
  int NS = 100, NV = 50, NT = 50, precision = 3, methodID = 2, ivWanted = 0;
  double varRange = 0.9999;
  int model = 1;
};

double price(Case c, std::int64_t workLimit = robustWorkLimit) {
  return calcVanillaPDEWithRetriesWithin(workLimit,
                                         c.S,
                                         c.K,
                                         c.T,
                                         c.r,
                                         c.d,
                                         c.v0,
                                         c.vL,
                                         c.theta,
                                         c.volvol,
                                         c.rho,
                                         &c.NS,
                                         &c.NV,
                                         c.NT,
                                         0,
                                         0,
                                         &c.precision,
                                         c.methodID,
                                         c.ivWanted,
                                         1.0,
                                         c.varRange,
                                         0,
                                         false,
                                         c.model);
}

// The variance bound the pricer of case c lays its grid on.
double varianceBound(const Case& c) {
  const std::valarray<double> params{c.volvol, c.v0, c.vL, c.theta, c.rho, double(c.model)};
  const std::valarray<double> zeros(0.0, 5);
  QelHestonVanilla o(c.S,
                     c.K,
                     c.T,
                     params,
                     c.r,
                     c.d,
                     c.NS,
                     c.NV,
                     c.NT,
                     0,
                     3,
                     1,
                     0,
                     zeros,
                     zeros,
                     true,
                     -3.0,
                     1.0,
                     c.varRange,
                     0,
                     true,
                     0,
                     0.0,
                     c.methodID,
                     false);
  return o.calcVMax(0.0);
}

// A price error allowed by the tolerance of implied volatility, at volatility sigma.
double priceTolerance(const Case& c, double sigma) {
  return kIVErrorTolerance * bsmVega(c.S, c.K, c.r, c.d, sigma, c.T);
}

using RobustPricerAccuracy = PricingLogTest;

}  // namespace

// At ordinary parameters (v0 = vL 0.04, kappa 1.5, xi 0.3) the stationary law scaled to the
// horizon left the variance range at 1.24 v0 (1.2 years) and 2 v0 (2 and 3 years): a price 14 bp
// of implied volatility low, and the failure value. Monte Carlo: 2e6 paths of log-Euler steps of a
// thousandth of a year, antithetic, with their standard errors.
TEST_F(RobustPricerAccuracy, OrdinaryGarchCallsMatchMonteCarloAtCoverage09999) {
  struct Reference {
    double T, mc, se;
  };
  for (const Reference& ref : {Reference{1.2, 9.7126, 0.0033},
                               Reference{2.0, 12.8035, 0.0045},
                               Reference{3.0, 15.9389, 0.0060}}) {
    Case c;
    c.T = ref.T;
    const double p = price(c);
    const double tol = 4.0 * ref.se + priceTolerance(c, 0.2);
    EXPECT_NEAR(p, ref.mc, tol) << "T " << ref.T;
    // The range covers the variance: doubling it moves the price by less than the tolerance.
    Case wide = c;
    wide.varRange = -2.0 * varianceBound(c);
    EXPECT_NEAR(price(wide), p, priceTolerance(c, 0.2)) << "T " << ref.T;
  }
}

// Hard points of the GARCH diffusion: a large volatility of variance with v0 far above or below
// vBar, short and long horizons. The range reaches far above the stationary law's and doubling
// it leaves the price within the tolerance.
TEST_F(RobustPricerAccuracy, HardPointsAreInsensitiveToDoublingTheVarianceRange) {
  struct Point {
    double v0, vL, theta, volvol, rho, days;
  };
  for (const Point& pt : {Point{0.0521, 0.0711, 5.15, 7.20, -0.78, 182.0},
                          Point{0.30, 0.02, 6.0, 6.0, -0.5, 20.0},
                          Point{0.01, 0.09, 2.0, 8.0, -0.8, 365.0}}) {
    Case c;
    c.v0 = pt.v0;
    c.vL = pt.vL;
    c.theta = pt.theta;
    c.volvol = pt.volvol;
    c.rho = pt.rho;
    c.T = pt.days / 365.0;
    c.NS = 120;
    c.NV = 60;
    c.NT = 60;
    c.varRange = 0.9999975;
    const double p = price(c);
    ASSERT_GT(p, 0.0) << pt.days;
    Case wide = c;
    wide.varRange = -2.0 * varianceBound(c);
    EXPECT_NEAR(price(wide), p, priceTolerance(c, std::sqrt(pt.v0))) << pt.days;
  }
}

// The square-root model on the error-controlled convergence run: where the estimate is within the
// tolerance the value agrees with the closed form to the tolerance and a little (the estimate is an
// estimate), and its implied volatility too.
TEST_F(RobustPricerAccuracy, SquareRootModelWithinToleranceMatchesTheClosedForm) {
  for (double K : {85.0, 100.0}) {
    Case c;
    c.K = K;
    c.T = 91.0 / 365.0;
    c.v0 = 0.147;
    c.vL = 0.144;
    c.theta = 1.04;
    c.volvol = 1.96;
    c.rho = -0.92;
    c.model = 0;
    c.NS = 200;
    c.NV = 100;
    c.NT = 100;
    c.precision = 5;
    c.ivWanted = 1;
    c.varRange = 0.9999975;
    const double iv = price(c);
    const double exact =
        ImpliedVol(VanillaHeston(c.S, K, c.r, c.d, c.v0, c.vL, c.theta, c.volvol, c.rho, c.T, 0),
                   c.S,
                   K,
                   c.T,
                   c.r,
                   c.d,
                   0);
    EXPECT_NEAR(iv, exact, 2.0 * kIVErrorTolerance) << K;
  }
}

// A convergence run whose estimate exceeds the tolerance refines its grids; when the call's work
// limit admits no finer grid the answer is the failure value with its record, never the value of
// the coarse grids (211 bp from the closed form here).
TEST_F(RobustPricerAccuracy, ErrorAboveToleranceWithoutBudgetIsTheFailureValueWithARecord) {
  Case c;
  c.T = 91.0 / 365.0;
  c.v0 = 0.147;
  c.vL = 0.144;
  c.theta = 1.04;
  c.volvol = 1.96;
  c.rho = -0.92;
  c.model = 0;
  c.NS = 60;
  c.NV = 30;
  c.NT = 30;
  c.precision = 5;
  c.varRange = 0.9999975;
  // Enough for the first convergence run only.
  EXPECT_EQ(price(c, 200000), 0.0);
  EXPECT_EQ(countOf(log(), kErrorToleranceMessage), 1);
}

// A deep in-the-money call close to expiry, on a small grid: its vega all but vanishes, so the
// estimate in volatility is far beyond what any refinement within the work limit could bring down.
// The control ends at once, on the grid asked for, with the failure value and its record, rather
// than climbing to the work limit (which took the whole budget of the call before).
TEST_F(RobustPricerAccuracy, AHopelessEstimateEndsTheControlOnTheGridAskedFor) {
  Case c;
  c.S = 87.64248118680959;
  c.K = 62.133061110461902;
  c.T = 0.076072011535286713;
  c.r = 0.024053155638755569;
  c.d = 0.015058823529411763;
  c.v0 = c.vL = 0.015882936099793299;
  c.theta = 0.53387324110656076;
  c.volvol = 0.13971759534746439;
  c.rho = -0.5860784215820205;
  c.model = 0;
  c.NS = 44;
  c.NV = 19;
  c.NT = 10;
  c.precision = 5;
  c.methodID = 5;
  c.ivWanted = 1;
  c.varRange = 3.003921568627451;
  EXPECT_EQ(price(c), 0.0);
  const std::string text = log();
  EXPECT_EQ(countOf(text, kErrorToleranceMessage), 1) << text;
  EXPECT_NE(text.find("NS:\t\t22\n"), std::string::npos) << text;
  EXPECT_NE(text.find("NT:\t\t10\n"), std::string::npos) << text;
}

// A far out-of-the-money call (a price of 6e-5) whose convergence runs stay negative until the
// work limit stops the retries: the last positive interpolated price they pass on is 85 bp of
// implied volatility from the closed form, and has no error estimate. The failure value, with its
// record.
TEST_F(RobustPricerAccuracy, GiveUpWithoutAnErrorEstimateIsTheFailureValue) {
  Case c;
  c.K = 146.0;
  c.T = 91.0 / 365.0;
  c.v0 = 0.147;
  c.vL = 0.144;
  c.theta = 1.04;
  c.volvol = 1.96;
  c.rho = -0.92;
  c.model = 0;
  c.NS = 60;
  c.NV = 30;
  c.NT = 30;
  c.precision = 5;
  c.ivWanted = 1;
  c.varRange = 0.9999975;
  EXPECT_EQ(price(c), 0.0);
  EXPECT_EQ(countOf(log(), kErrorToleranceMessage), 1);
}

// Within the tolerance the error control changes nothing: the same call with a budget that admits
// the estimate's half-step solve but no refinement gives the same bits. A budget that admits no
// half-step solve leaves the value without its time estimate: the failure value, with its record.
TEST_F(RobustPricerAccuracy, ValueWithinToleranceIsTheFirstRunsValue) {
  Case c;
  c.K = 85.0;
  c.T = 91.0 / 365.0;
  c.v0 = 0.147;
  c.vL = 0.144;
  c.theta = 1.04;
  c.volvol = 1.96;
  c.rho = -0.92;
  c.model = 0;
  c.NS = 200;
  c.NV = 100;
  c.NT = 100;
  c.precision = 5;
  c.varRange = 0.9999975;
  const double p = price(c);
  EXPECT_GT(p, 0.0);
  const std::int64_t estimateWork = pdeSolveWork(c.NS / 2, c.NV / 2, c.NT, c.methodID, 5) +
                                    pdeSolveWork(c.NS / 2, c.NV / 2, c.NT / 2, c.methodID, 3);
  EXPECT_EQ(price(c, estimateWork), p);
  EXPECT_FALSE(logExists());
  EXPECT_EQ(price(c, 1), 0.0);
  EXPECT_EQ(countOf(log(), kErrorToleranceMessage), 1);
}

// A fine grid on few time steps (square-root model, volvol 1.5, half a year, 10 steps): the
// out-of-the-money call's error is in time, 23 bp, where the two grids of the convergence run agree
// within the tolerance. With the work limit of the call the time steps are refined until the value
// is within the tolerance of the closed form; with a budget that admits the half-step solve but no
// refinement, the failure value with its record, never the value 23 bp off.
TEST_F(RobustPricerAccuracy, TimeErrorBeyondTheToleranceIsRefinedOrRefused) {
  Case c;
  c.K = 122.14;
  c.T = 0.5;
  c.v0 = 0.02;
  c.vL = 0.06;
  c.theta = 2.0;
  c.volvol = 1.5;
  c.rho = -0.8;
  c.model = 0;
  c.NS = 200;
  c.NV = 100;
  c.NT = 10;
  c.precision = 5;
  c.varRange = 0.9999975;
  const double exact =
      VanillaHeston(c.S, c.K, c.r, c.d, c.v0, c.vL, c.theta, c.volvol, c.rho, c.T, 0);
  const double sigma = ImpliedVol(exact, c.S, c.K, c.T, c.r, c.d, 0);
  ASSERT_GT(sigma, 0.0);
  EXPECT_NEAR(price(c), exact, priceTolerance(c, sigma));
  EXPECT_FALSE(logExists());
  const std::int64_t estimateWork = pdeSolveWork(c.NS / 2, c.NV / 2, c.NT, c.methodID, 5) +
                                    pdeSolveWork(c.NS / 2, c.NV / 2, c.NT / 2, c.methodID, 3);
  EXPECT_EQ(price(c, estimateWork), 0.0);
  EXPECT_EQ(countOf(log(), kErrorToleranceMessage), 1);
}

}  // namespace serivane
