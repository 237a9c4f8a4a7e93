// Bad input at the exports: every class of bad argument gives the export's failure value at once,
// with its failure record naming the argument where the export writes one; the inputs the
// exports give a meaning stay priced; sizes near INT_MAX cannot overflow the retry ladders; an
// American price is never below its exercise value at the spot.
#include "calibration/exports/export_args.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "bad_export_args.h"
#include "calibration/exports/serivane.h"
#include "calibration/pricing/robust_pricers.h"
#include "calibration/quotes/counted_option_file.h"
#include "calibration/quotes/program_folder.h"
#include "core/black_scholes.h"
#include "pricing_log_test_util.h"
#include "support/temp_folder.h"

namespace serivane {

namespace {

using namespace bad_export_args;

// Seconds taken by f(); the bound the tests put on it only guards against a hang.
template <class F>
double secondsOf(F&& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
constexpr double kHangGuardSeconds = 10.0;

using ExportArgs = PricingLogTest;

}  // namespace

TEST(ExportArgCheck, NamesTheFirstArgumentOutsideItsRange) {
  EXPECT_EQ(checkExportArgs({{"S", ArgKind::kSpot, 100.0}, {"NS", ArgKind::kAssetIntervals, 60}}),
            "");
  EXPECT_EQ(checkExportArgs({{"S", ArgKind::kSpot, 100.0},
                             {"K", ArgKind::kStrike, 0.0},
                             {"T", ArgKind::kMaturity, -1.0}}),
            "Invalid argument K = 0: a strike must be finite and in (0, 1e+12]");
  EXPECT_EQ(
      checkExportArgs({{"NS", ArgKind::kAssetIntervals, 50001}}),
      "Invalid argument NS = 50001: an asset interval count must be an integer in [1, 50000]");
  EXPECT_EQ(checkExportArgs({{"price", ArgKind::kPrice, std::nan("")}}),
            "Invalid argument price = nan: a price must be a finite number");
}

TEST(ExportArgCheck, RangesAreClosedOrOpenAsDocumented) {
  struct Case {
    ArgKind kind;
    double value;
    bool ok;
  } cases[] = {
      {ArgKind::kSpot, 0.0, false},
      {ArgKind::kSpotOrZero, 0.0, true},
      {ArgKind::kSpot, 1e12, true},
      {ArgKind::kSpot, 1.0000001e12, false},
      {ArgKind::kStrikeOrZero, 0.0, true},
      {ArgKind::kStrikeOrZero, -1e-300, false},
      {ArgKind::kMaturity, 0.0, true},
      {ArgKind::kMaturity, 100.0, true},
      {ArgKind::kMaturity, -0.0, true},
      {ArgKind::kMaturity, 100.5, false},
      {ArgKind::kRate, -0.5, true},
      {ArgKind::kRate, 0.5000001, false},
      {ArgKind::kVariance, 0.0, true},
      {ArgKind::kVariance, -1e-300, false},
      {ArgKind::kVolvol, 0.0, true},
      {ArgKind::kVolvol, -0.0, true},
      {ArgKind::kCorrelation, -1.0, true},
      {ArgKind::kCorrelation, 1.0000001, false},
      {ArgKind::kVarRange, -100.0, true},
      {ArgKind::kVarRange, 0.9999, true},
      {ArgKind::kRangeParam, 1e300, true},
      {ArgKind::kRangeParam, -std::nan(""), false},
      {ArgKind::kPrice, -1e300, true},
      {ArgKind::kPrice, kInf, false},
      {ArgKind::kTimeSteps, 100000, true},
      {ArgKind::kTimeSteps, 100001, false},
      {ArgKind::kTimeSteps, 0, false},
      {ArgKind::kNodeCount, 0, true},
      {ArgKind::kMethodId, 15, true},
      {ArgKind::kMethodId, 16, false},
      {ArgKind::kExerciseStyle, 2, true},
      {ArgKind::kExerciseStyle, -1, false},
      {ArgKind::kAnyInt, -2147483648.0, true},
      {ArgKind::kModelSelector, 1.4999999999999998, true},
      {ArgKind::kModelSelector, 1.5, false},
      {ArgKind::kModelSelector, -0.4999, true},
      {ArgKind::kModelSelector, -0.5, false},
      {ArgKind::kQuantileLevel, 0.0, false},
      {ArgKind::kQuantileLevel, 0.9999, true},
      {ArgKind::kRootMaturity, 10.0, true},
      {ArgKind::kExerciseDates, 20001, false},
      {ArgKind::kPositiveCount, 2147483647.0, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(argInRange(c.kind, c.value), c.ok)
        << "kind " << static_cast<int>(c.kind) << " value " << c.value;
  }
  EXPECT_EQ(checkGridSize(999, 999, 2000), "");
  EXPECT_NE(checkGridSize(1000, 1000, 1), "");
  EXPECT_NE(checkGridSize(50000, 50000, 100000), "");
}

TEST_F(ExportArgs, PdeSolverGivesItsFailureValueAndARecordNamingTheArgument) {
  for (const PdeCase& c : pdeCases()) {
    std::remove(pricingLogPath().c_str());
    PdeArgs a;
    c.change(a);
    double v = -1.0;
    const double seconds = secondsOf([&] { v = a.call(&GARCH_VanillaPDESolver); });
    EXPECT_EQ(v, 0.0) << c.label;
    EXPECT_LT(seconds, kHangGuardSeconds) << c.label;
    const std::string text = log();
    EXPECT_NE(text.find(c.logged), std::string::npos) << c.label << "\n" << text;
    // A catch record: the case block with its run mode.
    EXPECT_NE(text.find("Precision:\t3\n\n"), std::string::npos) << c.label << "\n" << text;
  }
}

TEST_F(ExportArgs, PdeSolverKeepsTheInputsItGivesAMeaning) {
  struct Case {
    const char* label;
    std::function<void(PdeArgs&)> change;
  } cases[] = {
      {"volvol 0", [](PdeArgs& a) { a.volvol = 0.0; }},
      {"explicit variance bound (negative varRange)", [](PdeArgs& a) { a.varRange = -0.5; }},
      {"odd precision code -7", [](PdeArgs& a) { a.precision = -7; }},
      {"ivWanted and volvolWidening any non-zero value",
       [](PdeArgs& a) {
         a.ivWanted = -3;
         a.volvolWidening = 9;
       }},
      {"the largest rates", [](PdeArgs& a) { a.r = 0.5; }},
      {"a wide S range (sRangeParam 1e6)", [](PdeArgs& a) { a.sRangeParam = 1e6; }},
  };
  for (const Case& c : cases) {
    PdeArgs a;
    c.change(a);
    const double v = a.call(&GARCH_VanillaPDESolver);
    EXPECT_TRUE(v > 0.0 && std::isfinite(v)) << c.label << ": " << v;
  }
}

TEST_F(ExportArgs, ImpliedVolGivesMinus999ForBadArguments) {
  const double p = bsmPrice(100.0, 100.0, 0.03, 0.01, 0.2, 1.0, 0);
  struct Case {
    const char* label;
    double price, S, K, T, r, d;
  } cases[] = {
      {"price infinite", kInf, 100.0, 100.0, 1.0, 0.03, 0.01},
      {"S zero", p, 0.0, 100.0, 1.0, 0.03, 0.01},
      {"K not a number", p, 100.0, kNaN, 1.0, 0.03, 0.01},
      {"T negative", p, 100.0, 100.0, -1.0, 0.03, 0.01},
      {"T -1e300", p, 100.0, 100.0, -1e300, 0.03, 0.01},
      {"r -1e300", p, 100.0, 100.0, 1.0, -1e300, 0.01},
      {"d infinite", p, 100.0, 100.0, 1.0, 0.03, -kInf},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ImpliedVol(c.price, c.S, c.K, c.T, c.r, c.d, 0), -999.0) << c.label;
  }
  EXPECT_NEAR(ImpliedVol(p, 100.0, 100.0, 1.0, 0.03, 0.01, 0), 0.2, 1e-12);
  EXPECT_FALSE(logExists());
}

TEST_F(ExportArgs, VanillaHestonGivesMinus999AndItsRecordNamingTheArgument) {
  for (const HestonCase& c : hestonCases()) {
    std::remove(pricingLogPath().c_str());
    HestonArgs a;
    c.change(a);
    double v = 0.0;
    const double seconds = secondsOf([&] { v = a.call(&VanillaHeston); });
    EXPECT_EQ(v, -999.0) << c.label;
    EXPECT_LT(seconds, kHangGuardSeconds) << c.label;
    const std::string text = log();
    EXPECT_EQ(text.rfind(std::string(85, '*') + "\n" + c.logged, 0), 0u) << c.label << "\n" << text;
    EXPECT_NE(text.find("Call/Put: \t1\n"), std::string::npos) << c.label;
  }
  // The inputs the export gives a meaning: volvol 0, S 0 and T 0 are priced, without a record.
  std::remove(pricingLogPath().c_str());
  HestonArgs a;
  a.volvol = 0.0;
  EXPECT_GT(a.call(&VanillaHeston), 0.0);
  a = HestonArgs();
  a.S = 0.0;
  EXPECT_NEAR(a.call(&VanillaHeston), 100.0 * std::exp(-0.03), 1e-9);
  a = HestonArgs();
  a.T = 0.0;
  a.K = 110.0;
  EXPECT_NEAR(a.call(&VanillaHeston), 10.0, 1e-3);
  EXPECT_FALSE(logExists()) << log();
}

TEST_F(ExportArgs, HestonCalibrationGivesMinus999ForBadParametersAndQuotes) {
  TempFolder current;  // "Results.txt"
  const std::string path = programFilePath(kOptionsDataName);
  std::remove(path.c_str());
  // Bad parameters are refused before the quote file is looked at (there is none).
  struct Case {
    const char* label;
    double v0, vL, theta, volvol, rho;
  } cases[] = {
      {"v0 not a number", kNaN, 0.05, 1.5, 0.3, -0.7},
      {"vL negative", 0.04, -0.05, 1.5, 0.3, -0.7},
      {"theta infinite", 0.04, 0.05, kInf, 0.3, -0.7},
      {"volvol negative", 0.04, 0.05, 1.5, -0.3, -0.7},
      {"rho beyond 1", 0.04, 0.05, 1.5, 0.3, 2.0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HESTON_VanillaCalibration(c.v0, c.vL, c.theta, c.volvol, c.rho), -999.0) << c.label;
  }
  // One market volatility of -1e300 would make the objective infinite.
  std::ofstream(path) << "2\n0.2 100 95 0.5 0.03 0.01 1 0\n-1e300 100 105 0.5 0.03 0.01 0 0\n";
  double v = 0.0;
  const double seconds =
      secondsOf([&] { v = HESTON_VanillaCalibration(0.04, 0.05, 1.5, 0.3, -0.7); });
  EXPECT_EQ(v, -999.0);
  EXPECT_LT(seconds, kHangGuardSeconds);
  // A quote with a rate far out is refused by the pricing of that quote.
  std::ofstream(path) << "1\n0.2 100 95 0.5 -1e300 0.01 1 0\n";
  EXPECT_EQ(HESTON_VanillaCalibration(0.04, 0.05, 1.5, 0.3, -0.7), -999.0);
  EXPECT_NE(log().find("Invalid argument r = -1e+300"), std::string::npos) << log();
  std::remove(path.c_str());
  EXPECT_EQ(current.read(kResultsName), "");
}

TEST_F(ExportArgs, RetryLaddersCannotOverflowOnHugeSizes) {
  // Called directly, past the export's check: the first negative value resizes from INT_MAX
  // (4 NS / 3, 5 NV / 2 in 64 bits), and a zero on a huge variance grid takes the memory road
  // (3 NV / 4); the pricer then refuses the sizes and the ladder ends with 0.0.
  ScriptedSolve solve({SolveOutcome::values(0.0, 0.0, 0.0)});
  int ns = kIntMax, nv = kIntMax, precision = 3;
  // The default put on a 30-step grid, its sizes and run mode in the variables above.
  const auto ladder = [&] {
    return calcVanillaPDEWithRetries(100.0,
                                     100.0,
                                     1.0,
                                     0.03,
                                     0.01,
                                     0.04,
                                     0.04,
                                     1.5,
                                     0.3,
                                     -0.7,
                                     &ns,
                                     &nv,
                                     30,
                                     1,
                                     0,
                                     &precision,
                                     2,
                                     0,
                                     1.0,
                                     0.9999,
                                     0,
                                     false,
                                     0);
  };
  EXPECT_EQ(ladder(), 0.0);
  EXPECT_EQ(nv, static_cast<int>(3LL * kIntMax / 4));
  ScriptedSolve negative({SolveOutcome::values(-1.0, 1.0, 1.0)});
  ns = kIntMax - 1;
  nv = kIntMax / 2;
  precision = 3;
  EXPECT_EQ(ladder(), 1.0);
  robustSolveHook = nullptr;
  // Without the seam the pricer itself refuses them: a catch record, and 0.0.
  ns = kIntMax;
  nv = kIntMax;
  precision = 3;
  EXPECT_EQ(ladder(), 0.0);
  EXPECT_NE(log().find("the grid sizes lie beyond what the pricer solves on"), std::string::npos);
}

TEST_F(ExportArgs, AmericanPriceIsNeverBelowItsExerciseValueAtTheSpot) {
  // Spots between the nodes of a 60 x 30 grid, a put struck at 10; the case of the report
  // (S 8, T 0.25, v0 0.0625) gave 1.99971 before.
  for (int methodID : {1, 2, 3, 5, 15}) {
    for (int precision : {0, 1, 2}) {
      for (double S : {7.5, 7.77, 8.0, 8.31, 8.9, 9.4}) {
        PdeArgs a;
        a.S = S;
        a.K = 10.0;
        a.T = 0.25;
        a.r = 0.1;
        a.d = 0.02;
        a.v0 = 0.0625;
        a.vL = 0.0625;
        a.theta = 1.0;
        a.volvol = 0.9;
        a.rho = 0.5;
        a.EuroAmer = 1;
        a.methodID = methodID;
        a.precision = precision;
        EXPECT_GE(a.call(&GARCH_VanillaPDESolver), 10.0 - S)
            << "method " << methodID << " precision " << precision << " S " << S;
      }
    }
  }
}

TEST(ExportArgsStrings, OptionPricerGivesTheMessageAndWritesNothing) {
  for (const OptionPricerCase& c : optionPricerCases()) {
    OptionPricerArgs a;
    c.change(a);
    const std::int32_t nsIn = a.NS;
    const std::vector<double> paramsIn(a.params, a.params + 6);
    std::string text;
    const double seconds = secondsOf([&] { text = a.call(&QelOptionPricer); });
    EXPECT_LT(seconds, kHangGuardSeconds) << c.label;
    EXPECT_NE(text.find(c.logged), std::string::npos) << c.label << ": " << text;
    EXPECT_TRUE(a.untouched()) << c.label;
    EXPECT_EQ(a.NS, nsIn) << c.label;
    for (int j = 0; j < 6; ++j) {
      EXPECT_TRUE(a.params[j] == paramsIn[j] || std::isnan(paramsIn[j])) << c.label << " " << j;
    }
  }
}

TEST(ExportArgsStrings, OptionPricerKeepsTheInputsItGivesAMeaning) {
  // Any node count above 50000 is the documented refusal: its message at once, with only *NS
  // and the transformed params[0] written.
  OptionPricerArgs huge;
  huge.NS = kIntMax;
  huge.NV = 50000;
  huge.NT = 100000;
  std::string text;
  EXPECT_LT(secondsOf([&] { text = huge.call(&QelOptionPricer); }), kHangGuardSeconds);
  EXPECT_EQ(text,
            "The asset grid of QelOptionPricer, 2147483647 nodes, exceeds its limit of 50000 "
            "nodes: fewer asset intervals");
  EXPECT_EQ(huge.NS, kIntMax);
  EXPECT_NEAR(huge.params[0], 0.3, 1e-14);
  EXPECT_EQ(huge.outValue[0], kSentinel);

  // rootT 0 (T 0, volvol 1), an odd run mode, flags of any value and the unread arguments
  // (NaN where nothing reads them) are priced; at T = 0 there is no step in time for a theta:
  // zeros, not the 0/0 of the bumped maturity.
  OptionPricerArgs expiry;
  expiry.rootT = 0.0;
  expiry.precision = -7;
  expiry.ctorFlag = -3;
  expiry.wantTheta = 1;
  expiry.tolExponent = kNaN;
  expiry.unusedArg = kNaN;
  expiry.vecA[0] = kNaN;
  EXPECT_EQ(expiry.call(&QelOptionPricer), "");
  ASSERT_GT(expiry.NS, 0);
  for (int i = 0; i <= expiry.NS; ++i) {
    const std::size_t k = static_cast<std::size_t>(i);
    EXPECT_EQ(expiry.outTheta[k], 0.0) << i;
    EXPECT_TRUE(std::isfinite(expiry.outValue[k])) << i;
    // The payoff, smoothed at the strike.
    if (std::fabs(expiry.outS[k] - 100.0) > 10.0) {
      EXPECT_NEAR(expiry.outValue[k], std::max(100.0 - expiry.outS[k], 0.0), 1e-9) << i;
    }
  }
}

TEST(ExportArgsStrings, HestonGridGivesTheMessageAndWritesNothing) {
  for (const HestonGridCase& c : hestonGridCases()) {
    HestonGridArgs a;
    c.change(a);
    std::string text;
    const double seconds = secondsOf([&] { text = a.call(&VanillaHestonGrid); });
    EXPECT_LT(seconds, kHangGuardSeconds) << c.label;
    EXPECT_NE(text.find(c.logged), std::string::npos) << c.label << ": " << text;
    EXPECT_TRUE(a.untouched()) << c.label;
  }
  // Node 0 of a call is not read: whatever it holds, its value is 0.0. N 0 prices node 0 only.
  HestonGridArgs call;
  call.put = 0;
  call.S[0] = kNaN;
  EXPECT_EQ(call.call(&VanillaHestonGrid), "");
  EXPECT_EQ(call.out[0], 0.0);
  for (std::size_t i = 1; i < call.out.size(); ++i) EXPECT_GT(call.out[i], 0.0) << i;
  HestonGridArgs one;
  one.N = 0;
  one.S[1] = kNaN;
  EXPECT_EQ(one.call(&VanillaHestonGrid), "");
  EXPECT_NEAR(one.out[0], 100.0 * std::exp(-0.03), 1e-12);
  EXPECT_EQ(one.out[1], kSentinel);
}

TEST_F(ExportArgs, PdeObjectivesGiveZeroAndARecordNamingTheArgument) {
  TempFolder current;  // "Results.txt", were an evaluation recorded
  const std::string path = programFilePath(kOptionsDataName);
  for (const ObjectiveCase& c : objectiveCases()) {
    ObjectiveArgs a;
    c.change(a);
    std::ofstream(path) << c.file;
    struct Export {
      const char* name;
      std::function<double()> call;
    };
    std::vector<Export> exports = {
        {"GARCH_VanillaPDECalibration", [&] { return a.byOption(&GARCH_VanillaPDECalibration); }},
        {"GARCH_VanillaPDECalibrationM", [&] { return a.byExpiry(&GARCH_VanillaPDECalibrationM); }},
        {"SVPDECalibration, selector 3", [&] { return a.svByOption(&SVPDECalibration); }},
        {"SVPDECalibration, a strip mode", [&] { return a.byExpiry(&SVPDECalibration); }},
    };
    if (a.model == 0) {
      exports.push_back({"HESTON_VanillaPDECalibration",
                         [&] { return a.heston(&HESTON_VanillaPDECalibration); }});
      exports.push_back({"HESTON_VanillaPDECalibrationM",
                         [&] { return a.heston(&HESTON_VanillaPDECalibrationM); }});
    }
    for (const Export& e : exports) {
      std::remove(pricingLogPath().c_str());
      double v = -1.0;
      const double seconds = secondsOf([&] { v = e.call(); });
      EXPECT_EQ(v, 0.0) << c.label << ", " << e.name;
      EXPECT_LT(seconds, kHangGuardSeconds) << c.label << ", " << e.name;
      const std::string text = log();
      // The error record: frame, message, frame, empty line.
      const std::string frame(85, '*');
      EXPECT_EQ(text.rfind(frame + "\n", 0), 0u) << c.label << ", " << e.name << "\n" << text;
      EXPECT_NE(text.find(c.logged), std::string::npos) << c.label << ", " << e.name << "\n"
                                                        << text;
      EXPECT_EQ(countOf(text, frame), 2) << c.label << ", " << e.name << "\n" << text;
    }
  }
  std::remove(path.c_str());
  EXPECT_EQ(current.read(kResultsName), "");
}

TEST_F(ExportArgs, PdeObjectivesKeepTheInputsTheyGiveAMeaning) {
  // One put: each evaluation is a few small solves.
  const std::string path = programFilePath(kOptionsDataName);
  std::ofstream(path) << "1\n0.2 100 95 0.5 0.03 0.01 1 0\n";
  ObjectiveArgs a;
  a.volvol = 1.2;
  a.model = 1;
  const double reference = a.byOption(&GARCH_VanillaPDECalibration);
  EXPECT_TRUE(reference > 0.0 && reference < 1.0) << reference;
  // Every model other than 0 is the variance diffusion.
  a.model = 7;
  EXPECT_EQ(a.byOption(&GARCH_VanillaPDECalibration), reference);
  a.model = -2;
  EXPECT_EQ(a.byExpiry(&GARCH_VanillaPDECalibrationM), reference);
  struct Case {
    const char* label;
    std::function<void(ObjectiveArgs&)> change;
  } cases[] = {
      {"a level of 1 or more is the pricer's varRange", [](ObjectiveArgs& x) { x.level = 1.5; }},
      {"square-root model: a negative level is an explicit variance bound",
       [](ObjectiveArgs& x) { x.level = -0.5, x.model = 0, x.volvol = 0.4; }},
      {"odd precision code, widening, strip mode",
       [](ObjectiveArgs& x) { x.precision = -7, x.volvolWidening = 5, x.stripMode = -3; }},
  };
  for (const Case& c : cases) {
    ObjectiveArgs b = a;
    b.model = 1;
    c.change(b);
    const double byOption = b.byOption(&GARCH_VanillaPDECalibration);
    const double byExpiry = b.byExpiry(&GARCH_VanillaPDECalibrationM);
    EXPECT_TRUE(byOption > 0.0 && byOption < 1.0) << c.label << ": " << byOption;
    EXPECT_TRUE(byExpiry > 0.0 && byExpiry < 1.0) << c.label << ": " << byExpiry;
  }
  std::remove(path.c_str());
  EXPECT_FALSE(logExists()) << log();
}

}  // namespace serivane
