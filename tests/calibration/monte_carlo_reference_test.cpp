// The system's PDE prices against independent references where real chains take the model:
// the Monte Carlo tables of tests/data/monte_carlo/ (tools/mc_reference.cpp, which shares no code
// with the system) for the GARCH diffusion and the power law, and the Heston closed form for the
// square-root model. Each comparison allows 0.5 bp of implied volatility plus four Monte Carlo
// standard errors.
//
// The tables are precomputed; these tests only run the PDE. The cases named DISABLED_ are those
// the pricing does not meet yet (run with --gtest_also_run_disabled_tests, each prints its worst
// error in bp); they are enabled as the pricing comes to meet them.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "calibration/exports/serivane.h"
#include "calibration/objectives/model_ivs.h"
#include "calibration/quotes/option_chain.h"
#include "pricing_log_test_util.h"
#include "support/monte_carlo_table.h"
#include "support/temp_folder.h"

namespace serivane {

namespace {

using monte_carlo::Row;

std::vector<Row> loadRows(const std::string& name) {
  return monte_carlo::loadTable(std::string(SERIVANE_TEST_DATA_DIR) + "/monte_carlo/" + name);
}

const std::vector<Row>& hardPoints() {
  static const std::vector<Row> rows = loadRows("hard_points.txt");
  return rows;
}

std::string describe(const Row& r) {
  std::ostringstream s;
  s << "(v0 " << r.v0 << ", vBar " << r.vBar << ", kappa " << r.kappa << ", xi " << r.xi << ", rho "
    << r.rho << ", p " << r.p << ") " << r.days << " days, K " << r.K << (r.put ? " put" : " call")
    << ", Monte Carlo IV " << r.iv << " +- " << r.ivSe;
  return s.str();
}

// The pricing log's text written since `from` characters.
std::string logSince(std::string::size_type from) {
  const std::string text = readFile(pricingLogPath());
  return text.size() > from ? text.substr(from) : std::string();
}

// Collects the errors of one comparison, expects each within its tolerance, and prints the
// worst error, so that a failing case says how far off it is. Where the pricer may answer its
// failure value (the single-option pricer, which cannot always meet its tolerance), a failure
// value is counted apart: it must come with its record in the pricing log, and the priced options
// must be at least half of the case.
class Comparison {
 public:
  explicit Comparison(std::string what) : what_(std::move(what)) {}
  ~Comparison() {
    std::printf(
        "%s: %d options, %d failure values, %d beyond tolerance, rms %.2f bp, worst %.2f bp "
        "(%s)\n",
        what_.c_str(),
        count_ + failures_,
        failures_,
        beyond_,
        count_ > 0 ? 1e4 * std::sqrt(sumSquares_ / count_) : 0.0,
        worstBp_,
        worstAt_.c_str());
    EXPECT_LE(2 * failures_, count_ + failures_)
        << what_ << ": more than half of the options got the failure value";
  }
  // modelIV is the pricer's answer; logged is what the pricer wrote to the pricing log for it.
  void checkOrFailure(const Row& r, double modelIV, const std::string& logged) {
    if (modelIV == 0.0) {
      failure(logged, describe(r));
    } else {
      check(r, modelIV);
    }
  }
  // The failure value of a call whose work limit ran out before its error estimate came within
  // the tolerance, or before any positive value.
  void failure(const std::string& logged, const std::string& at) {
    ++failures_;
    const bool recorded = logged.find(kErrorToleranceMessage) != std::string::npos ||
                          logged.find(kWorkLimitMessage) != std::string::npos;
    EXPECT_TRUE(recorded) << what_ << ": a failure value without its record at " << at
                          << "; the log has:\n"
                          << logged;
  }
  void check(const Row& r, double modelIV) {
    check(r.iv, monte_carlo::allowedError(r), modelIV, r.days, r.K, describe(r));
  }
  void check(double reference,
             double allowed,
             double modelIV,
             double days,
             double K,
             const std::string& at) {
    ++count_;
    const double err = std::fabs(modelIV - reference);
    sumSquares_ += std::isfinite(err) ? err * err : HUGE_VAL;
    if (!(err <= allowed)) ++beyond_;
    if (!(err <= worstBp_ * 1e-4)) {
      worstBp_ = std::isfinite(err) ? err * 1e4 : HUGE_VAL;
      std::ostringstream s;
      s << days << " days, K " << K;
      worstAt_ = s.str();
    }
    EXPECT_NEAR(modelIV, reference, allowed) << what_ << " at " << at;
  }

