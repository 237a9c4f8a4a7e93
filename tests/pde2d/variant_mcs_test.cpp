// The modified Craig-Sneyd solver on the asset grid (method ids 3 and 5): against the
// semi-analytic Heston engine, against the Hundsdorfer-Verwer solver, and against the scheme
// written out in the test from its definition (dense implicit systems, plain elimination).
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
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

// The solver sets the OpenMP default thread count; each test puts the caller's value back.
class RestoreThreadCount {
 public:
  RestoreThreadCount() : saved_(omp_get_max_threads()) {}
  ~RestoreThreadCount() { omp_set_num_threads(saved_); }

 private:
  int saved_;
};

const Model kModels[] = {
    {0.04, 0.04, 1.5, 0.3, -0.9},
    {0.09, 0.05, 3.0, 1.0, -0.5},
};

}  // namespace

// Square-root variance on grids (n, n/2, n/2): the plain (3, 7) and the damped (5, 9) start-ups
// of both variants converge at about second order to the analytic Heston price, and agree with
// the Hundsdorfer-Verwer solver on the same grid to the discretisation error.
TEST(McsSolver, ConvergesAtSecondOrderToTheAnalyticHestonPrice) {
  RestoreThreadCount restore;
  const int sizes[] = {30, 60, 120};
  for (int method : {3, 5, 7, 9}) {
    double sumSq[3] = {0, 0, 0};
    int count = 0;
    double worstHvGap = 0.0, worstHvErr = 0.0;
    for (const Model& m : kModels) {
      for (double T : {0.25, 1.0}) {
        for (double K : {80.0, 100.0, 120.0}) {
          for (int cp : {0, 1}) {
            Option o;
            o.K = K;
            o.T = T;
            o.CallPut = cp;
            const double ref = hestonPrice(m, o);
            double e60 = 0.0;
            for (int s = 0; s < 3; ++s) {
              const double e = pdePrice(m, o, sizes[s], method) - ref;
              sumSq[s] += e * e;
              if (s == 1) e60 = e;
            }
            const double hv = pdePrice(m, o, 60, 2) - ref;
            worstHvGap = std::max(worstHvGap, std::abs(e60 - hv));
            worstHvErr = std::max({worstHvErr, std::abs(e60), std::abs(hv)});
            ++count;
          }
        }
      }
    }
    double rms[3];
    for (int s = 0; s < 3; ++s) {
      rms[s] = std::sqrt(sumSq[s] / count);
      std::printf("method %d, grid (%d,%d,%d): rms price error %.3e\n",
                  method,
                  sizes[s],
                  sizes[s] / 2,
                  sizes[s] / 2,
                  rms[s]);
    }
    for (int s = 0; s + 1 < 3; ++s) {
      EXPECT_GT(std::log2(rms[s] / rms[s + 1]), 1.6)
          << "method " << method << ", grids " << sizes[s] << " and " << sizes[s + 1];
    }
    EXPECT_LT(rms[2], 3e-3) << "method " << method;
    // Against HV on (60, 30, 30): the gap is within the larger of the two errors.
    std::printf("method %d vs HV on (60,30,30): worst gap %.3e, worst error %.3e\n",
                method,
                worstHvGap,
                worstHvErr);
    EXPECT_LT(worstHvGap, worstHvErr) << "method " << method;
  }
}

