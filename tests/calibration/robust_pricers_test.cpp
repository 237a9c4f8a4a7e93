// The robust single-option pricer: every road of its retry ladder, driven by real solves where
// the pricer gives them (a zero value from a method id that runs no solver) and otherwise by the
// scripted solve of the test seam; the log records against golden fixtures.
#include "calibration/pricing/robust_pricers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pricing_log_test_util.h"

namespace serivane {

namespace {

// A method id with no solver: its solves price nothing and leave the summary at 0, which the
// pricer reads as a zero value.
constexpr int kNoSolverMethod = 99;

struct Args {
  double S = 100.0, K = 100.0, T = 1.0, r = 0.03, d = 0.01;
  double v0 = 0.04, vL = 0.04, theta = 1.5, volvol = 0.3, rho = -0.7;
  int NS = 100, NV = 50, NT = 90, CallPut = 1, EuroAmer = 0, precision = 3, methodID = 2;
  int ivWanted = 0;
  double sRangeParam = 1.0, varRange = 0.9999;
  int volvolWidening = 0;
  bool fallback = false;
  int model = 0;
};

double price(Args& a) {
  return calcVanillaPDEWithRetries(a.S,
                                   a.K,
                                   a.T,
                                   a.r,
                                   a.d,
                                   a.v0,
                                   a.vL,
                                   a.theta,
                                   a.volvol,
                                   a.rho,
                                   &a.NS,
                                   &a.NV,
                                   a.NT,
                                   a.CallPut,
                                   a.EuroAmer,
                                   &a.precision,
                                   a.methodID,
                                   a.ivWanted,
                                   a.sRangeParam,
                                   a.varRange,
                                   a.volvolWidening,
                                   a.fallback,
                                   a.model);
}

SolveOutcome positive(double reported, double element4) {
  return SolveOutcome::values(reported, reported, element4);
}
SolveOutcome negative(double reported, double interp, double element4 = 0.0) {
  return SolveOutcome::values(reported, interp, element4);
}
SolveOutcome zero() { return SolveOutcome::values(0.0, 0.0, 0.0); }
SolveOutcome failure(const char* message) { return SolveOutcome::failure(message); }

using RobustPricer = PricingLogTest;

}  // namespace

TEST_F(RobustPricer, FirstPositiveValueReturnsAtOnceAndLogsNothing) {
  ScriptedSolve solve({positive(2.0, 1.9)});
  Args a;
  EXPECT_EQ(price(a), 1.9);
  EXPECT_EQ(solve.calls().size(), 1u);
  EXPECT_EQ(a.NS, 100);
  EXPECT_EQ(a.NV, 50);
  EXPECT_EQ(a.precision, 3);
  EXPECT_FALSE(logExists());
}

TEST_F(RobustPricer, RunModeAndGridAtStart) {
  struct Case {
    const char* label;
    int precision, NS, NV;
    int builtPrecision, builtNS, builtNV;
  } cases[] = {
      {"precision 1 with NS/NV 2.0 runs as 3", 1, 60, 30, 3, 60, 30},
      {"precision 1 with NS/NV 1.33 stays 1", 1, 40, 30, 1, 40, 30},
      {"precision 4 halves 61 and 31", 4, 61, 31, 4, 30, 15},
      {"precision 5 halves", 5, 60, 30, 5, 30, 15},
  };
  for (const Case& c : cases) {
    ScriptedSolve solve({positive(2.0, 1.9)});
    Args a;
    a.precision = c.precision;
    a.NS = c.NS;
    a.NV = c.NV;
    price(a);
    ASSERT_EQ(solve.calls().size(), 1u) << c.label;
    const SolveCall& s = solve.calls()[0];
    EXPECT_EQ(s.precision, c.builtPrecision) << c.label;
    EXPECT_EQ(s.NS, c.builtNS) << c.label;
    EXPECT_EQ(s.NV, c.builtNV) << c.label;
    EXPECT_EQ(a.precision, c.builtPrecision) << c.label;
    EXPECT_EQ(a.NS, c.builtNS) << c.label;
    EXPECT_EQ(a.NV, c.builtNV) << c.label;
  }
}

TEST_F(RobustPricer, FirstNegativeValueEscalatesTheGridAndSwitchesToMethod15) {
  struct Case {
    const char* label;
    int NS, NV, NT, methodID;
    int expNS, expNV, expNT;
  } cases[] = {
      {"NS0 100, NV 50: below 125", 100, 50, 90, 2, 133, 53, 30},
      {"NS0 100, NV 60: below 120", 100, 60, 90, 2, 133, 60, 30},
      {"NS0 100, NV 40: NV follows NS", 100, 40, 90, 2, 100, 43, 30},
      {"NS0 300, NV 160: capped at 400 by 160", 300, 160, 90, 2, 400, 160, 30},
      {"NT 30 of an ADI method: at least 20", 100, 40, 30, 2, 100, 43, 20},
      {"NT 300 of an ADI method: at most 50", 100, 40, 300, 2, 100, 43, 50},
      {"method 1 keeps its NT", 100, 40, 100, 1, 100, 43, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::remove(pricingLogPath().c_str());
    ScriptedSolve solve({negative(-0.01, 2.0, 1.9), positive(2.0, 1.8)});
    Args a;
    a.NS = c.NS;
    a.NV = c.NV;
    a.NT = c.NT;
    a.methodID = c.methodID;
    EXPECT_EQ(price(a), 1.8);
    ASSERT_EQ(solve.calls().size(), 2u);
    const SolveCall& s = solve.calls()[1];
    EXPECT_EQ(s.pricer, solve.calls()[0].pricer);
    EXPECT_EQ(s.NS, c.expNS);
    EXPECT_EQ(s.NV, c.expNV);
    EXPECT_EQ(s.NT, c.expNT);
    EXPECT_EQ(s.methodID, 15);
    EXPECT_EQ(s.logSParam, 0.5);
    EXPECT_EQ(s.sConcentration, 4.5);
    // The retry solves on a freshly placed grid.
    EXPECT_FALSE(s.gridValid);
    EXPECT_EQ(s.NS0, s.NS);
    EXPECT_EQ(s.sGridA, 0.0);
    EXPECT_EQ(s.vGridA, 0.0);
    EXPECT_EQ(s.iToV0, 0);
    EXPECT_EQ(a.NS, c.expNS);
    EXPECT_EQ(a.NV, c.expNV);
    // With debugFlag off a repaired negative leaves the log empty.
    EXPECT_EQ(log(), "");
  }
}

TEST_F(RobustPricer, LadderToGiveUpWithAValueMatchesTheFixture) {
  struct Size {
    int NS, NV;
  };
  const Size expected[] = {
      {100, 50}, {133, 53}, {266, 106}, {399, 159}, {400, 200}, {400, 200}, {700, 180}, {900, 400}};
  for (bool debug : {true, false}) {
    SCOPED_TRACE(debug ? "debug on" : "debug off");
    std::remove(pricingLogPath().c_str());
    debugFlag = debug;
    ScriptedSolve solve({negative(-0.5, 2.5, 2.4)});
    Args a;
    // The value of the last solve whose interpolated price was positive.
    EXPECT_EQ(price(a), 2.4);
    ASSERT_EQ(solve.calls().size(), 8u);
    for (int i = 0; i < 8; ++i) {
      const SolveCall& s = solve.calls()[i];
      EXPECT_EQ(s.NS, expected[i].NS) << "solve " << i;
      EXPECT_EQ(s.NV, expected[i].NV) << "solve " << i;
      EXPECT_EQ(s.sConcentration, i >= 2 ? 7.5 : 4.5) << "solve " << i;
      EXPECT_EQ(s.vGridMode, i >= 5 ? 1 : 0) << "solve " << i;
      EXPECT_EQ(s.NT, i == 0 ? 90 : i >= 6 ? 50 : 30) << "solve " << i;
    }
    EXPECT_EQ(a.NS, 900);
    EXPECT_EQ(a.NV, 400);
    if (debug) {
      EXPECT_EQ(maskCalcId(log()), readFixture("robust_single_give_up_with_value.txt"));
    } else {
      EXPECT_EQ(log(), "");
    }
  }
}

TEST_F(RobustPricer, LadderToGiveUpWithZeroIsAlwaysLogged) {
  ScriptedSolve solve({negative(-0.5, -0.1, 7.0)});
  Args a;
  EXPECT_EQ(price(a), 0.0);
  EXPECT_EQ(solve.calls().size(), 8u);
  EXPECT_EQ(maskCalcId(log()), readFixture("robust_single_give_up_with_zero.txt"));
}

TEST_F(RobustPricer, ZeroOnACoarseVarianceGridIsAnInstabilityRetriedThreeTimes) {
  // Real solves that price nothing.
  Args a;
  a.NS = 60;
  a.NV = 30;
  a.NT = 30;
  a.methodID = kNoSolverMethod;
  EXPECT_EQ(price(a), 0.0);
  EXPECT_EQ(maskCalcId(log()), readFixture("robust_single_instability.txt"));
}

TEST_F(RobustPricer, InstabilityRestartHalvesTheGridAgainInRunMode4) {
  ScriptedSolve solve({failure("Possible instability issue")});
  Args a;
  a.precision = 4;
  a.NS = 240;
  a.NV = 120;
  EXPECT_EQ(price(a), 0.0);
  ASSERT_EQ(solve.calls().size(), 4u);
  const int ns[] = {120, 60, 30, 15}, nv[] = {60, 30, 15, 7};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(solve.calls()[i].NS, ns[i]) << "start " << i;
    EXPECT_EQ(solve.calls()[i].NV, nv[i]) << "start " << i;
  }
  EXPECT_EQ(countOf(log(), "Possible instability issue. Retrying evaluation : 0\n"), 3);
}

TEST_F(RobustPricer, ZeroOnAFineVarianceGridTakesTheMemoryRoad) {
  debugFlag = true;
  Args a;
  a.NV = 300;
  a.methodID = kNoSolverMethod;
  EXPECT_EQ(price(a), 0.0);
  EXPECT_EQ(a.NS, 400);
  EXPECT_EQ(a.NV, 225);
  EXPECT_EQ(maskCalcId(log()), readFixture("robust_single_memory_road.txt"));
}

TEST_F(RobustPricer, MemoryRoadThenSuccess) {
  debugFlag = true;
  ScriptedSolve solve({zero(), positive(2.0, 1.7)});
  Args a;
  a.NV = 300;
  EXPECT_EQ(price(a), 1.7);
  ASSERT_EQ(solve.calls().size(), 2u);
  const SolveCall& s = solve.calls()[1];
  EXPECT_EQ(s.NS, 400);
  EXPECT_EQ(s.NV, 225);
  EXPECT_EQ(s.vGridMode, 1);
  EXPECT_FALSE(s.gridValid);
  EXPECT_EQ(s.sGridA, 0.0);
  EXPECT_EQ(s.methodID, 2);
  const std::string frame = std::string(85, '*') + "\n";
  EXPECT_EQ(maskCalcId(log()),
            frame +
                "<calcID>: There was a memory failure so we are retrying with 0.75*NV and higher "
                "grid non-uniformity.\n" +
                frame + "\n" + frame +
                "<calcID>: Succeeded at re-evaluation 1 with NS = 400, NV = 225 and NT = 90. "
                "Value is: 2.\n" +
                frame + "\n");
}

TEST_F(RobustPricer, MemoryRoadThenNegativesTakesTheDenseRows) {
  ScriptedSolve solve({zero(), zero(), negative(-1.0, 1.0, 0.9)});
  Args a;
  a.NV = 300;
  EXPECT_EQ(price(a), 0.9);
  ASSERT_EQ(solve.calls().size(), 5u);
  struct Size {
    int NS, NV, NT;
  };
  // zero: memory road; zero: re-solve unchanged; negative: 700 by 180 with 300 steps (the
  // method is still an ADI one), negative: 900 by 400, negative: give up.
  const Size expected[] = {
      {100, 300, 90}, {400, 225, 90}, {400, 225, 90}, {700, 180, 300}, {900, 400, 300}};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(solve.calls()[i].NS, expected[i].NS) << "solve " << i;
    EXPECT_EQ(solve.calls()[i].NV, expected[i].NV) << "solve " << i;
    EXPECT_EQ(solve.calls()[i].NT, expected[i].NT) << "solve " << i;
  }
  EXPECT_EQ(log(), "");
}