 private:
  std::string what_;
  int count_ = 0, beyond_ = 0, failures_ = 0;
  double worstBp_ = 0.0, sumSquares_ = 0.0;
  std::string worstAt_;
};

// The console's speed-mode settings (60 x 30 x 30, method 2, precision code 2, strip mode 1,
// level 0.9999975) for the model of exponent p.
CalibrationSettings speedSettings(double p) {
  return CalibrationSettings{60, 30, 30, 2, 2, 1, 1, 1, p == 1.0 ? 1 : 2};
}

// The rows as a chain of quotes sorted by (expiration, strike), expirations in years, the market
// IVs being the Monte Carlo ones (the point of a perfect fit).
std::vector<OptionQuote> chainOf(std::vector<Row> rows) {
  std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    return a.T != b.T ? a.T < b.T : a.K < b.K;
  });
  std::vector<OptionQuote> quotes;
  for (const Row& r : rows) {
    OptionQuote q{};
    q.index = static_cast<std::int32_t>(quotes.size());
    q.marketIV = r.iv;
    q.spot = r.S;
    q.strike = r.K;
    q.expirationDays = r.days / 365.0;
    q.rate = r.r;
    q.dividendYield = r.d;
    q.putFlag = r.S > r.K ? 1 : 0;
    quotes.push_back(q);
  }
  return quotes;
}

// The calibration's model function (the robust strike-list pricer, expiry by expiry) at the
// parameters of rows, against their Monte Carlo IVs.
void expectSpeedModeAgrees(std::vector<Row> rows, const std::string& what) {
  ASSERT_FALSE(rows.empty()) << what << ": no such rows in the table";
  TempFolder folder;  // the variance-grid generator may log to "ErrorLog.txt" here
  std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    return a.T != b.T ? a.T < b.T : a.K < b.K;
  });
  const Row& r0 = rows.front();
  const double p[5] = {r0.v0, r0.vBar, r0.kappa, r0.xi, r0.rho};
  const std::vector<double> ivs = modelIVsOfQuotes(chainOf(rows), p, speedSettings(r0.p));
  ASSERT_EQ(ivs.size(), rows.size());
  Comparison c("speed mode, " + what);
  for (std::size_t i = 0; i < rows.size(); ++i) c.check(rows[i], ivs[i]);
}

// The single-option pricer GARCH_VanillaPDESolver with the convergence run (precision code 2),
// method 2, coverage probability 0.9999975, on the rows every `stride`-th.
void expectSingleOptionAgrees(const std::vector<Row>& rows,
                              const std::string& what,
                              int NS,
                              int NV,
                              int NT,
                              std::size_t stride) {
  ASSERT_FALSE(rows.empty()) << what << ": no such rows in the table";
  TempFolder folder;  // the variance-grid generator may log to "ErrorLog.txt" here
  Comparison c("single-option pricer " + std::to_string(NS) + "x" + std::to_string(NV) + "x" +
               std::to_string(NT) + ", " + what);
  for (std::size_t i = 0; i < rows.size(); i += stride) {
    const Row& r = rows[i];
    ASSERT_EQ(r.p, 1.0) << "the single-option pricer prices p = 1 only";
    const std::string::size_type logged = readFile(pricingLogPath()).size();
    const double iv = GARCH_VanillaPDESolver(r.S,
                                             r.K,
                                             r.T,
                                             r.r,
                                             r.d,
                                             r.v0,
                                             r.vBar,
                                             r.kappa,
                                             r.xi,
                                             r.rho,
                                             NS,
                                             NV,
                                             NT,
                                             r.put,
                                             0,
                                             2,
                                             2,
                                             1,
                                             1.0,
                                             0.9999975,
                                             0,
                                             1);
    c.checkOrFailure(r, iv, logSince(logged));
  }
}

