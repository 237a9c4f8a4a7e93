// The exported analytic Heston price and its calibration objective, called in process. The
// objective reads "OptionsData.txt" from the program folder (this test program's folder, which
// the calibration tests hold one at a time): each test writes its own quotes there and puts back
// what was there before. "Results.txt" lands in a temporary current folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "calibration/exports/serivane.h"
#include "calibration/quotes/counted_option_file.h"
#include "calibration/quotes/program_folder.h"
#include "core/black_scholes.h"
#include "core/brent.h"
#include "heston_analytic/analytic_heston_engine.h"
#include "pricing_log_test_util.h"
#include "program_folder_quotes.h"
#include "support/temp_folder.h"

namespace serivane {

namespace {

// Model parameters in the program's naming (theta is the mean-reversion speed).
struct Model {
  double v0, vL, theta, volvol, rho;
};
constexpr Model kModel{0.04, 0.05, 1.5, 0.3, -0.7};

// The engine at the export's settings, with the engine's own parameter order.
double enginePrice(
    double S, double K, double T, double r, double d, const Model& m, std::int32_t type) {
  AnalyticHestonEngine engine(1e-16, 1000000);
  return engine.price(S, K, T, r, d, m.v0, m.vL, m.theta, m.volvol, m.rho, type);
}

double exportPrice(double S, double K, double T, double r, double d, const Model& m, int put) {
  return VanillaHeston(S, K, r, d, m.v0, m.vL, m.theta, m.volvol, m.rho, T, put);
}

// A quote of the counted layout without its market IV.
struct Option {
  double S, K, T, r, d;
  int CallPut, EuroAmer;
};
const std::vector<Option> kChain = {
    {100.0, 90.0, 0.5, 0.03, 0.01, 1, 0},
    {100.0, 100.0, 0.5, 0.03, 0.01, 0, 0},
    {100.0, 110.0, 1.0, 0.03, 0.01, 0, 1},
    {100.0, 95.0, 1.0, 0.03, 0.01, 1, 2},
    {100.0, 105.0, 2.0, 0.02, 0.0, 0, 0},
    {100.0, 80.0, 2.0, 0.02, 0.0, 1, 0},
};

// Black-Scholes-Merton implied volatility of the engine's price of an option at kModel.
double engineIV(const Option& o) {
  const double price = enginePrice(o.S, o.K, o.T, o.r, o.d, kModel, o.CallPut == 0 ? 1 : -1);
  return brentSolve(ImpliedVolFunctor{o.S, o.K, o.T, o.r, o.d, price, o.CallPut}, 1e-6, 2.0, 1e-16);
}

// The counted layout of the chain, market IV = engine IV + offset of each option.
std::string countedFile(const std::vector<Option>& chain, const std::vector<double>& offsets) {
  std::ostringstream s;
  s.precision(17);
  s << chain.size() << "\n";
  for (std::size_t i = 0; i < chain.size(); ++i) {
    const Option& o = chain[i];
    s << engineIV(o) + offsets[i] << " " << o.S << " " << o.K << " " << o.T << " " << o.r << " "
      << o.d << " " << o.CallPut << " " << o.EuroAmer << "\n";
  }
  return s.str();
}

double calibrate(const Model& m) {
  return HESTON_VanillaCalibration(m.v0, m.vL, m.theta, m.volvol, m.rho);
}

using VanillaHestonExport = PricingLogTest;

class HestonCalibrationExport : public PricingLogTest {
 protected:
  TempFolder folder_;  // the current folder, where "Results.txt" is appended
};

}  // namespace

TEST_F(VanillaHestonExport, IsTheEngineWithTheProgramsParameterNaming) {
  struct Case {
    const char* label;
    double S, K, T, r, d;
    int put;
    std::int32_t engineType;
  } cases[] = {
      {"at-the-money call", 100.0, 100.0, 1.0, 0.03, 0.01, 0, 1},
      {"in-the-money put", 100.0, 120.0, 0.5, 0.03, 0.01, 1, -1},
      {"put flag 2 is a put", 100.0, 90.0, 2.0, 0.02, 0.04, 2, -1},
      {"put flag -1 is a put", 100.0, 90.0, 2.0, 0.02, 0.04, -1, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(exportPrice(c.S, c.K, c.T, c.r, c.d, kModel, c.put),
              enginePrice(c.S, c.K, c.T, c.r, c.d, kModel, c.engineType))
        << c.label;
  }
  // Put-call parity, independent of the engine's own conversion.
  for (double K : {80.0, 100.0, 125.0}) {
    const double call = exportPrice(100.0, K, 1.5, 0.03, 0.01, kModel, 0);
    const double put = exportPrice(100.0, K, 1.5, 0.03, 0.01, kModel, 1);
    EXPECT_NEAR(call - put, 100.0 * std::exp(-0.01 * 1.5) - K * std::exp(-0.03 * 1.5), 1e-10)
        << "K " << K;
  }
  EXPECT_FALSE(logExists());
}

TEST_F(VanillaHestonExport, ZeroVolvolAndZeroSpotArePricedOffZero) {
  const Model flat{0.04, 0.09, 2.0, 0.0, -0.5};
  Model tiny = flat;
  tiny.volvol = 1e-10;
  for (int put : {0, 1}) {
    // volvol 0 is priced as 1e-10: the Black-Scholes-Merton price with the mean variance of the
    // deterministic variance path v(t) = vL + (v0 - vL) exp(-theta t).
    const double T = 1.0;
    const double meanVariance =
        flat.vL + (flat.v0 - flat.vL) * (1.0 - std::exp(-flat.theta * T)) / (flat.theta * T);
    const double v = exportPrice(100.0, 105.0, T, 0.03, 0.01, flat, put);
    EXPECT_EQ(v, exportPrice(100.0, 105.0, T, 0.03, 0.01, tiny, put)) << "put " << put;
    EXPECT_NEAR(v, bsmPrice(100.0, 105.0, 0.03, 0.01, std::sqrt(meanVariance), T, put), 1e-8)
        << "put " << put;
    // S 0 is priced as 1e-12: a call is worthless, a put worth the discounted strike.
    const double atZero = exportPrice(0.0, 100.0, T, 0.03, 0.01, kModel, put);
    EXPECT_EQ(atZero, exportPrice(1e-12, 100.0, T, 0.03, 0.01, kModel, put)) << "put " << put;
    EXPECT_NEAR(atZero, put == 0 ? 0.0 : 100.0 * std::exp(-0.03 * T), 1e-9) << "put " << put;
  }
  EXPECT_FALSE(logExists());
}

TEST_F(VanillaHestonExport, FailureGivesMinus999AndItsRecord) {
  // A zero strike leaves the integrand without a finite log-strike: the integration fails.
  const Model m{0.04, 0.05, 1.5, 0.0, -0.7};
  EXPECT_EQ(VanillaHeston(100.0, 0.0, 0.03, 0.01, m.v0, m.vL, m.theta, m.volvol, m.rho, 0.5, 2),
            -999.0);
  EXPECT_EQ(log(), readFixture("vanilla_heston_failure_record.txt"));
}

// Degenerate and ordinary inputs, all inside the export's argument limits. Every result is a
// price inside the no-arbitrage bounds of a European option (call: [max(S e^{-dT} - K e^{-rT}, 0),
// S e^{-dT}], put: [max(K e^{-rT} - S e^{-dT}, 0), K e^{-rT}]) or the failure value with one
// failure record. At expiry and at zero variance with no drift away from 0 the price is the closed
// form (the payoff, and the discounted forward intrinsic value).
TEST_F(VanillaHestonExport, EveryResultIsInsideTheBoundsOrTheFailureValue) {
  struct Variances {
    double v0, vL;
  };
  const double S = 100.0, r = 0.03, d = 0.01;
  int failures = 0;
  int priced = 0;
  // Strikes deep in and out of the money and at it, for calls and puts, each with one of the two
  // extreme correlations.
  struct Contract {
    double K;
    int put;
    double rho;
  };
  const Contract contracts[] = {{40.0, 0, -0.99},
                                {250.0, 0, 0.99},
                                {40.0, 1, 0.99},
                                {250.0, 1, -0.99},
                                {100.0, 0, 0.99},
                                {100.0, 1, -0.99}};
  for (double T : {0.0, 1e-6, 1.0}) {
    for (Variances v : {Variances{0.0, 0.0}, Variances{1e-8, 1e-8}, Variances{0.04, 0.05}}) {
      for (double theta : {-20.0, 0.0, 50.0}) {
        for (double volvol : {0.0, 3.0}) {
          {
            for (const Contract& c : contracts) {
              {
                const double K = c.K, rho = c.rho;
                const int put = c.put;
                const double value =
                    VanillaHeston(S, K, r, d, v.v0, v.vL, theta, volvol, rho, T, put);
                const double fs = S * std::exp(-d * T);
                const double fk = K * std::exp(-r * T);
                const double lower = std::max(put == 0 ? fs - fk : fk - fs, 0.0);
                const double upper = put == 0 ? fs : fk;
                const std::string label = "T " + std::to_string(T) + " v0 " + std::to_string(v.v0) +
                                          " theta " + std::to_string(theta) + " volvol " +
                                          std::to_string(volvol) + " rho " + std::to_string(rho) +
                                          " K " + std::to_string(K) + " put " + std::to_string(put);
                const bool closedForm = T == 0.0 || (v.v0 == 0.0 && v.vL == 0.0);
                if (closedForm) {
                  // T = 0: both discounts are 1, so the lower bound is the payoff.
                  EXPECT_NEAR(value, lower, 1e-12 * S) << label;
                  continue;
                }
                if (value == -999.0) {
                  ++failures;
                  continue;
                }
                ++priced;
                EXPECT_GE(value, lower) << label;
                EXPECT_LE(value, upper) << label;
              }
            }
          }
        }
      }
    }
  }
  // One record per failure, each naming its cause.
  const std::string text = log();
  int records = 0;
  for (std::string::size_type at = text.find("Call/Put: "); at != std::string::npos;
       at = text.find("Call/Put: ", at + 1)) {
    ++records;
  }
  EXPECT_EQ(records, failures);
  // The ordinary variances at an ordinary maturity and a positive speed are all priced.
  EXPECT_GT(priced, 0);
}

// Ordinary models that the bounds check must leave alone: theta 0 (no mean reversion) is priced,
// close to the engine's limit at a small positive speed; a negative speed over a short time, whose
// variance has no time to explode, is priced inside the bounds.
TEST_F(VanillaHestonExport, ZeroAndSmallNegativeMeanReversionArePriced) {
  for (int put : {0, 1}) {
    for (double K : {70.0, 100.0, 140.0}) {
      Model still{0.04, 0.05, 0.0, 0.5, -0.7};
      Model slow = still;
      slow.theta = 1e-6;
      const double v = exportPrice(100.0, K, 1.0, 0.03, 0.01, still, put);
      EXPECT_NE(v, -999.0) << "K " << K << " put " << put;
      EXPECT_NEAR(v, exportPrice(100.0, K, 1.0, 0.03, 0.01, slow, put), 1e-5)
          << "K " << K << " put " << put;
    }
  }
  EXPECT_FALSE(logExists());
}

// At zero variance the deterministic limit, against the numbers of a host's sweep.
TEST_F(VanillaHestonExport, ZeroVarianceIsTheDiscountedForwardIntrinsicValue) {
  const Model none{0.0, 0.0, 2.0, 0.5, -0.7};
  EXPECT_NEAR(exportPrice(100.0, 60.0, 1.0, 0.03, 0.01, none, 0),
              100.0 * std::exp(-0.01) - 60.0 * std::exp(-0.03),
              1e-12);
  EXPECT_EQ(exportPrice(100.0, 100.0, 1.0, 0.03, 0.01, none, 1), 0.0);
  // theta 0 keeps a variance of 0 at 0 whatever vL is.
  const Model stuck{0.0, 0.05, 0.0, 0.5, -0.7};
  EXPECT_NEAR(exportPrice(100.0, 105.0, 1.0, 0.03, 0.01, stuck, 1),
              105.0 * std::exp(-0.03) - 100.0 * std::exp(-0.01),
              1e-12);
  // At expiry the payoff.
  EXPECT_EQ(exportPrice(100.0, 90.0, 0.0, 0.03, 0.01, kModel, 0), 10.0);
  EXPECT_EQ(exportPrice(100.0, 60.0, 0.0, 0.03, 0.01, kModel, 0), 40.0);
  EXPECT_EQ(exportPrice(100.0, 60.0, 0.0, 0.03, 0.01, kModel, 1), 0.0);
  EXPECT_FALSE(logExists());
}

// An explosive variance (a negative speed over years) gives no price: the failure value, with a
// record saying why.
TEST_F(VanillaHestonExport, ExplosiveVarianceIsAFailureWithItsReason) {
  const Model explosive{0.04, 0.05, -20.0, 0.5, -0.7};
  EXPECT_EQ(exportPrice(100.0, 100.0, 1.0, 0.03, 0.01, explosive, 0), -999.0);
  EXPECT_NE(log().find("no-arbitrage bounds"), std::string::npos) << log();
}

// rho = -1, K = S, v0 = vL and r - d = v0 / 2: the risk-neutral mean of log(S_T / K) is 0 where
// the map of the engine's integrals is flat, which once ran the integration out of evaluations
// (-999). The reference is the Lewis single integral of the call, which has no such point: the
// value of its long-double trapezoidal sum in the engine's tests (the first point of
// AnalyticHestonEngine.PricesAtTheStrikeOfZeroMeanUnderAFlatMap).
const Model kZeroMeanModel{0.04, 0.04, 1.0, 0.5, -1.0};
constexpr double kZeroMeanLewisCall = 7.77970655770659;

TEST_F(VanillaHestonExport, PricesTheZeroMeanStrikeAtCorrelationMinusOne) {
  EXPECT_NEAR(
      exportPrice(100.0, 100.0, 1.0, 0.03, 0.01, kZeroMeanModel, 0), kZeroMeanLewisCall, 1e-9);
  EXPECT_FALSE(logExists());
}

TEST(CountedOptionFile, ReadsWholeRecordsUpToTheCount) {
  const std::string rec = "0.2 100 95 0.5 0.03 0.01 1 2\n";
  struct Case {
    const char* label;
    std::string text;
    bool countRead;
    long count;
    std::size_t records;
    bool complete;
  } cases[] = {
      {"two whole records", "2\n" + rec + rec, true, 2, 2, true},
      {"records beyond the count are not read", "1 " + rec + rec, true, 1, 1, true},
      {"a short file", "3\n" + rec + rec, true, 3, 2, false},
      {"a field that is not a number",
       "2\n" + rec + "0.2 100 x 0.5 0.03 0.01 1 2\n",
       true,
       2,
       1,
       false},
      {"a negative count", "-1\n" + rec, true, -1, 0, false},
      {"a count of zero", "0\n" + rec, true, 0, 0, true},
      {"an empty file", "", false, 0, 0, false},
      {"a count beyond 32 bits", "4294967297\n" + rec, false, 0, 0, false},
      {"a flag beyond 32 bits", "1\n0.2 100 95 0.5 0.03 0.01 4294967296 0\n", true, 1, 0, false},
  };
  for (const Case& c : cases) {
    std::istringstream in(c.text);
    const CountedQuotes q = readCountedQuotes(in);
    EXPECT_EQ(q.countRead, c.countRead) << c.label;
    if (c.countRead) {
      EXPECT_EQ(q.count, c.count) << c.label;
    }
    EXPECT_EQ(q.quotes.size(), c.records) << c.label;
    EXPECT_EQ(q.complete(), c.complete) << c.label;
  }
  std::istringstream in("1 0.25 101.5 95 0.75 0.03 0.01 1 2");
  const HestonQuote q = readCountedQuotes(in).quotes.at(0);
  EXPECT_EQ(q.marketIV, 0.25);
  EXPECT_EQ(q.S, 101.5);
  EXPECT_EQ(q.K, 95.0);
  EXPECT_EQ(q.T, 0.75);
  EXPECT_EQ(q.r, 0.03);
  EXPECT_EQ(q.d, 0.01);
  EXPECT_EQ(q.CallPut, 1);
  EXPECT_EQ(q.EuroAmer, 2);
  EXPECT_FALSE(readCountedOptionFile("/nonexistent/OptionsData.txt").opened);
}

TEST(CountedOptionFile, ObjectiveRecordLine) {
  ObjectiveRecord rec;
  rec.meanSquaredError = 0.0004;
  rec.v0 = 1.0 / 3.0;
  rec.vL = 0.05;
  rec.theta = 1.5;
  rec.volvol = 0.3;
  rec.rho = -0.7;
  std::ostringstream plain;
  writeObjectiveRecord(plain, rec);
  EXPECT_EQ(plain.str(),
            "Objective function:\t4\t0.02\tv0: 0.333333333333333\tvL: 0.05\ttheta: 1.5\t"
            "volvol: 0.3\trho: -0.7\t\n");
  rec.hasCpuTime = true;
  rec.cpuSeconds = 1.25;
  std::ostringstream timed;
  writeObjectiveRecord(timed, rec);
  EXPECT_EQ(timed.str(),
            "Objective function:\t4\t0.02\tv0: 0.333333333333333\tvL: 0.05\ttheta: 1.5\t"
            "volvol: 0.3\trho: -0.7\tCPU Time: 1.25\t\n");
}

TEST_F(HestonCalibrationExport, MissingOrIncompleteQuoteFiles) {
  for (const QuoteFileCase& c : unreadableQuoteFiles()) {
    ProgramFolderQuotes quotes(c.file);
    EXPECT_EQ(calibrate(kModel), c.expected) << c.label;
  }
  // Nothing was priced and no evaluation was recorded.
  EXPECT_EQ(folder_.read(kResultsName), "");
  EXPECT_FALSE(logExists());
}

TEST_F(HestonCalibrationExport, RootMeanSquareImpliedVolatilityError) {
  struct Case {
    const char* label;
    std::vector<double> offsets;
  } cases[] = {
      {"market IVs of the model itself", {0, 0, 0, 0, 0, 0}},
      {"a common offset", {0.01, 0.01, 0.01, 0.01, 0.01, 0.01}},
      {"mixed offsets", {0.01, -0.02, 0.005, 0.03, -0.01, 0.0}},
  };
  for (const Case& c : cases) {
    double squares = 0.0;
    for (double o : c.offsets) squares += o * o;
    const double expected = std::sqrt(squares / static_cast<double>(c.offsets.size()));
    ProgramFolderQuotes quotes(countedFile(kChain, c.offsets));
    EXPECT_NEAR(calibrate(kModel), expected, 1e-10) << c.label;
  }
  EXPECT_FALSE(logExists());
}

TEST_F(HestonCalibrationExport, AppendsOneResultsLinePerEvaluation) {
  ProgramFolderQuotes quotes(countedFile(kChain, {0.01, -0.02, 0.005, 0.03, -0.01, 0.0}));
  const Model third{1.0 / 3.0, 0.05, 1.5, 0.3, -0.7};
  const double first = calibrate(kModel);
  const double second = calibrate(third);
  const std::string text = folder_.read(kResultsName);
  const std::vector<std::string> lines = splitLines(text);
  ASSERT_EQ(lines.size(), 2u) << text;
  ASSERT_EQ(text.back(), '\n');
  struct Case {
    const char* label;
    const std::string& line;
    double value;
    const char* params;
  } cases[] = {
      {"first", lines[0], first, "v0: 0.04\tvL: 0.05\ttheta: 1.5\tvolvol: 0.3\trho: -0.7\t"},
      {"second",
       lines[1],
       second,
       "v0: 0.333333333333333\tvL: 0.05\ttheta: 1.5\tvolvol: 0.3\trho: -0.7\t"},
  };
  for (const Case& c : cases) {
    const std::vector<std::string> fields = splitTabs(c.line);
    ASSERT_EQ(fields.size(), 9u) << c.label << ": " << c.line;
    EXPECT_EQ(fields[0], "Objective function:") << c.label;
    // 15 significant digits of 10000 x the mean squared error and of its root.
    EXPECT_NEAR(std::stod(fields[1]), 10000.0 * c.value * c.value, 1e-13 * 10000.0 * c.value)
        << c.label;
    EXPECT_NEAR(std::stod(fields[2]), c.value, 1e-14 * c.value) << c.label;
    std::ostringstream fifteen;
    fifteen.precision(15);
    fifteen << std::stod(fields[2]);
    EXPECT_EQ(fields[2], fifteen.str()) << c.label;
    const std::string::size_type at = c.line.find("\tv0: ");
    ASSERT_NE(at, std::string::npos) << c.label;
    EXPECT_EQ(c.line.substr(at + 1), c.params) << c.label;
  }
}

TEST_F(HestonCalibrationExport, AQuoteWithoutImpliedVolatilityFailsTheEvaluation) {
  // A zero strike: its analytic price fails (logged, -999.0), and no volatility gives that price.
  std::vector<Option> chain = kChain;
  const std::string good = countedFile(chain, {0, 0, 0, 0, 0, 0});
  const std::string file = "7" + good.substr(good.find('\n')) + "0.2 100 0 1 0.03 0.01 0 0\n";
  ProgramFolderQuotes quotes(file);
  EXPECT_EQ(calibrate(kModel), -999.0);
  EXPECT_EQ(folder_.read(kResultsName), "");
  EXPECT_EQ(countOf(log(), "Interval contains no more machine number in Gauss-Lobatto routine"), 1);
}

// A quote at that point enters the objective like any other, where it made the evaluation -999:
// a market volatility 0.01 above that of the reference price gives an objective of 0.01.
TEST_F(HestonCalibrationExport, AQuoteAtTheZeroMeanStrikeOfAFlatMapIsPriced) {
  const double iv = brentSolve(
      ImpliedVolFunctor{100.0, 100.0, 1.0, 0.03, 0.01, kZeroMeanLewisCall, 0}, 1e-6, 2.0, 1e-16);
  std::ostringstream file;
  file.precision(17);
  file << "1\n" << iv + 0.01 << " 100 100 1 0.03 0.01 0 0\n";
  ProgramFolderQuotes quotes(file.str());
  EXPECT_NEAR(calibrate(kZeroMeanModel), 0.01, 1e-9);
  EXPECT_FALSE(logExists());
}

}  // namespace serivane