// The whole solve against the time loop written out from the scheme: boundary data, stage order,
// the cross-term and second explicit corrections, the damped start-up and early exercise. The
// values along S at v0 and the price agree to rounding.
TEST(McsSolver, SolveMatchesTheSchemeWrittenOut) {
  RestoreThreadCount restore;
  struct Case {
    const char* label;
    int model;
    double p, rho;
    int CallPut, EuroAmer, NS, NV, NT, methodID;
    double r, d;
  };
  const Case cases[] = {
      {"european put, method 3", 1, 1.0, -0.6, 1, 0, 24, 12, 6, 3, 0.04, 0.015},
      {"european call, method 5", 1, 1.0, -0.6, 0, 0, 24, 14, 6, 5, 0.04, 0.015},
      {"model 1, p = 0.8, rho > 0, method 3", 1, 0.8, 0.4, 1, 0, 20, 14, 5, 3, 0.04, 0.015},
      {"model 0, american call with dividends", 0, 1.0, 0.3, 0, 1, 22, 10, 5, 3, 0.02, 0.06},
      {"american put, method 5", 1, 1.0, -0.3, 1, 1, 22, 12, 5, 5, 0.06, 0.0},
      {"damped, one step", 1, 0.8, -0.8, 1, 0, 20, 14, 1, 5, 0.04, 0.015},
      {"single strike, put, p = 0.8", 1, 0.8, -0.6, 1, 0, 24, 12, 6, 7, 0.04, 0.015},
      {"single strike, damped call", 1, 1.0, -0.6, 0, 0, 24, 14, 6, 9, 0.04, 0.015},
      {"single strike, model 0, american put", 0, 1.0, 0.3, 1, 1, 22, 10, 5, 9, 0.06, 0.0},
      {"single strike, american call", 1, 1.0, -0.3, 0, 1, 22, 12, 5, 7, 0.02, 0.06},
  };
  for (const Case& c : cases) {
    Option opt;
    opt.T = 0.5;
    opt.CallPut = c.CallPut;
    opt.EuroAmer = c.EuroAmer;
    opt.r = c.r;
    opt.d = c.d;
    const Model m{0.05, 0.04, 1.8, 0.7, c.rho};
    auto o = makePricer(m, opt, c.NS, c.NV, c.NT, c.methodID, c.model, c.p);
    PDESolveResults res;
    double cpu = 0.0;
    const bool single = c.methodID == 7 || c.methodID == 9;
    const bool damped = c.methodID == 5 || c.methodID == 9;
    if (single) {
      o->damping = damped;
      PDESolveArgs args{o.get(), &res, &cpu};
      calcGARCHNUDirectNonNegMCSSingleK(args);
    } else {
      o->dispatchSolver(res, cpu);
    }
    EXPECT_EQ(o->damping, damped) << c.label;
    const std::valarray<double> values = o->values;
    const double price = o->summary[1];
    const ReferenceStart start = smoothedStart(*o, false);
    // Both variants: the change of the value at S = 0 enters the S corrections, and a put's value
    // there is not tested against the payoff. The single-strike one takes the nine-point mixed
    // stencil and floors every node at the intrinsic value after a step. Both take the pricer's
    // exponent.
    ReferenceRules rules;
    rules.lowerJump = true;
    rules.putZeroFollowsPayoff = false;
    if (single) {
      rules.mixed = MixedStencil::kNinePoint;
      rules.exercise = ReferenceExercise::kFloor;
    } else {
      rules.exercise = ReferenceExercise::kFloorPutAverageCall;
    }
    const ReferenceScheme ref(*o, start.X, start.V, rules);
    const ReferenceScheme::Level U =
        ref.run(ReferenceStep::kModifiedCraigSneyd, start.payoff, damped);
    expectSolveMatchesReference(values, price, U, start, o->S0, o->v0, c.label);
  }
}

// Method 5 sets the damping flag; its two implicit half steps replace the first step and the
// price stays close to the plain scheme's for any step count; damping removes the oscillations
// of the kinked payoff from gamma at the strike.
TEST(McsSolver, DampedStartUp) {
  RestoreThreadCount restore;
  const Model m{0.04, 0.05, 2.0, 0.6, -0.6};
  Option o;
  const double plain = solveOnce(*makePricer(m, o, 60, 30, 60, 3, 1)).price;
  struct Case {
    int NT;
    double tolerance;  // two implicit Euler half steps alone are first order
  };
  for (const Case& c : {Case{1, 0.6}, Case{2, 0.1}, Case{60, 0.01}}) {
    auto q = makePricer(m, o, 60, 30, c.NT, 5, 1);
    EXPECT_FALSE(q->damping);
    const Solved s = solveOnce(*q);
    EXPECT_TRUE(q->damping) << "NT " << c.NT;
    EXPECT_EQ(q->getSummary()[3], c.NT);
    EXPECT_NEAR(s.price, plain, c.tolerance) << "NT " << c.NT;
  }
  auto three = makePricer(m, o, 60, 30, 10, 3, 1);
  const Solved su = solveOnce(*three);
  EXPECT_FALSE(three->damping);
  const Solved sd = solveOnce(*makePricer(m, o, 60, 30, 10, 5, 1));
  EXPECT_LT(maxSecondDifference(sd.out[3]), maxSecondDifference(su.out[3]));
}