// The rows of expiries from fromDays to toDays.
std::vector<Row> expiries(const std::vector<Row>& rows, double fromDays, double toDays) {
  std::vector<Row> out;
  for (const Row& r : rows)
    if (r.days >= fromDays && r.days <= toDays) out.push_back(r);
  return out;
}

std::vector<Row> hard(double v0, double vBar, double kappa, double xi, double rho, double p) {
  return monte_carlo::parameterSet(hardPoints(), v0, vBar, kappa, xi, rho, p);
}

// The parameter sets of hard_points.txt.
std::vector<Row> garchXi11ShortDated() {
  return hard(0.019187, 0.116981, 4.169453, 10.822334, -0.855807, 1.0);
}
std::vector<Row> powerLawShortDated() { return hard(0.019988, 0.049888, 14.87, 7.10, -0.665, 0.8); }
std::vector<Row> garchXi7HalfYearAndTwoYears() {
  return hard(0.0521, 0.0711, 5.15, 7.20, -0.78, 1);
}
std::vector<Row> garchXi19TwoYears() { return hard(0.1141, 0.3866, 10.88, 19.11, -0.22, 1.0); }
std::vector<Row> garchXi16V0AboveVBar() { return hard(0.3273, 0.0183, 6.01, 15.96, -0.19, 1.0); }
std::vector<Row> garchXi19SlowReversion() { return hard(0.0992, 0.1802, 1.15, 19.18, -0.38, 1.0); }
std::vector<Row> garchBenignLongDated() { return hard(0.04, 0.04, 1.5, 0.3, -0.7, 1.0); }

// The parameter sets of coverage.txt.
const std::vector<Row>& coverageRows() {
  static const std::vector<Row> rows = loadRows("coverage.txt");
  return rows;
}
std::vector<Row> coverage(double v0, double vBar, double kappa, double xi, double rho, double p) {
  return monte_carlo::parameterSet(coverageRows(), v0, vBar, kappa, xi, rho, p);
}
std::vector<Row> garchXi6V0BelowVBar() { return coverage(0.01, 0.09, 3, 6, -0.9, 1); }
std::vector<Row> garchXi10V0AtVBar() { return coverage(0.04, 0.04, 5, 10, -0.85, 1); }
std::vector<Row> garchXi15V0AboveVBar() { return coverage(0.09, 0.02, 8, 15, -0.95, 1); }
std::vector<Row> powerLawXi3V0BelowVBar() { return coverage(0.02, 0.06, 3, 3, -0.9, 0.8); }
std::vector<Row> powerLawXi6V0AboveVBar() { return coverage(0.06, 0.02, 6, 6, -0.9, 0.8); }

// The parameter sets of limits.txt: xi at the top of the calibration's range.
const std::vector<Row>& limitRows() {
  static const std::vector<Row> rows = loadRows("limits.txt");
  return rows;
}
std::vector<Row> garchXi30Kappa50() {
  return monte_carlo::parameterSet(limitRows(), 0.04, 0.04, 50, 30, -0.9, 1);
}
std::vector<Row> garchXi30Kappa05() {
  return monte_carlo::parameterSet(limitRows(), 0.02, 0.08, 0.5, 30, -0.7, 1);
}

const std::vector<Row>& shortHighXiChain() {
  static const std::vector<Row> rows = loadRows("short_high_xi_chain.txt");
  return rows;
}

// The square-root model (model 0): the single-option pricer against the closed form
// VanillaHeston at five strikes over +-2 standard deviations (sqrt(v0 T)), within 0.5 bp.
struct HestonCase {
  double v0, vL, theta, volvol, rho, days;
};