TEST_F(RobustPricer, MemoryRoadGivesUpAfterTwoUnchangedResolves) {
  ScriptedSolve solve({zero(), zero(), zero(), zero()});
  Args a;
  a.NV = 240;
  EXPECT_EQ(price(a), 0.0);
  EXPECT_EQ(solve.calls().size(), 4u);
  EXPECT_EQ(countOf(log(), "returning the best we could do which was...: 0.\n"), 1);
  EXPECT_EQ(countOf(log(), "retrying with 0.75*NV"), 0);
}

TEST_F(RobustPricer, AllocationFailureIsRetriedTwiceOnTheSamePricer) {
  ScriptedSolve solve({failure("bad allocation")});
  Args a;
  EXPECT_EQ(price(a), 0.0);
  ASSERT_EQ(solve.calls().size(), 3u);
  EXPECT_EQ(solve.calls()[1].pricer, solve.calls()[0].pricer);
  EXPECT_EQ(solve.calls()[2].pricer, solve.calls()[0].pricer);
  const std::string text = maskCalcId(log());
  EXPECT_EQ(countOf(text, "Possible instability issue*"), 3);
  EXPECT_EQ(countOf(text, "\nbad allocation\n"), 3);
  EXPECT_EQ(countOf(text, "<calcID>: Failed to allocate memory. Retrying evaluation:1\n"), 1);
  EXPECT_EQ(countOf(text, "<calcID>: Failed to allocate memory. Retrying evaluation:2\n"), 1);
  EXPECT_EQ(countOf(text, "Retrying evaluation:3"), 0);
}

