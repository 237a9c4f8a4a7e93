// The single-option PDE pricer under calls a hostile host makes within the argument limits: each
// returns its failure value or a price inside the option's no-arbitrage bounds, and the work a call
// may take is bounded (refused at the argument check, or ended by the retries' work limit).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "calibration/exports/export_args.h"
#include "calibration/exports/serivane.h"
#include "calibration/pricing/robust_pricers.h"
#include "calibration/pricing/solve_work.h"
#include "core/grid_limits.h"
#include "pricing_log_test_util.h"

namespace serivane {

namespace {

struct Call {
  double S = 100.0, K = 100.0, T = 1.0, r = 0.03, d = 0.01;
  double v0 = 0.04, vL = 0.04, theta = 1.5, volvol = 0.5, rho = 0.0;
  int NS = 30, NV = 20, NT = 20, CallPut = 1, EuroAmer = 0, precision = 1, methodID = 1;
  int ivWanted = 0;
  double sRangeParam = 1.0, varRange = 0.9999;
  int volvolWidening = 0, model = 0;

  double run() const {
    return GARCH_VanillaPDESolver(S,
                                  K,
                                  T,
                                  r,
                                  d,
                                  v0,
                                  vL,
                                  theta,
                                  volvol,
                                  rho,
                                  NS,
                                  NV,
                                  NT,
                                  CallPut,
                                  EuroAmer,
                                  precision,
                                  methodID,
                                  ivWanted,
                                  sRangeParam,
                                  varRange,
                                  volvolWidening,
                                  model);
  }
  // The no-arbitrage range of the price, written out from the option's definition.
  void bounds(double& lo, double& hi) const {
    const double fS = S * std::exp(-d * T), fK = K * std::exp(-r * T);
    if (CallPut == 0) {
      lo = std::max(fS - fK, 0.0);
      hi = fS;
      if (EuroAmer != 0) hi = std::max(hi, S);
      if (EuroAmer == 1) lo = std::max(S - K, 0.0);
    } else {
      lo = std::max(fK - fS, 0.0);
      hi = fK;
      if (EuroAmer != 0) hi = std::max(hi, K);
      if (EuroAmer == 1) lo = std::max(K - S, 0.0);
    }
  }
};

// The single-option robust pricer on the case, with the scripted solves of the test seam.
double robustPrice(Call& c, bool fallback = false) {
  int runMode = 3;
  return calcVanillaPDEWithRetries(c.S,
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
                                   c.CallPut,
                                   c.EuroAmer,
                                   &runMode,
                                   c.methodID,
                                   c.ivWanted,
                                   c.sRangeParam,
                                   c.varRange,
                                   c.volvolWidening,
                                   fallback,
                                   c.model);
}

using HostileCalls = PricingLogTest;

}  // namespace

// Calls observed to run for minutes or to return nonsense: each gives 0.0 or a price in bounds.
TEST_F(HostileCalls, EveryCallGivesItsFailureValueOrASoundPrice) {
  struct Case {
    const char* name;
    void (*change)(Call&);
  };
  const Case cases[] = {
      // A negative speed (1.58e29 after 83 s, an "implied vol" of 2.4e37): refused.
      {"theta -1, put", [](Call& c) { c.theta = -1.0, c.volvol = 1.5; }},
      {"theta -10, put", [](Call& c) { c.theta = -10.0, c.volvol = 1.5; }},
      {"theta -10, implied vol", [](Call& c) { c.theta = -10.0, c.ivWanted = 1; }},
      // The smallest denormal spot on a 77 by 11 by 1 grid (29 s for 0.0).
      {"denormal spot, call, BDF, convergence run",
       [](Call& c) {
         c.S = 4.9e-324, c.NS = 77, c.NV = 11, c.NT = 1, c.CallPut = 0, c.precision = 2,
         c.methodID = 15, c.theta = 1.0;
       }},
      {"denormal spot, call, BDF, plain",
       [](Call& c) {
         c.S = 4.9e-324, c.NS = 77, c.NV = 11, c.NT = 1, c.CallPut = 0, c.methodID = 15,
         c.theta = 1.0;
       }},
      {"denormal spot, put",
       [](Call& c) { c.S = 4.9e-324, c.NS = 77, c.NV = 11, c.NT = 1, c.methodID = 15; }},
      {"denormal spot, American put",
       [](Call& c) {
         c.S = 4.9e-324, c.NS = 77, c.NV = 11, c.NT = 1, c.EuroAmer = 1, c.precision = 2,
         c.methodID = 15;
       }},
      {"denormal spot, American put, HV",
       [](Call& c) { c.S = 4.9e-324, c.EuroAmer = 1, c.methodID = 2; }},
      // A variance law that the grid can hardly hold, with a negative value to repair.
      {"steep variance, ladder",
       [](Call& c) {
         c.K = 130, c.T = 0.02, c.v0 = 0.01, c.vL = 0.01, c.theta = 1.0, c.volvol = 9.0,
         c.rho = -1.0, c.NS = 40, c.NV = 10, c.NT = 10, c.CallPut = 0, c.precision = 2,
         c.methodID = 4;
       }},
      {"deep in-the-money put",
       [](Call& c) {
         c.S = 50.0, c.NS = 60, c.NV = 30, c.NT = 30, c.methodID = 2, c.precision = 2;
       }},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Call c;
    k.change(c);
    const double v = c.run();
    if (c.ivWanted) {
      EXPECT_TRUE(v == 0.0 || (v >= 1e-6 && v <= 2.0)) << v;
      continue;
    }
    double lo = 0.0, hi = 0.0;
    c.bounds(lo, hi);
    EXPECT_TRUE(v == 0.0 || (v >= lo && v <= hi)) << v << " outside [" << lo << ", " << hi << "]";
  }
}

// The work a first solve would take is refused at the argument check, with the sizes named.
TEST_F(HostileCalls, TooMuchWorkIsRefusedAtTheArgumentCheck) {
  struct Case {
    int NS, NV, NT, precision, methodID;
  };
  const Case cases[] = {
      {1000, 998, 50, 1, 1},   // sparse direct on a million nodes (135 s)
      {999, 999, 2000, 1, 2},  // the old node-step limit for the ADI methods (59 s)
      {999, 999, 349, 1, 3},   // one step beyond the ADI limit
      {999, 999, 2, 1, 10},    // one factorisation of a million nodes (28 s)
      {400, 172, 2, 1, 15},    // the sparse-direct solve whose pivots fill it (up to 64 s)
      {400, 400, 30, 2, 1},    // a convergence run doubles the grid
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::to_string(k.NS) + " x " + std::to_string(k.NV) + " x " +
                 std::to_string(k.NT) + " method " + std::to_string(k.methodID));
    std::remove(pricingLogPath().c_str());
    Call c;
    c.NS = k.NS, c.NV = k.NV, c.NT = k.NT, c.precision = k.precision, c.methodID = k.methodID;
    EXPECT_EQ(c.run(), 0.0);
    EXPECT_NE(log().find("Invalid argument"), std::string::npos);
  }
  // The ADI limit itself is accepted by the check.
  EXPECT_EQ(checkGridWork(999, 999, 348, 3, 3), "");
  EXPECT_LE(pdeSolveWork(999, 999, 348, 3, 3), kMaxCallWork);
}