void expectSquareRootModelAgrees(const HestonCase& h, int NS, int NV, int NT) {
  const double S = 100.0, r = 0.03, d = 0.01, T = h.days / 365.0;
  TempFolder folder;  // the variance-grid generator may log to "ErrorLog.txt" here
  std::ostringstream what;
  what << "square-root model " << NS << "x" << NV << "x" << NT << " (v0 " << h.v0 << ", vL " << h.vL
       << ", theta " << h.theta << ", volvol " << h.volvol << ", rho " << h.rho << ") " << h.days
       << " days";
  Comparison c(what.str());
  for (int z = -2; z <= 2; ++z) {
    const double K = S * std::exp(z * std::sqrt(h.v0 * T));
    const int put = S > K ? 1 : 0;
    const double exact =
        ImpliedVol(VanillaHeston(S, K, r, d, h.v0, h.vL, h.theta, h.volvol, h.rho, T, put),
                   S,
                   K,
                   T,
                   r,
                   d,
                   put);
    ASSERT_GT(exact, 0.0) << what.str() << " K " << K;
    const std::string::size_type logged = readFile(pricingLogPath()).size();
    const double pde = GARCH_VanillaPDESolver(S,
                                              K,
                                              T,
                                              r,
                                              d,
                                              h.v0,
                                              h.vL,
                                              h.theta,
                                              h.volvol,
                                              h.rho,
                                              NS,
                                              NV,
                                              NT,
                                              put,
                                              0,
                                              2,
                                              2,
                                              1,
                                              1.0,
                                              0.9999975,
                                              0,
                                              0);
    std::ostringstream at;
    at << "K " << K << ", closed-form IV " << exact;
    if (pde == 0.0) {
      c.failure(logSince(logged), at.str());
    } else {
      c.check(exact, monte_carlo::kToleranceIV, pde, h.days, K, at.str());
    }
  }
}

using MonteCarloReference = PricingLogTest;
using ClosedFormReference = PricingLogTest;

}  // namespace

// The tool itself: its square-root-model prices (p = 1/2) agree with the closed form within four
// standard errors, with the Feller condition met and far from it.
TEST(MonteCarloTool, SquareRootModelAgreesWithTheClosedForm) {
  const std::vector<Row> rows = loadRows("tool_checks.txt");
  ASSERT_FALSE(rows.empty());
  for (const Row& r : rows) {
    ASSERT_EQ(r.p, 0.5);
    const double exact =
        VanillaHeston(r.S, r.K, r.r, r.d, r.v0, r.vBar, r.kappa, r.xi, r.rho, r.T, r.put);
    EXPECT_NEAR(r.price, exact, 4.0 * r.se) << describe(r);
    const double exactIV = ImpliedVol(exact, r.S, r.K, r.T, r.r, r.d, r.put);
    EXPECT_NEAR(r.iv, exactIV, 4.0 * r.ivSe) << describe(r);
  }
}

// The short-dated high-xi chain is the table's Monte Carlo IVs at its listed strikes, and the
// benchmark's copy is the same file.
TEST(MonteCarloTool, ShortHighXiChainHoldsTheTablesIVs) {
  const std::string chainPath = std::string(SERIVANE_TEST_DATA_DIR) + "/chains/short_high_xi.txt";
  const OptionChain chain = readOptionChain(chainPath);
  ASSERT_TRUE(chain.opened);
  const std::vector<Row>& rows = shortHighXiChain();
  ASSERT_EQ(chain.quotes.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const OptionQuote& q = chain.quotes[i];
    EXPECT_EQ(q.spot, rows[i].S);
    EXPECT_EQ(q.strike, rows[i].K);
    EXPECT_EQ(q.expirationDays, rows[i].days);
    EXPECT_EQ(q.rate, rows[i].r);
    EXPECT_EQ(q.dividendYield, rows[i].d);
    EXPECT_EQ(q.putFlag, rows[i].put);
    EXPECT_NEAR(q.marketIV, rows[i].iv, 5e-9);
  }
  EXPECT_EQ(readFile(chainPath),
            readFile(std::string(SERIVANE_TEST_DATA_DIR) + "/../../data/ShortHighXiChain.txt"));
}

