// The exported single price and implied volatility called in process: the precision mapping,
// the local copies of the grid sizes, and the guard at the C boundary.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "calibration/exports/serivane.h"
#include "core/black_scholes.h"
#include "core/failure_messages.h"
#include "pricing_log_test_util.h"
#include "support/temp_folder.h"

namespace serivane {

namespace {

double exportPrice(
    int32_t NS, int32_t NV, int32_t precisionCode, double vL = 0.04, int32_t model = 0) {
  return GARCH_VanillaPDESolver(100.0,
                                100.0,
                                1.0,
                                0.03,
                                0.01,
                                0.04,
                                vL,
                                1.5,
                                0.3,
                                -0.7,
                                NS,
                                NV,
                                40,
                                1,
                                0,
                                precisionCode,
                                2,
                                0,
                                1.0,
                                0.9999,
                                0,
                                model);
}

void throwNonStandard(QelHestonVanilla&, double&) { throw 42; }

using Exports = PricingLogTest;

}  // namespace

TEST_F(Exports, PrecisionCodeMapsToTheRunMode) {
  struct Case {
    const char* label;
    int32_t code;
    int runMode;
  } cases[] = {{"1: plain", 1, 3},
               {"2: convergence run", 2, 5},
               {"0: Richardson", 0, 4},
               {"3: Richardson", 3, 4},
               {"4: Richardson", 4, 4},
               {"5: Richardson", 5, 4},
               {"-1: Richardson", -1, 4}};
  for (const Case& c : cases) {
    ScriptedSolve solve({SolveOutcome::values(2.0, 2.0, 1.9)});
    EXPECT_EQ(exportPrice(80, 40, c.code), 1.9) << c.label;
    ASSERT_EQ(solve.calls().size(), 1u) << c.label;
    EXPECT_EQ(solve.calls()[0].precision, c.runMode) << c.label;
    // Run modes 4 and 5 solve on halved grids.
    EXPECT_EQ(solve.calls()[0].NS, c.runMode == 3 ? 80 : 40) << c.label;
  }
}

TEST_F(Exports, EscalatedGridSizesAreNotReportedBack) {
  for (int call = 0; call < 2; ++call) {
    ScriptedSolve solve(
        {SolveOutcome::values(-0.1, 1.0, 0.9), SolveOutcome::values(2.0, 2.0, 1.8)});
    EXPECT_EQ(exportPrice(100, 50, 1), 1.8) << "call " << call;
    ASSERT_EQ(solve.calls().size(), 2u);
    EXPECT_EQ(solve.calls()[0].NS, 100) << "call " << call;
    EXPECT_EQ(solve.calls()[0].NV, 50) << "call " << call;
    EXPECT_EQ(solve.calls()[0].precision, 3) << "call " << call;
  }
}

TEST_F(Exports, PlainStringFromTheVarianceBoundIsContainedAndLogged) {
  // Model 1 with vL = 0 and a coverage probability: the gamma law of the variance bound throws
  // a plain character string, which passes the robust pricer's handler.
  EXPECT_EQ(exportPrice(60, 30, 1, 0.0, 1), 0.0);
  const std::string text = log();
  const std::string frame = std::string(85, '*') + "\n";
  EXPECT_NE(text.find("Possible instability issue****************************\n"
                      "bad alph,bet in Gammadist\n" +
                      frame + "S:\t\t100\nK:\t\t100\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Euro/Amer:\t0\nPrecision:\t3\n\n"), std::string::npos) << text;
}

TEST_F(Exports, AnyOtherThrownObjectIsContained) {
  robustSolveHook = &throwNonStandard;
  EXPECT_EQ(exportPrice(60, 30, 1), 0.0);
  EXPECT_NE(log().find("\nunknown error\n"), std::string::npos);
}

TEST_F(Exports, ImpliedVolIsExactToMachinePrecisionAndMinus999OutsideTheBracket) {
  struct Case {
    const char* label;
    double K, T, sigma;
    int32_t isPut;
  } cases[] = {{"at-the-money call", 100.0, 1.0, 0.2, 0},
               {"in-the-money put", 120.0, 0.5, 0.35, 1},
               {"out-of-the-money call, high vol", 140.0, 2.0, 1.1, 0}};
  for (const Case& c : cases) {
    const double p = bsmPrice(100.0, c.K, 0.03, 0.01, c.sigma, c.T, c.isPut);
    const double iv = ImpliedVol(p, 100.0, c.K, c.T, 0.03, 0.01, c.isPut);
    EXPECT_NEAR(iv, c.sigma, 1e-13 * c.sigma) << c.label;
    const double low = bsmPrice(100.0, c.K, 0.03, 0.01, 1e-6, c.T, c.isPut);
    const double high = bsmPrice(100.0, c.K, 0.03, 0.01, 2.0, c.T, c.isPut);
    EXPECT_EQ(ImpliedVol(low * (1.0 - 1e-6) - 1e-9, 100.0, c.K, c.T, 0.03, 0.01, c.isPut), -999.0)
        << c.label;
    EXPECT_EQ(ImpliedVol(high * (1.0 + 1e-6) + 1e-9, 100.0, c.K, c.T, 0.03, 0.01, c.isPut), -999.0)
        << c.label;
  }
  EXPECT_EQ(ImpliedVol(std::nan(""), 100.0, 100.0, 1.0, 0.03, 0.01, 0), -999.0);
  EXPECT_FALSE(logExists());
}

}  // namespace serivane