// Negative values climb the retries only while the call's work stays within its limit: the ladder
// ends before the sparse-direct rungs it cannot afford, with the last positive rung's value or the
// failure value and a record.
TEST_F(HostileCalls, TheWorkLimitEndsTheRetries) {
  for (double interp : {2.5, -0.1}) {
    SCOPED_TRACE(interp);
    std::remove(pricingLogPath().c_str());
    ScriptedSolve solve({SolveOutcome::values(-0.5, interp, 2.4)});
    robustWorkLimit = kMaxCallWork;
    Call c;
    c.NS = 100, c.NV = 50, c.NT = 90, c.methodID = 2;
    const double v = robustPrice(c);
    std::int64_t total = 0;
    for (const SolveCall& s : solve.calls()) {
      total += pdeSolveWork(s.NS, s.NV, s.NT, s.methodID, s.precision);
      EXPECT_LT(s.NS, 400) << "a rung beyond the budget was solved";
    }
    EXPECT_LE(total, kMaxCallWork);
    EXPECT_GE(solve.calls().size(), 2u);
    if (interp > 0.0) {
      EXPECT_EQ(v, 2.4);
    } else {
      EXPECT_EQ(v, 0.0);
      EXPECT_EQ(countOf(log(), kWorkLimitMessage), 1);
    }
  }
}