// The calibration's expiry pricing at speed-mode settings.

TEST_F(MonteCarloReference, SpeedModeShortHighXiChain) {
  expectSpeedModeAgrees(shortHighXiChain(), "short high-xi chain, GARCH xi 10, 6-20 days");
}

TEST_F(MonteCarloReference, SpeedModeGarchXi11ShortDated) {
  expectSpeedModeAgrees(garchXi11ShortDated(), "GARCH xi 10.8, 6-20 days");
}
TEST_F(MonteCarloReference, SpeedModePowerLawShortDated) {
  expectSpeedModeAgrees(powerLawShortDated(), "power law xi 7.1, 6-20 days");
}
TEST_F(MonteCarloReference, SpeedModeGarchXi7HalfYearAndTwoYears) {
  expectSpeedModeAgrees(garchXi7HalfYearAndTwoYears(), "GARCH xi 7.2, 182 and 730 days");
}
TEST_F(MonteCarloReference, SpeedModeGarchXi19TwoYears) {
  expectSpeedModeAgrees(garchXi19TwoYears(), "GARCH xi 19.1, 730 days");
}
TEST_F(MonteCarloReference, SpeedModeGarchXi16V0AboveVBar) {
  expectSpeedModeAgrees(garchXi16V0AboveVBar(), "GARCH xi 16, v0 18 vBar, 20 days");
}
TEST_F(MonteCarloReference, SpeedModeGarchXi19SlowReversion) {
  expectSpeedModeAgrees(garchXi19SlowReversion(), "GARCH xi 19.2, kappa 1.15, 60 days");
}
TEST_F(MonteCarloReference, SpeedModeGarchBenignLongDated) {
  expectSpeedModeAgrees(garchBenignLongDated(), "GARCH xi 0.3, 1.2-3 years");
}

// The sample chain (data/OptionsData.txt) priced by the model function at its own v0, vBar,
// kappa and rho with xi raised to 6: out of the money, a quarter and half a year out, the values
// of the convergence run keep more of the fine grid's error than its fitted shares say (0.7 to
// 1.2 bp off), and the third grid's estimate sends them to a finer grid.
TEST_F(MonteCarloReference, SpeedModeGarchXi6SampleChain) {
  TempFolder folder;
  const std::string chain = std::string(SERIVANE_TEST_DATA_DIR) + "/../../data/OptionsData.txt";
  const std::vector<OptionQuote> quotes = readOptionChain(chain).quotes;
  const double p[5] = {0.035, 0.055, 3.0, 6.0, -0.65};
  std::vector<double> hx(quotes.size(), -1.0);
  calcModelIVsFromFile(chain, p, hx.data(), static_cast<int>(hx.size()), speedSettings(1.0));
  Comparison c("speed mode, the sample chain at xi 6");
  for (const Row& r : loadRows("moderate_xi.txt")) {
    std::size_t i = 0;
    while (i < quotes.size() && !(quotes[i].strike == r.K && quotes[i].expirationDays == r.days))
      ++i;
    ASSERT_LT(i, quotes.size()) << describe(r) << " is not a quote of the sample chain";
    c.check(r, hx[i]);
  }
}
TEST_F(MonteCarloReference, SpeedModeGarchXi6V0BelowVBar) {
  expectSpeedModeAgrees(garchXi6V0BelowVBar(), "GARCH xi 6, v0 vBar / 9, 5 days to 3 years");
}
TEST_F(MonteCarloReference, SpeedModeGarchXi10V0AtVBar) {
  expectSpeedModeAgrees(garchXi10V0AtVBar(), "GARCH xi 10, v0 = vBar, 5 days to a year");
}
TEST_F(MonteCarloReference, DISABLED_SpeedModeGarchXi15V0AboveVBar) {
  expectSpeedModeAgrees(garchXi15V0AboveVBar(), "GARCH xi 15, v0 4.5 vBar, 5 to 91 days");
}
TEST_F(MonteCarloReference, SpeedModePowerLawXi3V0BelowVBar) {
  expectSpeedModeAgrees(powerLawXi3V0BelowVBar(), "power law xi 3, v0 vBar / 3, 5 days to a year");
}
TEST_F(MonteCarloReference, DISABLED_SpeedModePowerLawXi6V0AboveVBar) {
  expectSpeedModeAgrees(powerLawXi6V0AboveVBar(), "power law xi 6, v0 3 vBar, 5 and 30 days");
}
TEST_F(MonteCarloReference, SpeedModeGarchXi30Kappa50) {
  expectSpeedModeAgrees(garchXi30Kappa50(), "GARCH xi 30, kappa 50, 5 and 30 days");
}
TEST_F(MonteCarloReference, SpeedModeGarchXi30Kappa05) {
  expectSpeedModeAgrees(garchXi30Kappa05(), "GARCH xi 30, kappa 0.5, 5 and 14 days");
}