namespace serivane {

// A volatility asked for is a volatility: where the price needs one above the bracket's top of 2,
// the export gives its failure value (0.0) with a record, not the price.
TEST_F(Exports, ImpliedVolatilityAboveTheBracketIsTheFailureValueNotThePrice) {
  TempFolder folder;  // the variance-grid fallback may append to "ErrorLog.txt"
  const auto call = [](int ivWanted) {
    return GARCH_VanillaPDESolver(100.0,
                                  76.33,
                                  1.95,
                                  0.03,
                                  0.01,
                                  26.0,
                                  0.04,
                                  2.0,
                                  0.6,
                                  -0.2,
                                  72,
                                  39,
                                  24,
                                  0,
                                  0,
                                  1,
                                  1,
                                  ivWanted,
                                  1.0,
                                  0.9999,
                                  0,
                                  1);
  };
  const double price = call(0);
  ASSERT_GT(price, 0.0);
  // No volatility of [1e-6, 2] reaches the price: the call at volatility 2 is worth less.
  ASSERT_GT(price, bsmPrice(100.0, 76.33, 0.03, 0.01, 2.0, 1.95, 0));
  std::remove(pricingLogPath().c_str());
  EXPECT_EQ(call(1), 0.0);
  EXPECT_NE(log().find(kNoImpliedVolMessage), std::string::npos) << log();
}

}  // namespace serivane

namespace serivane {

// The American put of S. Ikonen, J. Toivanen, "Operator splitting methods for pricing American
// options under stochastic volatility", Numer. Math. 113 (2009), Heston model with K 10, T 0.25,
// r 0.1, v0 0.25, vL 0.16, theta 5, volvol 0.9, rho 0.1: every method id prices it as American
// (a European solve lies about 0.08 below at S 8).
TEST_F(Exports, IkonenToivanenAmericanPutForEveryMethodId) {
  TempFolder folder;  // the variance-grid fallback may append to "ErrorLog.txt"
  struct Row {
    double S, reference;
  };
  const Row rows[] = {
      {8.0, 2.078372}, {9.0, 1.333640}, {10.0, 0.795983}, {11.0, 0.448277}, {12.0, 0.242813}};
  for (int methodID = 1; methodID <= 15; ++methodID) {
    for (const Row& row : rows) {
      const double price = GARCH_VanillaPDESolver(row.S,
                                                  10.0,
                                                  0.25,
                                                  0.1,
                                                  0.0,
                                                  0.25,
                                                  0.16,
                                                  5.0,
                                                  0.9,
                                                  0.1,
                                                  100,
                                                  50,
                                                  50,
                                                  1,
                                                  1,
                                                  1,
                                                  methodID,
                                                  0,
                                                  1.0,
                                                  0.9999,
                                                  0,
                                                  0);
      EXPECT_NEAR(price, row.reference, 3e-3) << "method " << methodID << ", S " << row.S;
      EXPECT_GE(price, 10.0 - row.S) << "method " << methodID << ", S " << row.S;
    }
  }
}

// A Bermudan option (EuroAmer 2) has no price without its exercise dates, and the export cannot be
// given any: the failure value and its catch record at once, for a price and for a volatility
// alike. Never the European price it came out as before (the American one lies above it).
TEST_F(Exports, ABermudanOptionIsTheFailureValueWithItsRecord) {
  const auto solve = [](int32_t CallPut, int32_t EuroAmer, int32_t ivWanted) {
    return GARCH_VanillaPDESolver(100.0,
                                  100.0,
                                  1.0,
                                  0.03,
                                  0.01,
                                  0.04,
                                  0.04,
                                  1.5,
                                  0.3,
                                  -0.7,
                                  100,
                                  50,
                                  30,
                                  CallPut,
                                  EuroAmer,
                                  1,
                                  1,
                                  ivWanted,
                                  1.0,
                                  0.9999,
                                  0,
                                  1);
  };
  const double european = solve(1, 0, 0), american = solve(1, 1, 0);
  ASSERT_GT(european, 6.0);
  ASSERT_GT(american, european + 0.1);
  ASSERT_FALSE(logExists()) << log();
  const std::string frame(85, '*');
  for (int32_t CallPut : {0, 1}) {
    for (int32_t ivWanted : {0, 1}) {
      std::remove(pricingLogPath().c_str());
      ScriptedSolve solves({SolveOutcome::values(2.0, 2.0, 0.2)});
      EXPECT_EQ(solve(CallPut, 2, ivWanted), 0.0) << "CallPut " << CallPut << ", iv " << ivWanted;
      EXPECT_TRUE(solves.calls().empty());
      EXPECT_EQ(log(),
                "*********************************************************Possible instability "
                "issue****************************\n" +
                    std::string(kNoExerciseDatesMessage) + "\n" + frame +
                    "\nS:\t\t100\nK:\t\t100\nT:\t\t1\nr:\t\t0.03\nd:\t\t0.01\nv0:\t\t0.04\n"
                    "vL:\t\t0.04\ntheta:\t\t1.5\nvolvol:\t\t0.3\nrho:\t\t-0.7\nNS:\t\t100\n"
                    "Nv:\t\t50\nNT:\t\t30\nCall/Put: \t" +
                    std::to_string(CallPut) + "\nEuro/Amer:\t2\nPrecision:\t3\n\n");
    }
  }
}

}  // namespace serivane
