// The HV solver with backward-Euler damped sub-steps by sparse LU (method id 10), and the sparse
// backward-Euler sub-step that it shares with method 14: the sub-step against the frame's explicit
// operator (the solution U_new of (I - dt L) U_new = U satisfies U_new - dt F(U_new) = U), the
// solver against the semi-analytic Heston engine with the observed order on grid refinement and
// against the method-2 solver, and its damping, exponent and early-exercise rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <valarray>
#include <vector>

#include "core/dense_matrix.h"
#include "core/qel_heston_vanilla.h"
#include "pde2d/adi_frame.h"
#include "pde2d/operator_assembly.h"
#include "pde2d/pde_solve.h"
#include "pde2d/solver_fixtures.h"
#include "support/temp_folder.h"

namespace serivane {

namespace {

using namespace solver_fixtures;

}  // namespace

// The sparse sub-step solves (I - dt L) U_new = U with the lowest-node value and the far-field
// slope of the new time, where L is the frame's explicit operator F: so U_new - dt F(U_new), with F
// at the new slope and reading the new lowest-node value, gives back U on every solved node. On
// both axes, calls and puts (the two boundary terms), correlated and not, and model 1 with p = 0.8
// on the log axis (the sub-step takes the pricer's exponent, as the frame does).
TEST(SparseEulerStart, SolvesTheBackwardEulerStepOfTheFrameOperator) {
  struct Case {
    const char* label;
    bool logAsset;
    int CallPut;
    double rho;
    int model;
    double p;
  };
  const Case cases[] = {
      {"asset grid, put", false, 1, -0.7, 0, 1.0},
      {"asset grid, call, model 1", false, 0, -0.4, 1, 1.0},
      {"asset grid, call, rho 0", false, 0, 0.0, 0, 1.0},
      {"log grid, put", true, 1, -0.7, 0, 1.0},
      {"log grid, call, model 1, p 0.8", true, 0, -0.5, 1, 0.8},
  };
  for (const Case& c : cases) {
    const Model m{0.05, 0.04, 2.0, 0.7, c.rho};
    Option o;
    o.CallPut = c.CallPut;
    auto q = makePricer(m, o, 30, 14, 10, 10, c.model, c.p);
    PDESolveResults res;
    double cpu = 0.0;
    PDESolveArgs args{q.get(), &res, &cpu};
    FrameLayout layout;
    layout.unitExponent = true;
    layout.logAsset = c.logAsset;
    layout.putZeroFollowsPayoff = !c.logAsset;
    AdiFrame f(args, layout);
    f.setUp();
    const int N = f.N, NV = f.NV;
    // A smooth level in place of the payoff, with the lowest-node value of the old time.
    const double t = 0.3, dtE = 0.05, tNew = t + dtE;
    for (int j = 0; j <= NV; ++j) {
      for (int i = 0; i <= N; ++i) {
        f.U[j][i] = 20.0 + 0.3 * f.X[i] + 10.0 * std::sin(0.02 * f.S[i]) * (1.0 + f.V[j]);
      }
    }
    f.setZeroColumn(f.U, f.valueAtZero(t));
    SparseEulerStart euler(f, dtE, true);
    euler.step(tNew);
    EXPECT_EQ(f.Y[0][0], f.valueAtZero(tNew)) << c.label;
    DenseMatrix check(NV + 1, N + 1, 0.0);
    f.applyF(f.Y, f.slopeAtSmax(tNew), &f.Y, -dtE, check);
    double worst = 0.0;
    for (int j = 0; j < NV; ++j) {
      for (int i = 1; i <= N; ++i) worst = std::max(worst, std::fabs(check[j][i] - f.U[j][i]));
    }
    EXPECT_LT(worst, 1e-9) << c.label;
  }
}

// Square-root variance on grids (n, n/2, n/2): method 10 converges at about second order to the
// analytic Heston price and agrees with the method-2 solver on the same grid to the
// discretisation error.
TEST(HvEulerLu, ConvergesAtSecondOrderToTheAnalyticHestonPrice) { expectSecondOrderSurvey(10, 2); }

// The dispatcher sets the damping flag for method 10; the damped start replaces the first full
// step, keeps the step count and takes the oscillations of the kinked payoff out of gamma at the
// strike, against a direct call without the flag, which runs HV steps only. With NT = 1 only the
// two backward-Euler sub-steps run and the solve covers T: the asset-grid and log-grid sparse
// starts (methods 10 and 14) then differ by the space discretisation alone. The record carries the
// damping message, the maturity field and no suffix.
TEST(HvEulerLu, DampedStartUp) {
  const Model m{0.04, 0.05, 2.0, 0.6, -0.6};
  Option o;
  o.T = 2.0;
  const int NT = 4;
  auto q = makePricer(m, o, 80, 40, NT, 10, 1);
  TempFolder folder;
  convFileFlag = 1;
  const Solved s = solveOnce(*q);
  convFileFlag = 0;
  EXPECT_TRUE(q->damping);
  EXPECT_EQ(s.summary[3], double(NT));
  const std::string text = folder.read("Conv.txt");
  EXPECT_EQ(text.find("Turning damping off;\nNS used: 80\tNv used: "), 0u) << text;
  EXPECT_NE(text.find(" T: 2 "), std::string::npos) << text;
  EXPECT_EQ(text.find(" by "), std::string::npos) << text;
  EXPECT_EQ(text.back(), '\n');

  auto plain = makePricer(m, o, 80, 40, NT, 10, 1);
  PDESolveResults res;
  double cpu = 0.0;
  PDESolveArgs args{plain.get(), &res, &cpu};
  calcGARCHNUDirectNonNegHVEulerLU(args);
  EXPECT_FALSE(plain->damping);
  // Four HV steps of half a year from the kinked payoff carry a larger time error than the damped
  // start.
  EXPECT_NE(plain->summary[2], s.price);
  EXPECT_NEAR(plain->summary[2], s.price, 0.1);
  EXPECT_LT(gammaRoughness(s.out[3], *q, false), 0.5 * gammaRoughness(res[3], *plain, false));

  const Solved s10 = solveOnce(*makePricer(m, o, 80, 40, 1, 10, 1));
  const Solved s14 = solveOnce(*makePricer(m, o, 80, 40, 1, 14, 1));
  EXPECT_EQ(s10.summary[3], 1.0);
  EXPECT_NEAR(s10.price, s14.price, 0.02);
}

// Model 1 is priced with the pricer's exponent p (p = 0.8 as method 4, the frame's HV with the
// damped start, prices it), and an American put holds K at S = 0 without a floor at the intrinsic
// value after a step.
TEST(HvEulerLu, ExponentAndEarlyExercise) {
  const Model m{0.05, 0.04, 2.0, 0.8, -0.7};
  Option put;
  put.K = 90.0;
  put.T = 0.75;
  const double p1 = solveOnce(*makePricer(m, put, 30, 15, 15, 10, 1, 1.0)).price;
  const double p08 = solveOnce(*makePricer(m, put, 30, 15, 15, 10, 1, 0.8)).price;
  const double hv1 = solveOnce(*makePricer(m, put, 30, 15, 15, 4, 1, 1.0)).price;
  const double hv08 = solveOnce(*makePricer(m, put, 30, 15, 15, 4, 1, 0.8)).price;
  EXPECT_NEAR(p08, hv08, 0.01);
  EXPECT_NEAR(p1 - p08, hv1 - hv08, 0.1 * std::fabs(hv1 - hv08));

  Option am;
  am.EuroAmer = 1;
  am.r = 0.06;
  am.d = 0.0;
  auto q = makePricer(m, am, 60, 30, 30, 10, 0);
  const Solved s = solveOnce(*q);
  EXPECT_NEAR(s.out[1][0], am.K, 1e-9);
  // Every node is floored at the intrinsic value after every step, as method 4 (the frame's HV
  // with the Douglas start) does; the two prices are two discretisations of one American put.
  for (std::size_t i = 0; i < q->values.size(); ++i) {
    EXPECT_GE(q->values[i], am.K - q->grid[i] - 1e-9) << "node " << i;
  }
  auto floored = makePricer(m, am, 60, 30, 30, 4, 0);
  const Solved sf = solveOnce(*floored);
  for (std::size_t i = 0; i < floored->values.size(); ++i) {
    EXPECT_GE(floored->values[i], am.K - floored->grid[i] - 1e-9) << "node " << i;
  }
  EXPECT_NEAR(sf.price, s.price, 2e-2);
}

}  // namespace serivane