// An expiry the strike-list pricing leaves without a positive value at a quoted strike is no
// silent zero: the model function counts it among the expirations that missed the accuracy
// target (the console's caution line) and records it in the pricing log. At xi 15 and v0 4.5 vBar
// two of the three expiries are such today: their far-wing prices stay negative on every
// refinement the call can afford.
TEST_F(MonteCarloReference, UnpricedExpiryIsCountedAndRecorded) {
  std::vector<Row> rows = garchXi15V0AboveVBar();
  ASSERT_FALSE(rows.empty());
  TempFolder folder;
  std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    return a.T != b.T ? a.T < b.T : a.K < b.K;
  });
  const Row& r0 = rows.front();
  const double p[5] = {r0.v0, r0.vBar, r0.kappa, r0.xi, r0.rho};
  const ModelIVsOutcome out =
      std::move(modelIVsOfQuotesBatch(chainOf(rows), {p}, speedSettings(r0.p)).front());
  ASSERT_FALSE(out.failed) << out.error;
  ASSERT_EQ(out.ivs.size(), rows.size());
  int unpriced = 0;
  for (std::size_t i = 0; i < rows.size();) {
    std::size_t end = i;
    bool missing = false;
    for (; end < rows.size() && rows[end].T == rows[i].T; ++end)
      missing = missing || !(out.ivs[end] > 0.0);
    unpriced += missing ? 1 : 0;
    i = end;
  }
  std::printf("%d of the expirations unpriced, %d short of the target\n", unpriced, out.shortfalls);
  EXPECT_GE(out.shortfalls, unpriced);
  EXPECT_EQ(countOf(log(), kUnpricedStrikesMessage), unpriced) << log();
}

// The single-option pricer on a fine grid with the convergence run.