// Every solve sets the OpenMP default thread count of its thread to 8 and leaves it so; the HV
// solver does not touch it.
TEST(McsSolver, SetsTheDefaultThreadCount) {
  RestoreThreadCount restore;
  const Model m{0.04, 0.05, 2.0, 0.6, -0.6};
  for (int method : {3, 5}) {
    omp_set_num_threads(3);
    solveOnce(*makePricer(m, Option{}, 30, 15, 10, method, 1));
    EXPECT_EQ(omp_get_max_threads(), 8) << "method " << method;
  }
  omp_set_num_threads(3);
  solveOnce(*makePricer(m, Option{}, 30, 15, 10, 2, 1));
  EXPECT_EQ(omp_get_max_threads(), 3);
}

// American options: a put is floored at its intrinsic value and worth more than the European
// one; a call with a dividend yield above the rate is floored above the strike and worth more
// than the European call; without dividends the call is never exercised early.
TEST(McsSolver, AmericanOptions) {
  RestoreThreadCount restore;
  const Model m{0.04, 0.05, 2.0, 0.6, -0.6};
  struct Case {
    const char* label;
    int CallPut;
    double r, d;
    bool earlyExercise;
  };
  const Case cases[] = {
      {"put", 1, 0.06, 0.0, true},
      {"call, high dividends", 0, 0.02, 0.08, true},
      {"call, no dividends", 0, 0.05, 0.0, false},
  };
  for (const Case& c : cases) {
    for (double K : {90.0, 100.0, 115.0}) {
      Option euro;
      euro.K = K;
      euro.CallPut = c.CallPut;
      euro.r = c.r;
      euro.d = c.d;
      Option am = euro;
      am.EuroAmer = 1;
      auto q = makePricer(m, am, 80, 40, 40, 3, 1);
      const Solved a = solveOnce(*q);
      const double e = solveOnce(*makePricer(m, euro, 80, 40, 40, 3, 1)).price;
      if (c.earlyExercise) {
        EXPECT_GT(a.price, e + 1e-3) << c.label << ", K " << K;
      } else {
        EXPECT_NEAR(a.price, e, 1e-6 * e) << c.label << ", K " << K;
      }
      for (std::size_t i = 0; i < a.out[0].size(); ++i) {
        const double S = a.out[0][i];
        const double intrinsic = c.CallPut == 1 ? K - S : S - K;
        // The call's node at the exercise boundary holds a cell average.
        const double slack = c.CallPut == 1 ? 1e-12 : 1e-2 * K;
        EXPECT_GE(a.out[1][i], intrinsic - slack) << c.label << ", K " << K << ", node " << i;
      }
    }
  }
}

// One strike-list solve with method 3 prices every strike by homogeneity and parity, as the HV
// solver's strike list does, to the discretisation error.
TEST(McsSolver, StrikeListAgreesWithHv) {
  RestoreThreadCount restore;
  const std::vector<double> strikes{115.0, 80.0, 100.0, 90.0, 130.0};
  const Model m{0.05, 0.04, 2.0, 0.8, -0.7};
  std::valarray<double> prices[2];
  for (int k = 0; k < 2; ++k) {
    const auto listPricer = makeListPricer(m, strikes, 0.75, 100, k == 0 ? 3 : 2, 1, false, 3, 0.8);
    QelHestonVanilla& list = *listPricer;
    ASSERT_TRUE(list.multiStrike);
    const Solved s = solveOnce(list);
    prices[k] = list.getStrikePrices();
    ASSERT_EQ(prices[k].size(), strikes.size());
    EXPECT_EQ(list.getSummary()[1], 0.0);
    EXPECT_EQ(s.price, prices[k][0]);
  }
  for (std::size_t i = 0; i < strikes.size(); ++i) {
    EXPECT_NEAR(prices[0][i], prices[1][i], 5e-3 + 1e-3 * prices[1][i]) << "strike index " << i;
  }
}