TEST_F(RobustPricer, SuccessAfterAnAllocationRetryIsLoggedWithoutDebug) {
  ScriptedSolve solve({failure("bad allocation"), negative(-0.1, 1.0, 0.9), positive(2.0, 1.6)});
  Args a;
  EXPECT_EQ(price(a), 1.6);
  const std::string text = maskCalcId(log());
  EXPECT_EQ(countOf(text,
                    "<calcID>: Succeeded at re-evaluation 2 with NS = 133, NV = 53 and NT = 30. "
                    "Value is: 2.\n"),
            1);
  EXPECT_EQ(countOf(text, "Attempting re-evaluation"), 0);
  EXPECT_EQ(countOf(text, "Negative value"), 0);
}

TEST_F(RobustPricer, OtherFailuresReturnZeroAtOnce) {
  ScriptedSolve solve({failure("Instability detected")});
  Args a;
  EXPECT_EQ(price(a), 0.0);
  EXPECT_EQ(solve.calls().size(), 1u);
  const std::string text = maskCalcId(log());
  EXPECT_EQ(countOf(text, "\nInstability detected\n"), 1);
  EXPECT_EQ(countOf(text, "Retrying evaluation"), 0);
  EXPECT_EQ(countOf(text, "Precision:\t3\n\n"), 1);
}