TEST_F(MonteCarloReference, SingleOptionGarchXi11ShortDated) {
  expectSingleOptionAgrees(garchXi11ShortDated(), "GARCH xi 10.8, 6-20 days", 200, 100, 100, 3);
}
TEST_F(MonteCarloReference, SingleOptionGarchXi7HalfYearAndTwoYears) {
  expectSingleOptionAgrees(
      garchXi7HalfYearAndTwoYears(), "GARCH xi 7.2, 182 and 730 days", 200, 100, 100, 3);
}
TEST_F(MonteCarloReference, SingleOptionGarchXi19TwoYears) {
  expectSingleOptionAgrees(garchXi19TwoYears(), "GARCH xi 19.1, 730 days", 200, 100, 100, 3);
}
TEST_F(MonteCarloReference, SingleOptionGarchXi16V0AboveVBar) {
  expectSingleOptionAgrees(
      garchXi16V0AboveVBar(), "GARCH xi 16, v0 18 vBar, 20 days", 200, 100, 100, 3);
}
TEST_F(MonteCarloReference, SingleOptionGarchXi19SlowReversion) {
  expectSingleOptionAgrees(
      garchXi19SlowReversion(), "GARCH xi 19.2, kappa 1.15, 60 days", 200, 100, 100, 3);
}
TEST_F(MonteCarloReference, SingleOptionGarchXi6V0BelowVBar) {
  expectSingleOptionAgrees(
      garchXi6V0BelowVBar(), "GARCH xi 6, v0 vBar / 9, 5 days to 3 years", 200, 100, 100, 3);
}
TEST_F(MonteCarloReference, SingleOptionGarchXi10V0AtVBar) {
  expectSingleOptionAgrees(
      garchXi10V0AtVBar(), "GARCH xi 10, v0 = vBar, 5 days to a year", 200, 100, 100, 3);
}
TEST_F(MonteCarloReference, SingleOptionGarchXi15V0AboveVBarToAMonth) {
  expectSingleOptionAgrees(expiries(garchXi15V0AboveVBar(), 0, 30),
                           "GARCH xi 15, v0 4.5 vBar, 5 and 30 days",
                           200,
                           100,
                           100,
                           3);
}
TEST_F(MonteCarloReference, SingleOptionGarchXi15V0AboveVBarQuarter) {
  expectSingleOptionAgrees(expiries(garchXi15V0AboveVBar(), 31, 91),
                           "GARCH xi 15, v0 4.5 vBar, 91 days",
                           200,
                           100,
                           100,
                           3);
}
TEST_F(MonteCarloReference, SingleOptionGarchXi30Kappa50) {
  expectSingleOptionAgrees(
      garchXi30Kappa50(), "GARCH xi 30, kappa 50, 5 and 30 days", 200, 100, 100, 3);
}
TEST_F(MonteCarloReference, SingleOptionGarchXi30Kappa05) {
  expectSingleOptionAgrees(
      garchXi30Kappa05(), "GARCH xi 30, kappa 0.5, 5 and 14 days", 200, 100, 100, 3);
}
TEST_F(MonteCarloReference, SingleOptionGarchBenignLongDated) {
  expectSingleOptionAgrees(garchBenignLongDated(), "GARCH xi 0.3, 1.2-3 years", 200, 100, 100, 1);
}

// The square-root model against its closed form, on the single-option pricer.

// volvol 1.96, rho -0.92: a quarter and two years.
TEST_F(ClosedFormReference, SquareRootModelHighVolvolStrongNegativeRhoQuarter) {
  expectSquareRootModelAgrees({0.147, 0.144, 1.04, 1.96, -0.92, 91}, 200, 100, 100);
}
TEST_F(ClosedFormReference, SquareRootModelHighVolvolStrongNegativeRhoTwoYears) {
  expectSquareRootModelAgrees({0.147, 0.144, 1.04, 1.96, -0.92, 730}, 200, 100, 100);
}
TEST_F(ClosedFormReference, SquareRootModelCoarseGridHighVolvol) {
  expectSquareRootModelAgrees({0.147, 0.144, 1.04, 1.96, -0.92, 91}, 60, 30, 30);
}
TEST_F(ClosedFormReference, SquareRootModelV0FarAboveVL) {
  // v0 15 vL, positive rho, two years: the finer grid was the worse one.
  expectSquareRootModelAgrees({0.176, 0.012, 0.94, 0.61, 0.15, 730}, 60, 30, 30);
  expectSquareRootModelAgrees({0.176, 0.012, 0.94, 0.61, 0.15, 730}, 200, 100, 100);
}
TEST_F(ClosedFormReference, SquareRootModelFewTimeSteps) {
  // A fine grid on few time steps: the out-of-the-money calls' error is in time (23 bp at 10 steps,
  // half a year). The convergence run's two grids share it, so their difference does not show it.
  expectSquareRootModelAgrees({0.02, 0.06, 2.0, 1.5, -0.8, 182}, 200, 100, 10);
  expectSquareRootModelAgrees({0.02, 0.06, 2.0, 1.5, -0.8, 91}, 200, 100, 20);
}
TEST_F(ClosedFormReference, SquareRootModelBenign) {
  expectSquareRootModelAgrees({0.04, 0.04, 1.5, 0.3, -0.7, 365}, 200, 100, 100);
}

}  // namespace serivane