// With the record switch on, the damped start-up writes "Turning damping off;" and each solve
// one record line with ten significant digits and the maturity field.
TEST(McsSolver, ConvergenceRecord) {
  RestoreThreadCount restore;
  TempFolder folder;
  const Model m{0.04, 0.05, 2.0, 0.6, -0.6};
  Option o;
  o.T = 0.123456789012;
  convFileFlag = 1;
  solveOnce(*makePricer(m, o, 30, 15, 10, 5, 1));
  solveOnce(*makePricer(m, o, 30, 15, 10, 3, 1));
  convFileFlag = 0;
  const std::string text = folder.read("Conv.txt");
  ASSERT_EQ(text.find("Turning damping off;\nNS used: 30\tNv used: "), 0u) << text;
  std::size_t records = 0;
  for (std::size_t at = text.find("NS used: "); at != std::string::npos;
       at = text.find("NS used: ", at + 1)) {
    ++records;
  }
  EXPECT_EQ(records, 2u) << text;
  EXPECT_EQ(text.find("Turning damping off;", 1), std::string::npos) << text;
  EXPECT_NE(text.find(" T: 0.123456789 "), std::string::npos) << text;
  EXPECT_NE(text.find("   NT used: 10   Time: "), std::string::npos) << text;
}

// The single-strike variant: an object with a strike list is priced at its strike K alone (the
// smallest) without touching the strike prices; the exponent is the pricer's p, as for method 3;
// the record has no maturity field; the OpenMP default thread count is not touched.
TEST(McsSolver, SingleStrikeVariant) {
  RestoreThreadCount restore;
  const Model m{0.05, 0.04, 2.0, 0.8, -0.7};
  const std::vector<double> strikes{115.0, 90.0, 100.0};
  const auto listPricer = makeListPricer(m, strikes, 0.75, 60, 7, 1);
  QelHestonVanilla& list = *listPricer;
  ASSERT_TRUE(list.multiStrike);
  omp_set_num_threads(3);
  const Solved s = solveOnce(list);
  EXPECT_EQ(omp_get_max_threads(), 3);
  EXPECT_EQ(list.getStrikePrices().size(), 0u);
  EXPECT_GT(s.price, 0.0);
  EXPECT_EQ(list.getSummary()[1], s.price);
  Option put;
  put.K = 90.0;
  put.T = 0.75;
  EXPECT_EQ(solveOnce(*makePricer(m, put, 60, 30, 30, 7, 1)).price, s.price);

  // Model 1 with p = 0.8 moves the price as it moves method 3's.
  const double p1 = solveOnce(*makePricer(m, put, 40, 20, 20, 7, 1, 1.0)).price;
  const double p08 = solveOnce(*makePricer(m, put, 40, 20, 20, 7, 1, 0.8)).price;
  const double mcs1 = solveOnce(*makePricer(m, put, 40, 20, 20, 3, 1, 1.0)).price;
  const double mcs08 = solveOnce(*makePricer(m, put, 40, 20, 20, 3, 1, 0.8)).price;
  ASSERT_GT(std::fabs(mcs1 - mcs08), 0.01);
  EXPECT_NEAR(p08, mcs08, 0.02);
  EXPECT_NEAR(p1 - p08, mcs1 - mcs08, 0.15 * std::fabs(mcs1 - mcs08));

  TempFolder folder;
  convFileFlag = 1;
  solveOnce(*makePricer(m, put, 30, 15, 10, 9, 1));
  convFileFlag = 0;
  const std::string text = folder.read("Conv.txt");
  EXPECT_EQ(text.find("Turning damping off;\nNS used: 30\tNv used: "), 0u) << text;
  EXPECT_EQ(text.find(" T: "), std::string::npos) << text;
  EXPECT_NE(text.find(" K: 90   Smax = "), std::string::npos) << text;
}

// Through the price entry: the dispatcher runs the single-strike variant for method ids 7 and 9
// (9 with the damped start-up) and their prices agree with the HV solver's.
TEST(McsSolver, DispatcherRunsTheSingleStrikeVariant) {
  RestoreThreadCount restore;
  const Model& m = kModels[0];
  Option o;
  const double hv = pdePrice(m, o, 60, 2);
  for (int id : {7, 9}) {
    auto q = makePricer(m, o, 60, 30, 30, id, 0);
    const Solved s = solveOnce(*q);
    EXPECT_EQ(q->damping, id == 9) << "method " << id;
    EXPECT_NEAR(s.price, hv, 0.02) << "method " << id;
  }
}

}  // namespace serivane