// A diverged solve ends the call at once, whatever the sign of its value; a price outside its
// bounds is the failure value, and one outside by the grid's error at a bound is clipped.
TEST_F(HostileCalls, DivergedAndOutOfBoundsValuesAreFailures) {
  Call base;
  base.NS = 100, base.NV = 50, base.NT = 90, base.methodID = 2;
  double lo = 0.0, hi = 0.0;
  base.bounds(lo, hi);  // a put at the money: [0, K e^-rT]
  struct Case {
    double reported, interp, element4, expected;
    std::size_t solves;
    const char* record;
  };
  const Case cases[] = {
      {1.58e29, 1.58e29, 1.58e29, 0.0, 1, kDivergedMessage},
      {-1e30, -1e30, 0.0, 0.0, 1, kDivergedMessage},
      {-HUGE_VAL, 1.0, 1.0, 0.0, 1, kDivergedMessage},
      {hi + 1.0, hi + 1.0, hi + 1.0, 0.0, 1, kOutsideBoundsMessage},
      {hi + 1e-4, hi + 1e-4, hi + 1e-4, hi, 1, nullptr},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.reported);
    std::remove(pricingLogPath().c_str());
    ScriptedSolve solve({SolveOutcome::values(k.reported, k.interp, k.element4)});
    Call c = base;
    EXPECT_EQ(robustPrice(c), k.expected);
    EXPECT_EQ(solve.calls().size(), k.solves);
    if (k.record != nullptr) {
      EXPECT_EQ(countOf(log(), k.record), 1);
    } else {
      EXPECT_EQ(log(), "");
    }
  }
}

// A worthless option whose last answer is a rounding-size negative value, clipped onto the lower
// bound 0: no positive value came out, so the call answers the failure value with its record
// rather than a silent 0.
TEST_F(HostileCalls, AnAnswerClippedToZeroIsALoggedFailure) {
  std::remove(pricingLogPath().c_str());
  ScriptedSolve solve({SolveOutcome::values(-3.7e-20, 3.8e-23, -3.7e-20)});
  robustWorkLimit = kMaxCallWork;
  Call c;
  c.S = 87.6, c.K = 46.1, c.T = 0.07;  // a put far out of the money: its bounds are [0, K e^-rT]
  c.NS = 100, c.NV = 50, c.NT = 90, c.methodID = 2;
  EXPECT_EQ(robustPrice(c), 0.0);
  EXPECT_EQ(countOf(log(), kNoPositiveValueMessage), 1);
}

// The strike-list ladder shares the work limit: it ends where the single-option one does, with the
// failure value and a record when no pass was positive.
TEST_F(HostileCalls, TheStrikeListRetriesShareTheWorkLimit) {
  SolveOutcome negative = SolveOutcome::values(-0.5, -0.5, 0.0);
  negative.strikePrices = {-0.1, -0.1, -0.1};
  ScriptedSolve solve({negative});
  robustWorkLimit = kMaxCallWork;
  std::vector<double> ivs;
  int ns = 100, nv = 50, runMode = 3;
  const double v = calcVanillaPDEStrikesWithRetries(100.0,
                                                    {90.0, 100.0, 110.0},
                                                    ivs,
                                                    1.0,
                                                    0.03,
                                                    0.01,
                                                    0.04,
                                                    0.04,
                                                    1.5,
                                                    0.5,
                                                    0.0,
                                                    &ns,
                                                    &nv,
                                                    90,
                                                    1,
                                                    0,
                                                    &runMode,
                                                    2,
                                                    1,
                                                    1.0,
                                                    0.9999,
                                                    0,
                                                    0,
                                                    false,
                                                    0,
                                                    1.0);
  EXPECT_EQ(v, 0.0);
  std::int64_t total = 0;
  for (const SolveCall& s : solve.calls()) {
    total += pdeSolveWork(s.NS, s.NV, s.NT, s.methodID, s.precision);
  }
  EXPECT_LE(total, kMaxCallWork);
  EXPECT_LT(solve.calls().back().NS, 400);
  EXPECT_EQ(countOf(log(), kWorkLimitMessage), 1);
}

}  // namespace serivane
