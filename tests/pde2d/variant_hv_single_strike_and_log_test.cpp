// The Hundsdorfer-Verwer variants for one strike (method ids 6, 8 on the asset grid, 11 on the
// log-asset grid) and on the log-asset grid with the strike list (method id 12): against the
// semi-analytic Heston engine with the observed order on grid refinement, against the method-2
// solver, and their own rules for the strike list, the damped start-up and the results along ln S.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <valarray>
#include <vector>

#include "core/qel_heston_vanilla.h"
#include "pde2d/pde_solve.h"
#include "pde2d/reference_schemes.h"
#include "pde2d/solver_fixtures.h"
#include "support/temp_folder.h"

namespace serivane {

namespace {

using namespace solver_fixtures;

constexpr int kVariantIds[] = {6, 8, 11, 12};

}  // namespace

// Square-root variance on grids (n, n/2, n/2): every variant converges at about second order to
// the analytic Heston price and agrees with the method-2 solver on the same grid to the
// discretisation error.
TEST(HvVariants, ConvergeAtSecondOrderToTheAnalyticHestonPrice) {
  for (int id : kVariantIds) expectSecondOrderSurvey(id, 2);
}

// The dispatcher sets the damping flag for method id 8 only. The damped start-up replaces the first
// full step and takes out the oscillations of the kinked payoff in gamma at the strike, and the
// single-strike variants write no "Turning damping off;" line while method 12 does.
TEST(HvVariants, DampedStartUp) {
  const Model m{0.04, 0.05, 2.0, 0.6, -0.6};
  Option o;
  auto plain = makePricer(m, o, 60, 30, 10, 6, 1);
  auto damped = makePricer(m, o, 60, 30, 10, 8, 1);
  const Solved sp = solveOnce(*plain), sd = solveOnce(*damped);
  EXPECT_FALSE(plain->damping);
  EXPECT_TRUE(damped->damping);
  EXPECT_EQ(sd.summary[3], 10.0);
  EXPECT_NEAR(sd.price, sp.price, 0.02);
  EXPECT_LT(maxSecondDifference(sd.out[3]), maxSecondDifference(sp.out[3]));

  struct Case {
    const char* label;
    int methodID;
    bool message;   // "Turning damping off;" written
    bool maturity;  // " T: " field in the record
  };
  const Case cases[] = {
      {"method 8", 8, false, false},
      {"method 11, damping flag set", 11, false, true},
      {"method 12, damping flag set", 12, true, true},
  };
  for (const Case& c : cases) {
    auto q = makePricer(m, o, 30, 15, 10, c.methodID, 1);
    q->damping = true;
    TempFolder folder;
    convFileFlag = 1;
    const Solved s = solveOnce(*q);
    convFileFlag = 0;
    const std::string text = folder.read("Conv.txt");
    EXPECT_EQ(text.find("Turning damping off;") != std::string::npos, c.message) << c.label;
    EXPECT_EQ(text.find(" T: ") != std::string::npos, c.maturity) << c.label;
    EXPECT_EQ(
        text.find(c.message ? "Turning damping off;\nNS used: 30\tNv used: " : "NS used: 30\t"), 0u)
        << c.label << ": " << text;
    EXPECT_GT(s.price, 0.0) << c.label;
  }
}

// The single-strike variants serve no strike list (the price of the smallest strike only). Model 1
// is priced with the pricer's exponent p by them and by method 12: p = 0.8 moves the price as it
// moves method 2's, which has always priced p.
TEST(HvVariants, SingleStrikeVariantsReadNoListAndEveryVariantReadsTheExponent) {
  const Model m{0.05, 0.04, 2.0, 0.8, -0.7};
  Option put;
  put.K = 90.0;
  put.T = 0.75;
  const double hv1 = solveOnce(*makePricer(m, put, 30, 15, 15, 2, 1, 1.0)).price;
  const double hv08 = solveOnce(*makePricer(m, put, 30, 15, 15, 2, 1, 0.8)).price;
  ASSERT_GT(std::fabs(hv1 - hv08), 0.01);
  for (int id : {6, 11}) {
    auto list = makeListPricer(m, {115.0, 90.0, 100.0}, 0.75, 40, id, 1);
    ASSERT_TRUE(list->multiStrike);
    const Solved s = solveOnce(*list);
    EXPECT_EQ(list->getStrikePrices().size(), 0u) << "method " << id;
    EXPECT_EQ(s.summary[1], s.price) << "method " << id;
    EXPECT_EQ(solveOnce(*makePricer(m, put, 40, 20, 20, id, 1)).price, s.price) << "method " << id;
  }
  for (int id : {6, 11, 12}) {
    const double p1 = solveOnce(*makePricer(m, put, 30, 15, 15, id, 1, 1.0)).price;
    const double p08 = solveOnce(*makePricer(m, put, 30, 15, 15, id, 1, 0.8)).price;
    EXPECT_NEAR(p08, hv08, 0.02) << "method " << id;
    EXPECT_NEAR(p1 - p08, hv1 - hv08, 0.3 * std::fabs(hv1 - hv08)) << "method " << id;
  }
}

// Method 11 returns asset values in vector 0 and derivatives in S; method 12 the log nodes
// themselves and derivatives in x = ln S. On the same log-asset grid the two agree through
// dU/dx = S dU/dS near the money.
TEST(HvVariants, LogAssetResults) {
  const Model m{0.04, 0.05, 2.0, 0.6, -0.6};
  Option o;
  auto q11 = makePricer(m, o, 80, 40, 40, 11, 0);
  auto q12 = makePricer(m, o, 80, 40, 40, 12, 0);
  const Solved s11 = solveOnce(*q11), s12 = solveOnce(*q12);
  ASSERT_EQ(s12.out[0].size(), static_cast<std::size_t>(q12->nSNodes));
  ASSERT_EQ(s11.out[0].size(), s12.out[0].size());
  EXPECT_NEAR(s12.price, s11.price, 0.01);
  for (std::size_t i = 0; i < s12.out[0].size(); ++i) {
    EXPECT_EQ(s12.out[0][i], q12->grid[i]) << "node " << i;
    EXPECT_EQ(s11.out[0][i], std::exp(q11->grid[i])) << "node " << i;
    EXPECT_EQ(s12.out[1][i], q12->values[i]) << "node " << i;
    EXPECT_EQ(s12.out[4][i], 0.0) << "node " << i;
    const double S = std::exp(s12.out[0][i]);
    if (std::abs(S / kS0 - 1.0) < 0.2) {
      EXPECT_NEAR(s12.out[2][i], S * s11.out[2][i], 0.02 * S * std::abs(s11.out[2][i]) + 1e-3)
          << "delta in ln S, node " << i;
    }
  }
  EXPECT_EQ(q12->vGrid[0], 0.0);
}

// One strike-list solve of method 12 prices every strike by homogeneity and parity; it agrees
// with one-strike solves of the same method (puts at or below the spot, calls above). Without a
// negative value near any scaled spot the reported value is the first strike's unscaled value.
TEST(HvVariants, StrikeListAgreesWithSingleStrikeSolves) {
  const Model m{0.05, 0.04, 2.0, 0.8, -0.7};
  const std::vector<double> strikes{90.0, 80.0, 100.0, 115.0, 130.0};
  const double T = 0.75;
  auto list = makeListPricer(m, strikes, T, 100, 12, 1);
  ASSERT_TRUE(list->multiStrike);
  const Solved s = solveOnce(*list);
  const std::valarray<double> prices = list->getStrikePrices();
  ASSERT_EQ(prices.size(), strikes.size());
  EXPECT_EQ(s.summary[1], 0.0);
  EXPECT_EQ(s.summary[4], 0.0);
  // The first strike lies below the spot: no parity term, only the homogeneity factor.
  EXPECT_NEAR(s.summary[2], prices[0] * list->K / list->strikes[0], 1e-13 * prices[0]);
  for (std::size_t i = 0; i < list->strikes.size(); ++i) {
    Option o;
    o.K = list->strikes[i];
    o.T = T;
    o.CallPut = o.K <= kS0 ? 1 : 0;
    const double single = solveOnce(*makePricer(m, o, 100, 50, 50, 12, 1)).price;
    EXPECT_NEAR(prices[i], single, 5e-3 + 1e-3 * single) << "strike " << o.K;
  }
}

// Each variant's solve against its time loop written out from the scheme's definition: operator
// and boundary rows, the lowest-node value and its jump, the slope at the far end, the damped
// start-up and the floor at the intrinsic value after a step. The values along the asset axis at
// v0 and the price agree.
TEST(HvVariants, SolveMatchesTheSchemeWrittenOut) {
  struct Case {
    const char* label;
    int methodID;
    int model;
    double rho;
    int CallPut, EuroAmer;
    bool damping;  // the object's flag before the dispatcher (which sets it for 8)
    int NS, NV, NT;
  };
  const Case cases[] = {
      {"method 6, european put, model 1", 6, 1, -0.6, 1, 0, false, 22, 12, 6},
      {"method 8, european call", 8, 1, -0.6, 0, 0, false, 22, 12, 5},
      {"method 6, american put, model 0", 6, 0, 0.4, 1, 1, false, 20, 12, 5},
      {"method 11, european put, model 0", 11, 0, -0.7, 1, 0, false, 22, 12, 6},
      {"method 11, american put, damped", 11, 1, -0.5, 1, 1, true, 20, 12, 5},
      {"method 12, european call, damped", 12, 1, -0.6, 0, 0, true, 22, 14, 5},
      {"method 12, european put, model 0", 12, 0, 0.3, 1, 0, false, 20, 12, 6},
  };
  for (const Case& c : cases) {
    const Model m{0.05, 0.04, 1.8, 0.7, c.rho};
    Option opt;
    opt.CallPut = c.CallPut;
    opt.EuroAmer = c.EuroAmer;
    opt.T = 0.5;
    opt.r = 0.04;
    opt.d = 0.015;
    auto o = makePricer(m, opt, c.NS, c.NV, c.NT, c.methodID, c.model, 0.8);
    o->damping = c.damping;
    PDESolveResults res;
    double cpu = 0.0;
    o->dispatchSolver(res, cpu);
    const std::valarray<double> values = o->values;
    const double price = o->summary[1];
    // Asset grid for 6 and 8, log-asset grid for 11 and 12; the nine-point mixed stencil except
    // for 12; the change of the lowest-node value enters the S corrections on the log grid; a put's
    // value there is tested against the payoff except by 11; the pricer's exponent; the floor.
    ReferenceRules rules;
    rules.logAsset = c.methodID >= 11;
    rules.mixed = c.methodID != 12 ? MixedStencil::kNinePoint : MixedStencil::kAntiDiagonal;
    rules.lowerJump = c.methodID >= 11;
    rules.putZeroFollowsPayoff = c.methodID != 11;
    rules.exercise = ReferenceExercise::kFloor;
    const ReferenceStart start = smoothedStart(*o, rules.logAsset);
    const ReferenceScheme ref(*o, start.X, start.V, rules);
    const ReferenceScheme::Level U =
        ref.run(ReferenceStep::kHundsdorferVerwer, start.payoff, o->damping);
    const double x0 = rules.logAsset ? std::log(kS0) : kS0;
    expectSolveMatchesReference(values, price, U, start, x0, o->v0, c.label);
  }
}

}  // namespace serivane