TEST_F(RobustPricer, FallbackDropsTheRunModeToPlainOnANegativeValue) {
  for (bool fallback : {false, true}) {
    ScriptedSolve solve({negative(-0.1, 1.0, 0.9), positive(2.0, 1.5)});
    Args a;
    a.precision = 4;
    a.NS = 200;
    a.NV = 100;
    a.fallback = fallback;
    EXPECT_EQ(price(a), 1.5);
    ASSERT_EQ(solve.calls().size(), 2u);
    EXPECT_EQ(solve.calls()[1].precision, fallback ? 3 : 4);
    EXPECT_EQ(a.precision, fallback ? 3 : 4);
  }
}

TEST_F(RobustPricer, ImpliedVolatilityIsAskedOfEverySolve) {
  ScriptedSolve solve({negative(-0.1, 1.0, 0.3), positive(2.0, 0.25)});
  Args a;
  a.ivWanted = 1;
  EXPECT_EQ(price(a), 0.25);
  ASSERT_EQ(solve.calls().size(), 2u);
  EXPECT_EQ(solve.calls()[0].cpuTime, -1.0);
  EXPECT_EQ(solve.calls()[1].cpuTime, -1.0);
}

}  // namespace serivane

namespace serivane {

// The ladder's rungs above 400 asset intervals solve plain whatever run mode was asked for (a
// convergence run there would solve 1800 by 800); the rungs up to 400 keep the run mode.
TEST_F(RobustPricer, RungsAbove400AssetIntervalsSolvePlain) {
  for (int precision : {4, 5}) {
    ScriptedSolve solve({negative(-0.5, 2.5, 2.4)});
    Args a;
    a.precision = precision;
    EXPECT_EQ(price(a), 2.4);
    int dense = 0;
    for (const SolveCall& s : solve.calls()) {
      EXPECT_EQ(s.precision, s.NS > 400 ? 3 : precision) << "NS " << s.NS;
      if (s.NS > 400) ++dense;
    }
    EXPECT_EQ(dense, 2) << "precision " << precision;
    EXPECT_EQ(a.precision, 3);
  }
}

}  // namespace serivane
