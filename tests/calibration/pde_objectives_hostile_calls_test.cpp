// Calls of the PDE calibration objectives that a careless or hostile host may make inside the
// documented limits: each returns its failure value with its record, or a root mean square of
// model volatilities in [0, 2], and none grinds. "OptionsData.txt" is written in the program
// folder (the calibration tests hold it one at a time); "Results.txt" lands in a temporary
// current folder.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "calibration/exports/serivane.h"
#include "calibration/objectives/pde_objectives.h"
#include "calibration/pricing/robust_pricers.h"
#include "core/qel_heston_vanilla.h"
#include "pricing_log_test_util.h"
#include "program_folder_quotes.h"
#include "support/temp_folder.h"

namespace serivane {

namespace {

// Arguments 1-13 of the objectives.
struct Call {
  double v0, vL, theta, volvol, rho;
  int NS, NV, NT, methodID, precision;
  double sRange, level;
  int widening;
};

// The five exports, each with its own trailing arguments (strip mode or selector, model).
struct Export {
  const char* name;
  std::function<double(const Call&)> run;
};

std::vector<Export> allExports() {
  return {
      {"GARCH_VanillaPDECalibration",
       [](const Call& c) {
         return GARCH_VanillaPDECalibration(c.v0,
                                            c.vL,
                                            c.theta,
                                            c.volvol,
                                            c.rho,
                                            c.NS,
                                            c.NV,
                                            c.NT,
                                            c.methodID,
                                            c.precision,
                                            c.sRange,
                                            c.level,
                                            c.widening,
                                            0);
       }},
      {"HESTON_VanillaPDECalibration",
       [](const Call& c) {
         return HESTON_VanillaPDECalibration(c.v0,
                                             c.vL,
                                             c.theta,
                                             c.volvol,
                                             c.rho,
                                             c.NS,
                                             c.NV,
                                             c.NT,
                                             c.methodID,
                                             c.precision,
                                             c.sRange,
                                             c.level,
                                             c.widening);
       }},
      {"GARCH_VanillaPDECalibrationM",
       [](const Call& c) {
         return GARCH_VanillaPDECalibrationM(c.v0,
                                             c.vL,
                                             c.theta,
                                             c.volvol,
                                             c.rho,
                                             c.NS,
                                             c.NV,
                                             c.NT,
                                             c.methodID,
                                             c.precision,
                                             c.sRange,
                                             c.level,
                                             c.widening,
                                             0,
                                             0);
       }},
      {"HESTON_VanillaPDECalibrationM",
       [](const Call& c) {
         return HESTON_VanillaPDECalibrationM(c.v0,
                                              c.vL,
                                              c.theta,
                                              c.volvol,
                                              c.rho,
                                              c.NS,
                                              c.NV,
                                              c.NT,
                                              c.methodID,
                                              c.precision,
                                              c.sRange,
                                              c.level,
                                              c.widening);
       }},
      {"SVPDECalibration",
       [](const Call& c) {
         return SVPDECalibration(c.v0,
                                 c.vL,
                                 c.theta,
                                 c.volvol,
                                 c.rho,
                                 c.NS,
                                 c.NV,
                                 c.NT,
                                 c.methodID,
                                 c.precision,
                                 c.sRange,
                                 c.level,
                                 c.widening,
                                 1,
                                 0);
       }},
  };
}

// The one quote of the observed slow calls: a put struck at 80 on a spot of 100.
const char kOneQuote[] = "1\n0.19 100 80 0.73 0.035 0.02 1 0\n";
constexpr double kOneQuoteIV = 0.19;

// The record an objective appends to the pricing log for an error.
std::string errorRecord(const std::string& message) {
  const std::string frame(85, '*');
  return frame + "\n" + message + "\n" + frame + "\n\n";
}

class PdeObjectiveHostileCalls : public PricingLogTest {
 protected:
  TempFolder folder_;  // the current folder, where "Results.txt" would be appended
};

// A solve as the 2-D pricer came out with correlation 1 on the one quote: a small positive price
// at the strike beside larger negative values near it, on every grid of the ladder.
void correlationOneSolve(QelHestonVanilla& p, double& cpuTime) {
  p.summary = std::valarray<double>(0.0, 6);
  p.summary[1] = 1.0e-4;
  p.summary[2] = -5.6e-5;
  p.summary[4] = 0.07;
  cpuTime = 0.01;
}

// A solve that hands a price on in place of every volatility.
void priceAsVolatilitySolve(QelHestonVanilla& p, double& cpuTime) {
  p.summary = std::valarray<double>(0.0, 6);
  p.summary[1] = 12.5;
  p.summary[2] = 12.5;
  p.summary[4] = 12.5;
  p.strikePrices = std::valarray<double>(12.5, p.strikes.size());
  p.strikeIVs = std::valarray<double>(12.5, p.strikes.size());
  cpuTime = 0.01;
}

}  // namespace

// Calls refused at the argument check, before the quote file is read: every export gives 0.0 at
// once with the record naming the argument.
TEST_F(PdeObjectiveHostileCalls, RefusedBeforeAnythingIsPriced) {
  ProgramFolderQuotes quotes(std::string{kOneQuote});
  struct Case {
    const char* label;
    Call call;
    const char* messageStart;
  } cases[] = {
      // It ran 270 s and returned 6.05e29: a negative speed drives the variance off any grid.
      {"theta -1",
       {0.04, 0.04, -1, 3, 1, 23, 11, 14, 1, 1, 1, -0.5, 0},
       "Invalid argument theta = -1"},
      // About 10 s on one core by the ADI splittings at 397 steps: 398 is beyond the work limit.
      {"a first solve beyond the work limit",
       {0.04, 0.04, 2, 0.4, -0.6, 999, 999, 398, 2, 1, 1, -0.5, 0},
       "The evaluation's work of 400020000 units (1 pricings) exceeds"},
      // The sparse-direct ladders at a third of that grid's steps cost far more still.
      {"a sparse-direct first solve beyond the work limit",
       {0.04, 0.04, 2, 0.4, -0.6, 999, 999, 130, 15, 1, 1, -0.5, 0},
       "The evaluation's work of "},
  };
  for (const Case& c : cases) {
    for (const Export& e : allExports()) {
      std::remove(pricingLogPath().c_str());
      EXPECT_EQ(e.run(c.call), 0.0) << c.label << ", " << e.name;
      EXPECT_EQ(log().rfind(std::string(85, '*') + "\n" + c.messageStart, 0), 0u)
          << c.label << ", " << e.name << "\n"
          << log();
    }
  }
  EXPECT_EQ(folder_.read(kResultsName), "");
}

// Quote files that hold more quotes than an evaluation may price, or announce them: refused on
// the count alone, before a record is read; a short file stays a short file.
TEST_F(PdeObjectiveHostileCalls, QuoteCountsBeyondTheLimit) {
  const Call call{0.04, 0.04, 2, 0.4, -0.6, 20, 10, 10, 2, 1, 1, 1.5, 0};
  const std::string rec = "0.2 100 95 0.5 0.03 0.01 1 0\n";
  const std::string over = std::to_string(kMaxCountedQuotes + 1);
  struct Case {
    const char* label;
    std::string file;
    double expected;
    std::string record;
  } cases[] = {
      {"a count above the limit over one record",
       over + "\n" + rec,
       0.0,
       errorRecord("The quote file's count of " + over + " exceeds the objectives' limit of " +
                   std::to_string(kMaxCountedQuotes) + " quotes")},
      {"a count at the limit over one record: a short file",
       std::to_string(kMaxCountedQuotes) + "\n" + rec,
       -999.0,
       ""},
      {"a count beyond 32 bits: unreadable", "4294967297\n" + rec, -999.0, ""},
  };
  for (const Case& c : cases) {
    ProgramFolderQuotes quotes(c.file);
    for (const Export& e : allExports()) {
      std::remove(pricingLogPath().c_str());
      EXPECT_EQ(e.run(call), c.expected) << c.label << ", " << e.name;
      EXPECT_EQ(log(), c.record) << c.label << ", " << e.name;
    }
  }
}

// Correlation 1 on the one quote. Option by option, its pricing repairs its negative first value
// in a few small re-solves: a volatility in (0, 2), whose distance to the market's is the
// objective. Expiry by expiry, the raised grid of the cheap quote shows negative values on every
// rung (it took 119 s, two repeated solves of the densest grid among them): with every solve
// scripted as it came out, the schedule's end is the end of the call, with the volatility of the
// last pass whose price was positive.
TEST_F(PdeObjectiveHostileCalls, CorrelationOneOnOneQuote) {
  ProgramFolderQuotes quotes(std::string{kOneQuote});
  const Call call{0.04, 0.04, 2, 3, 1, 23, 11, 14, 1, 1, 1, -0.5, 0};
  const double byOption = HESTON_VanillaPDECalibration(call.v0,
                                                       call.vL,
                                                       call.theta,
                                                       call.volvol,
                                                       call.rho,
                                                       call.NS,
                                                       call.NV,
                                                       call.NT,
                                                       call.methodID,
                                                       call.precision,
                                                       call.sRange,
                                                       call.level,
                                                       call.widening);
  // A model volatility in (0, 0.38), not the 0 of a given-up quote: the model's put at rho 1 is
  // worth far less than the market's (the variance falls with the spot), but it is priced.
  EXPECT_GT(byOption, 0.0);
  EXPECT_LT(byOption, kOneQuoteIV);

  robustSolveHook = correlationOneSolve;
  std::remove(pricingLogPath().c_str());
  const double byExpiry = HESTON_VanillaPDECalibrationM(call.v0,
                                                        call.vL,
                                                        call.theta,
                                                        call.volvol,
                                                        call.rho,
                                                        call.NS,
                                                        call.NV,
                                                        call.NT,
                                                        call.methodID,
                                                        call.precision,
                                                        call.sRange,
                                                        call.level,
                                                        call.widening);
  EXPECT_NEAR(byExpiry, kOneQuoteIV - 0.07, 1e-15);
  // No memory road after the give-up: nothing is logged with the debug switch off.
  EXPECT_EQ(log(), "");
}

// A pricing that hands back anything but a volatility in [0, 2] counts as given up (a model
// volatility of 0, as the header says), with a record naming the quote: the objective stays the
// root mean square of sound volatilities.
TEST_F(PdeObjectiveHostileCalls, NoVolatilityOutsideZeroToTwoEntersTheMean) {
  ProgramFolderQuotes quotes(std::string{kOneQuote});
  const Call call{0.04, 0.04, 2, 0.4, -0.6, 20, 10, 10, 2, 1, 1, 1.5, 0};
  robustSolveHook = priceAsVolatilitySolve;
  struct Case {
    const char* exportName;
    const char* what;
  } cases[] = {
      {"GARCH_VanillaPDECalibration", "Quote 1"},
      {"GARCH_VanillaPDECalibrationM", "Expiration T = 0.73, strike 80"},
  };
  for (const Case& c : cases) {
    std::remove(pricingLogPath().c_str());
    double value = -1.0;
    for (const Export& e : allExports()) {
      if (std::string(e.name) == c.exportName) value = e.run(call);
    }
    EXPECT_DOUBLE_EQ(value, kOneQuoteIV) << c.exportName;
    EXPECT_EQ(countOf(log(),
                      errorRecord(std::string(c.what) +
                                  ": the pricing gave 12.5, no volatility in [0, 2]; the "
                                  "quote counts with a model volatility of 0")),
              1)
        << c.exportName << "\n"
        << log();
  }
}

}  // namespace serivane
