// The robust strike-list pricer: its own retry rules, per-strike values and log lines, driven by
// the scripted solve of the test seam and, for a zero value, by real solves.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "calibration/pricing/robust_pricers.h"
#include "core/black_scholes.h"
#include "core/brent.h"
#include "heston_analytic/analytic_heston_engine.h"
#include "pricing_log_test_util.h"
#include "support/temp_folder.h"

namespace serivane {

namespace {

constexpr int kNoSolverMethod = 99;

struct Args {
  double S = 100.0;
  std::vector<double> strikes{90.0, 110.0};
  double T = 1.0, r = 0.03, d = 0.01;
  double v0 = 0.04, vL = 0.04, theta = 1.5, volvol = 0.3, rho = -0.7;
  int NS = 100, NV = 50, NT = 90, CallPut = 1, EuroAmer = 0, precision = 3, methodID = 2;
  int ivWanted = 1;
  double sRangeParam = 1.0, varRange = 0.9999;
  int volvolWidening = 0, stripMode = 0;
  bool fallback = false;
  int model = 1;
  double p = 1.0;
};

double price(Args& a, std::vector<double>& ivs) {
  return calcVanillaPDEStrikesWithRetries(a.S,
                                          a.strikes,
                                          ivs,
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
                                          a.stripMode,
                                          a.fallback,
                                          a.model,
                                          a.p);
}

SolveOutcome pass(double value, std::vector<double> prices, std::vector<double> ivs = {}) {
  SolveOutcome o = SolveOutcome::values(value, value, value);
  o.strikePrices = std::move(prices);
  o.strikeIVs = std::move(ivs);
  return o;
}
SolveOutcome failure(const char* message) { return SolveOutcome::failure(message); }

using RobustStrikePricer = PricingLogTest;

}  // namespace

TEST_F(RobustStrikePricer, AllPositiveFirstSolveReturnsAtOnceAndLogsNothing) {
  ScriptedSolve solve({pass(2.0, {1.0, 2.0}, {0.21, 0.2})});
  Args a;
  std::vector<double> ivs;
  EXPECT_EQ(price(a, ivs), 2.0);
  EXPECT_EQ(ivs, (std::vector<double>{0.21, 0.2}));
  EXPECT_EQ(solve.calls().size(), 1u);
  EXPECT_EQ(solve.calls()[0].cpuTime, -1.0);
  EXPECT_FALSE(logExists());
}

TEST_F(RobustStrikePricer, RunModeAndGridAtStart) {
  struct Case {
    const char* label;
    int precision, NS, NV;
    int builtPrecision, builtNS, builtNV;
  } cases[] = {
      {"precision 1 with 60 by 30 becomes 3", 1, 60, 30, 3, 60, 30},
      {"precision 4 with 60 by 30 prices on 30 by 15", 4, 60, 30, 4, 30, 15},
  };
  for (const Case& c : cases) {
    ScriptedSolve solve({pass(2.0, {1.0, 2.0}, {0.2, 0.2})});
    Args a;
    a.precision = c.precision;
    a.NS = c.NS;
    a.NV = c.NV;
    std::vector<double> ivs;
    price(a, ivs);
    ASSERT_EQ(solve.calls().size(), 1u) << c.label;
    EXPECT_EQ(solve.calls()[0].precision, c.builtPrecision) << c.label;
    EXPECT_EQ(solve.calls()[0].NS, c.builtNS) << c.label;
    EXPECT_EQ(solve.calls()[0].NV, c.builtNV) << c.label;
    EXPECT_EQ(a.precision, c.builtPrecision) << c.label;
  }
}

TEST_F(RobustStrikePricer, NegativeThenSuccessWithDebugMatchesTheFixture) {
  debugFlag = true;
  ScriptedSolve solve({pass(-0.2, {1.0, -0.3}, {0.2, 0.0}), pass(3.5, {1.1, 0.4}, {0.2, 0.25})});
  Args a;
  std::vector<double> ivs;
  EXPECT_EQ(price(a, ivs), 3.5);
  EXPECT_EQ(ivs, (std::vector<double>{0.2, 0.25}));
  ASSERT_EQ(solve.calls().size(), 2u);
  EXPECT_EQ(solve.calls()[1].methodID, 15);
  EXPECT_EQ(solve.calls()[1].logSParam, 0.5);
  EXPECT_EQ(maskCalcId(log()), readFixture("robust_strikes_negative_then_success.txt"));
}

TEST_F(RobustStrikePricer, StripMode2SolvesTheNextPassOnTheEntrySize) {
  for (int stripMode : {0, 2}) {
    ScriptedSolve solve({pass(-0.2, {1.0, -0.3}), pass(3.5, {1.1, 0.4}, {0.2, 0.25})});
    Args a;
    a.precision = 4;
    a.NS = 200;
    a.NV = 30;
    a.stripMode = stripMode;
    std::vector<double> ivs;
    price(a, ivs);
    ASSERT_EQ(solve.calls().size(), 2u);
    // Halved to 100 by 15; NSentry 200 >= 2.5 NV: NV follows the halved NS.
    EXPECT_EQ(solve.calls()[1].NS, stripMode == 2 ? 200 : 100) << "stripMode " << stripMode;
    EXPECT_EQ(solve.calls()[1].NV, 43) << "stripMode " << stripMode;
    EXPECT_EQ(a.NS, 100) << "stripMode " << stripMode;
    EXPECT_EQ(a.NV, 43) << "stripMode " << stripMode;
  }
}

TEST_F(RobustStrikePricer, GiveUpWithANonPositiveStrikePriceIsAlwaysLogged) {
  ScriptedSolve solve({pass(-0.5, {1.0, -0.25}, {0.2, 0.0})});
  Args a;
  std::vector<double> ivs{9.0};
  EXPECT_EQ(price(a, ivs), 0.0);
  // No pass had every price positive: zeros.
  EXPECT_EQ(ivs, (std::vector<double>{0.0, 0.0}));
  EXPECT_EQ(a.NS, 900);
  EXPECT_EQ(a.NV, 400);
  EXPECT_EQ(maskCalcId(log()), readFixture("robust_strikes_give_up_with_zero.txt"));
}

TEST_F(RobustStrikePricer, GiveUpWithAllStrikePricesPositiveReturnsTheirIVs) {
  for (bool debug : {false, true}) {
    SCOPED_TRACE(debug ? "debug on" : "debug off");
    std::remove(pricingLogPath().c_str());
    debugFlag = debug;
    ScriptedSolve solve({pass(-0.5, {1.0, 2.0}, {0.3, 0.31})});
    Args a;
    std::vector<double> ivs;
    EXPECT_EQ(price(a, ivs), 0.0);
    EXPECT_EQ(ivs, (std::vector<double>{0.3, 0.31}));
    const std::string text = log();
    EXPECT_EQ(countOf(text, "Failed to get a positive value"), 0);
    // One give-up at the end of the schedule, which ends the call: no memory road follows.
    EXPECT_EQ(countOf(text, " retries. Returning possibly innacurate values\n"), debug ? 1 : 0);
    EXPECT_EQ(countOf(text, "returning the best we could do which was...: .\n"), 0);
  }
}

TEST_F(RobustStrikePricer, ZeroOnACoarseVarianceGridIsRetriedAsAnInstabilityThenGivesUp) {
  Args a;
  a.methodID = kNoSolverMethod;  // real solves that price nothing
  std::vector<double> ivs{42.0};
  EXPECT_EQ(price(a, ivs), 0.0);
  EXPECT_EQ(ivs, std::vector<double>{42.0});
  const std::string text = maskCalcId(log());
  EXPECT_EQ(countOf(text, "\nPossible instability issue\n"), 4);
  EXPECT_EQ(countOf(text, "<calcID>: Possible instability issue. Retrying evaluation : 0\n"), 3);
  EXPECT_EQ(countOf(text, "K:"), 0);
  EXPECT_EQ(countOf(text, "Euro/Amer:\t0\nPrecision:\t3\n\n"), 4);
}

TEST_F(RobustStrikePricer, MemoryRoadThenSuccess) {
  debugFlag = true;
  ScriptedSolve solve({pass(0.0, {0.0, 0.0}), pass(2.0, {1.0, 2.0}, {0.2, 0.3})});
  Args a;
  a.NV = 300;
  std::vector<double> ivs;
  EXPECT_EQ(price(a, ivs), 2.0);
  ASSERT_EQ(solve.calls().size(), 2u);
  EXPECT_EQ(solve.calls()[1].NS, 400);
  EXPECT_EQ(solve.calls()[1].NV, 225);
  EXPECT_EQ(solve.calls()[1].vGridMode, 1);
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

TEST_F(RobustStrikePricer, AllocationFailureIsRetriedTwiceOnTheSamePricer) {
  {
    ScriptedSolve solve({failure("bad allocation"), pass(2.0, {1.0, 2.0}, {0.2, 0.3})});
    Args a;
    std::vector<double> ivs;
    EXPECT_EQ(price(a, ivs), 2.0);
    EXPECT_EQ(ivs, (std::vector<double>{0.2, 0.3}));
    ASSERT_EQ(solve.calls().size(), 2u);
    EXPECT_EQ(solve.calls()[1].pricer, solve.calls()[0].pricer);
    EXPECT_EQ(countOf(maskCalcId(log()),
                      "<calcID>: Failed to allocate memory. Retrying "
                      "evaluation:1\n"),
              1);
  }
  std::remove(pricingLogPath().c_str());
  {
    ScriptedSolve solve({failure("bad allocation")});
    Args a;
    std::vector<double> ivs{42.0};
    EXPECT_EQ(price(a, ivs), 0.0);
    EXPECT_EQ(ivs, std::vector<double>{42.0});
    EXPECT_EQ(solve.calls().size(), 3u);
    EXPECT_EQ(countOf(log(), "Failed to allocate memory. Retrying evaluation:"), 2);
  }
}

TEST_F(RobustStrikePricer, SuccessAfterAnAllocationRetryIsLoggedWithoutDebug) {
  ScriptedSolve solve(
      {failure("bad allocation"), pass(-0.2, {1.0, -0.3}), pass(3.5, {1.1, 0.4}, {0.2, 0.25})});
  Args a;
  std::vector<double> ivs;
  EXPECT_EQ(price(a, ivs), 3.5);
  EXPECT_EQ(countOf(maskCalcId(log()),
                    "<calcID>: Succeeded at re-evaluation 2 with NS = 133, NV = 53 and NT = 30. "
                    "Value is: 3.5.\n"),
            1);
}

TEST_F(RobustStrikePricer, FallbackTurnsEveryRetryToPlainRunMode) {
  ScriptedSolve solve({pass(-0.2, {1.0, -0.3}), pass(3.5, {1.1, 0.4}, {0.2, 0.25})});
  Args a;
  a.precision = 5;
  a.NS = 200;
  a.NV = 100;
  a.fallback = true;
  std::vector<double> ivs;
  price(a, ivs);
  ASSERT_EQ(solve.calls().size(), 2u);
  EXPECT_EQ(solve.calls()[0].precision, 5);
  EXPECT_EQ(solve.calls()[1].precision, 3);
  EXPECT_EQ(a.precision, 3);
}

// Real solves of the square-root variance model: the implied volatilities of a strike list, and
// of a list of one strike, against those of the semi-analytic Heston prices.
TEST_F(RobustStrikePricer, RealSolvesMatchTheAnalyticHestonImpliedVolatilities) {
  TempFolder folder;  // the variance-grid fallback may append to "ErrorLog.txt"
  AnalyticHestonEngine engine(1e-12, 1000000);
  const auto hestonIV = [&](double K) {
    const int isPut = K <= 100.0 ? 1 : 0;
    const double p =
        engine.price(100.0, K, 1.0, 0.03, 0.01, 0.04, 0.04, 1.5, 0.3, -0.7, isPut ? -1 : 1);
    return brentSolve(ImpliedVolFunctor{100.0, K, 1.0, 0.03, 0.01, p, isPut}, 1e-6, 2.0, 1e-16);
  };
  struct Case {
    const char* label;
    std::vector<double> strikes;
  } cases[] = {{"three strikes", {110.0, 90.0, 100.0}}, {"one strike", {100.0}}};
  for (const Case& c : cases) {
    Args a;
    a.strikes = c.strikes;
    a.model = 0;
    a.NS = 120;
    a.NV = 60;
    a.NT = 60;
    std::vector<double> ivs;
    EXPECT_GT(price(a, ivs), 0.0) << c.label;
    std::vector<double> sorted = c.strikes;
    std::sort(sorted.begin(), sorted.end());
    ASSERT_EQ(ivs.size(), sorted.size()) << c.label;
    for (std::size_t i = 0; i < sorted.size(); ++i) {
      EXPECT_NEAR(ivs[i], hestonIV(sorted[i]), 2e-3) << c.label << ", K " << sorted[i];
    }
  }
  EXPECT_FALSE(logExists());
}

}  // namespace serivane

namespace serivane {

// A strike gets the same answer alone as in a group: a deep in-the-money put whose price lies
// beyond every volatility of the bracket gets no volatility (0) either way, never its price, and
// a strike whose volatility is found gets it alone and in the group alike.
TEST_F(RobustStrikePricer, OneStrikeAndTwoStrikeGroupsAgreeStrikeByStrike) {
  TempFolder folder;  // the variance-grid fallback may append to "ErrorLog.txt"
  const auto ivsOf = [](std::vector<double> strikes) {
    Args a;
    a.strikes = std::move(strikes);
    a.T = 0.01;
    a.model = 0;
    a.NS = 80;
    a.NV = 40;
    a.NT = 40;
    std::vector<double> ivs;
    EXPECT_GT(price(a, ivs), 0.0);
    return ivs;
  };
  const std::vector<double> deepAlone = ivsOf({300.0});
  const std::vector<double> atTheMoneyAlone = ivsOf({100.0});
  const std::vector<double> both = ivsOf({100.0, 300.0});
  ASSERT_EQ(deepAlone.size(), 1u);
  ASSERT_EQ(atTheMoneyAlone.size(), 1u);
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(deepAlone[0], 0.0);
  EXPECT_EQ(both[1], 0.0);
  // The two solves are on different grids (the strike list places its own nodes).
  EXPECT_GT(atTheMoneyAlone[0], 0.1);
  EXPECT_NEAR(atTheMoneyAlone[0], both[0], 5e-3);
}

// A Bermudan expiration (EuroAmer 2) has no prices without its exercise dates, and the pricer is
// given none: nothing is solved, the failure value 0.0 comes back with the strike IVs left as they
// were, and the catch record (without a "K:" line) says why.
TEST_F(RobustStrikePricer, ABermudanExpirationIsTheFailureValueWithItsRecord) {
  ScriptedSolve solve({pass(2.0, {1.0, 2.0}, {0.21, 0.2})});
  Args a;
  a.EuroAmer = 2;
  std::vector<double> ivs{-1.0};
  EXPECT_EQ(price(a, ivs), 0.0);
  EXPECT_TRUE(solve.calls().empty());
  EXPECT_EQ(ivs, std::vector<double>{-1.0});
  const std::string text = log();
  EXPECT_EQ(text.find("*********************************************************Possible "
                      "instability issue****************************\n" +
                      std::string(kNoExerciseDatesMessage) + "\n" + std::string(85, '*') +
                      "\nS:\t\t100\nT:\t\t1\n"),
            0u)
      << text;
  EXPECT_NE(text.find("\nEuro/Amer:\t2\nPrecision:\t3\n\n"), std::string::npos) << text;
}

}  // namespace serivane
