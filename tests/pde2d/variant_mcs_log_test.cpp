// The modified Craig-Sneyd solvers on the log-asset grid with the strike list: with the Douglas
// damped start-up (method id 13) and with backward-Euler damped sub-steps by sparse LU (method id
// 14). Against the semi-analytic Heston engine with the observed order on grid refinement, against
// the log-asset HV solver (method 12), and their own rules for the strike list, the damping flag,
// the variance exponent, the result vectors and the convergence record.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <valarray>
#include <vector>

#include "core/qel_heston_vanilla.h"
#include "pde2d/adi_frame.h"
#include "pde2d/pde_solve.h"
#include "pde2d/solver_fixtures.h"
#include "support/temp_folder.h"

namespace serivane {

namespace {

using namespace solver_fixtures;

}  // namespace

// Square-root variance on grids (n, n/2, n/2): both variants converge at about second order to the
// analytic Heston price and agree with the log-asset HV solver on the same grid to the
// discretisation error.
TEST(McsLogSolvers, ConvergeAtSecondOrderToTheAnalyticHestonPrice) {
  for (int id : {13, 14}) expectSecondOrderSurvey(id, 12);
}

// One strike-list solve prices every strike by homogeneity and parity and agrees with one-strike
// solves of the same method (puts at or below the spot, calls above). Without a negative value
// near the spot the reported value is the first strike's price; the strip flag changes nothing
// then.
TEST(McsLogSolvers, StrikeListAgreesWithSingleStrikeSolves) {
  const Model m{0.05, 0.04, 2.0, 0.8, -0.7};
  const std::vector<double> strikes{90.0, 80.0, 100.0, 115.0, 130.0};
  const double T = 0.75;
  for (int id : {13, 14}) {
    auto list = makeListPricer(m, strikes, T, 100, id, 1, false);
    ASSERT_TRUE(list->multiStrike);
    const Solved s = solveOnce(*list);
    const std::valarray<double> prices = list->getStrikePrices();
    ASSERT_EQ(prices.size(), strikes.size()) << "method " << id;
    EXPECT_EQ(s.summary[1], 0.0) << "method " << id;
    EXPECT_EQ(s.summary[4], 0.0) << "method " << id;
    EXPECT_EQ(s.summary[2], prices[0]) << "method " << id;
    auto stripped = makeListPricer(m, strikes, T, 100, id, 1, true);
    const Solved ss = solveOnce(*stripped);
    const std::valarray<double> strippedPrices = stripped->getStrikePrices();
    ASSERT_EQ(strippedPrices.size(), strikes.size()) << "method " << id;
    EXPECT_EQ(ss.summary[2], s.summary[2]) << "method " << id << ", strip flag set";
    for (std::size_t i = 0; i < list->strikes.size(); ++i) {
      EXPECT_EQ(strippedPrices[i], prices[i]) << "method " << id << ", strip flag set, " << i;
      Option o;
      o.K = list->strikes[i];
      o.T = T;
      o.CallPut = o.K <= kS0 ? 1 : 0;
      const double single = solveOnce(*makePricer(m, o, 100, 50, 50, id, 1)).price;
      EXPECT_NEAR(prices[i], single, 5e-3 + 1e-3 * single) << "method " << id << ", strike " << o.K;
    }
  }
}

// The dispatcher sets the damping flag for method 14 and not for 13. Either damped start replaces
// the first full step, keeps the step count and takes the oscillations of the kinked payoff out of
// gamma at the strike; method 14 without the flag (a direct call) runs the MCS steps of method 13.
// With NT = 1 only the damped sub-steps run, and the solve still covers T: the Douglas sub-steps
// with theta = 1 of method 13 and the backward-Euler sub-steps of method 14 differ by the splitting
// error alone.
TEST(McsLogSolvers, DampedStartUp) {
  const Model m{0.04, 0.05, 2.0, 0.6, -0.6};
  Option o;
  o.T = 2.0;
  const int NT = 4;
  auto q13 = makePricer(m, o, 80, 40, NT, 13, 1);
  const Solved s13 = solveOnce(*q13);
  EXPECT_FALSE(q13->damping);
  auto q13d = makePricer(m, o, 80, 40, NT, 13, 1);
  q13d->damping = true;
  const Solved s13d = solveOnce(*q13d);
  auto q14 = makePricer(m, o, 80, 40, NT, 14, 1);
  const Solved s14 = solveOnce(*q14);
  EXPECT_TRUE(q14->damping);
  EXPECT_EQ(s14.summary[3], double(NT));
  EXPECT_EQ(s13d.summary[3], double(NT));
  auto plain14 = makePricer(m, o, 80, 40, NT, 14, 1);
  PDESolveResults res;
  double cpu = 0.0;
  PDESolveArgs args{plain14.get(), &res, &cpu};
  calcGARCHNUDirectNonNegMCSEulerLULogS(args);
  EXPECT_FALSE(plain14->damping);
  EXPECT_NEAR(s13d.price, s13.price, 0.02);
  EXPECT_NEAR(s14.price, s13.price, 0.02);
  // Without the flag method 14 takes the same MCS steps as method 13.
  EXPECT_EQ(plain14->summary[2], s13.price);
  EXPECT_NE(plain14->summary[2], s14.price);
  // Method 13 returns gamma in ln S, method 14 in S: each against its own undamped solve.
  EXPECT_LT(gammaRoughness(s13d.out[3], *q13d, true), 0.5 * gammaRoughness(s13.out[3], *q13, true));
  EXPECT_LT(gammaRoughness(s14.out[3], *q14, true), 0.5 * gammaRoughness(res[3], *plain14, true));

  double one[2];
  for (int id : {13, 14}) {
    auto q = makePricer(m, o, 80, 40, 1, id, 1);
    q->damping = true;
    const Solved s = solveOnce(*q);
    EXPECT_EQ(s.summary[3], 1.0) << "method " << id;
    one[id - 13] = s.price;
  }
  EXPECT_NEAR(one[0], one[1], 0.02);
}

// Both variants price model 1 with the pricer's exponent p: p = 0.8 moves the price as it moves
// the price of method 15 (the sparse-direct ladder on the log-asset grid, which has always priced
// p).
TEST(McsLogSolvers, VarianceExponentIsThePricers) {
  const Model m{0.05, 0.04, 2.0, 0.8, -0.7};
  Option put;
  put.K = 90.0;
  put.T = 0.75;
  const double ref1 = solveOnce(*makePricer(m, put, 30, 15, 15, 15, 1, 1.0)).price;
  const double ref08 = solveOnce(*makePricer(m, put, 30, 15, 15, 15, 1, 0.8)).price;
  ASSERT_GT(std::fabs(ref1 - ref08), 0.01);
  for (int id : {13, 14}) {
    const double p1 = solveOnce(*makePricer(m, put, 30, 15, 15, id, 1, 1.0)).price;
    const double p08 = solveOnce(*makePricer(m, put, 30, 15, 15, id, 1, 0.8)).price;
    EXPECT_NEAR(p08, ref08, 0.02) << "method " << id;
    EXPECT_NEAR(p1 - p08, ref1 - ref08, 0.15 * std::fabs(ref1 - ref08)) << "method " << id;
  }
}

// Method 13 returns the log nodes and derivatives in x = ln S, method 14 the asset values and
// derivatives in S, also when the caller asks for the value vector only. On the same log grid the
// two agree through dU/dx = S dU/dS near the money.
TEST(McsLogSolvers, ResultVectors) {
  const Model m{0.04, 0.05, 2.0, 0.6, -0.6};
  Option o;
  auto q13 = makePricer(m, o, 80, 40, 40, 13, 0);
  auto q14 = makePricer(m, o, 80, 40, 40, 14, 0);
  const Solved s13 = solveOnce(*q13), s14 = solveOnce(*q14);
  ASSERT_EQ(s13.out[0].size(), static_cast<std::size_t>(q13->nSNodes));
  ASSERT_EQ(s14.out[0].size(), s13.out[0].size());
  for (std::size_t i = 0; i < s13.out[0].size(); ++i) {
    EXPECT_EQ(s13.out[0][i], q13->grid[i]) << "node " << i;
    EXPECT_EQ(s14.out[0][i], std::exp(q14->grid[i])) << "node " << i;
    EXPECT_EQ(s13.out[1][i], q13->values[i]) << "node " << i;
    EXPECT_EQ(s14.out[1][i], q14->values[i]) << "node " << i;
    EXPECT_EQ(s13.out[4][i], 0.0) << "node " << i;
    const double S = std::exp(s13.out[0][i]);
    if (std::abs(S / kS0 - 1.0) < 0.2) {
      EXPECT_NEAR(s13.out[2][i], S * s14.out[2][i], 0.02 * S * std::abs(s14.out[2][i]) + 1e-3)
          << "delta in ln S, node " << i;
    }
  }

  auto part = makePricer(m, o, 80, 40, 40, 14, 0);
  part->damping = true;
  PDESolveResults res;
  double cpu = 0.0;
  PDESolveArgs args{part.get(), &res, &cpu};
  args.fullResults = false;
  calcGARCHNUDirectNonNegMCSEulerLULogS(args);
  for (int k = 0; k < 4; ++k) {
    ASSERT_EQ(res[k].size(), s14.out[k].size()) << "vector " << k;
    for (std::size_t i = 0; i < res[k].size(); ++i) {
      EXPECT_EQ(res[k][i], s14.out[k][i]) << "vector " << k << ", node " << i;
    }
  }
}

// An American put holds K at the lowest node and is raised to its intrinsic value after every
// step: no node lies below K - S, and deep in the money the value is the exercise value.
TEST(McsLogSolvers, AmericanPutIsFlooredAtItsIntrinsicValue) {
  const Model m{0.04, 0.04, 1.5, 0.3, -0.5};
  Option o;
  o.EuroAmer = 1;
  o.r = 0.06;
  o.d = 0.0;
  for (int id : {13, 14}) {
    auto q = makePricer(m, o, 60, 30, 30, id, 0);
    solveOnce(*q);
    bool exercised = false;
    for (std::size_t i = 0; i < q->values.size(); ++i) {
      const double S = std::exp(q->grid[i]);
      EXPECT_GE(q->values[i], o.K - S - 1e-9) << "method " << id << ", node " << i;
      if (S > 40.0 && S < 80.0 && std::fabs(q->values[i] - (o.K - S)) < 1e-9) exercised = true;
    }
    EXPECT_TRUE(exercised) << "method " << id;
  }
}

// The convergence record: precision 10 with the maturity field; the damping message when the
// damped start ends; only method 13 ends its line with the solver's name.
TEST(McsLogSolvers, ConvergenceRecord) {
  const Model m{0.04, 0.05, 2.0, 0.6, -0.6};
  Option o;
  o.T = 0.123456789012;
  struct Case {
    const char* label;
    int methodID;
    bool damping;  // flag set before the solve (the dispatcher sets it for 14)
    const char* ending;
  };
  const Case cases[] = {
      {"method 13", 13, false, " by calcGARCHNUDirectNonNegMCSLogS\n"},
      {"method 13, damping flag set", 13, true, " by calcGARCHNUDirectNonNegMCSLogS\n"},
      {"method 14", 14, false, "\n"},
  };
  for (const Case& c : cases) {
    auto q = makePricer(m, o, 30, 15, 10, c.methodID, 1);
    q->damping = c.damping;
    TempFolder folder;
    convFileFlag = 1;
    solveOnce(*q);
    convFileFlag = 0;
    const std::string text = folder.read("Conv.txt");
    const bool message = c.damping || c.methodID == 14;
    EXPECT_EQ(text.find(message ? "Turning damping off;\nNS used: 30\tNv used: " : "NS used: 30\t"),
              0u)
        << c.label << ": " << text;
    EXPECT_NE(text.find(" T: 0.123456789 "), std::string::npos) << c.label << ": " << text;
    const std::string ending = c.ending;
    ASSERT_GE(text.size(), ending.size()) << c.label;
    EXPECT_EQ(text.substr(text.size() - ending.size()), ending) << c.label << ": " << text;
    EXPECT_EQ(text.find(" by "), c.methodID == 13 ? text.size() - ending.size() : std::string::npos)
        << c.label;
    const std::size_t timeAt = text.find("   Time: ");
    ASSERT_NE(timeAt, std::string::npos) << c.label;
  }
}

// The frame's MCS step is the step of the asset-grid MCS solver (method 3): the same time loop on
// the same frame gives the same European price bit for bit.
TEST(McsLogSolvers, FrameStepIsTheAssetGridMcsStep) {
  const int threads = omp_get_max_threads();  // method 3 sets the default thread count
  const Model m{0.05, 0.04, 2.0, 0.8, -0.7};
  for (int cp : {0, 1}) {
    Option o;
    o.CallPut = cp;
    o.K = 95.0;
    auto ref = makePricer(m, o, 40, 20, 12, 3, 0);
    ref->damping = true;
    PDESolveResults res;
    double cpu = 0.0;
    PDESolveArgs refArgs{ref.get(), &res, &cpu};
    calcGARCHNUDirectNonNegMCS(refArgs);

    auto q = makePricer(m, o, 40, 20, 12, 3, 0);
    q->damping = true;
    PDESolveArgs args{q.get(), &res, &cpu};
    FrameLayout layout;
    layout.convPrecision = 10;
    layout.putZeroFollowsPayoff = false;
    AdiFrame f(args, layout);
    f.setUp();
    f.buildCrossOperator();
    f.runSchemeLoop(
        1.0 / 3.0,
        [&f](double t, double tNew, bool damped) { f.mcsStep(t, tNew, damped); },
        [](DenseMatrix&) {});
    f.extractResults(f.U, 0.0);
    EXPECT_EQ(q->summary[2], ref->summary[2]) << (cp == 1 ? "put" : "call");
  }
  omp_set_num_threads(threads);
}

}  // namespace serivane
