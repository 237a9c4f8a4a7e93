// The exported PDE calibration objectives, called in process: their fit of quotes made by the
// analytic Heston engine, their independence of the thread count against a serial evaluation
// written here from the robust pricers, the wrappers, every failure value with its log lines,
// and the pieces they are built from (work items, expiry groups, bucket dealing, variance
// ranges). "OptionsData.txt" is written in the program folder (the calibration tests hold it
// one at a time); "Results.txt" lands in a temporary current folder.
#include "calibration/objectives/pde_objectives.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "calibration/exports/serivane.h"
#include "calibration/objectives/bucket_dealing.h"
#include "calibration/pricing/robust_pricers.h"
#include "calibration/quotes/counted_option_file.h"
#include "core/black_scholes.h"
#include "core/brent.h"
#include "core/pde_solver_1d.h"
#include "core/qel_heston_vanilla.h"
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
constexpr Model kHeston{0.04, 0.05, 1.5, 0.4, -0.6};
// Variance diffusion (model 1) parameters: its volvol multiplies v, not sqrt(v).
constexpr Model kGarch{0.04, 0.05, 1.5, 1.2, -0.6};

// Arguments 6-13: the console program's default grid (60 x 30 x 30, method id 2, the two-grid
// convergence run), S-range parameter 1, variance bounds at the 0.9999 quantile.
struct Settings {
  int NS = 60, NV = 30, NT = 30, methodID = 2, precision = 2;
  double sRange = 1.0, level = 0.9999;
  int widening = 0;
};

// An objective export with the model and settings as its first thirteen arguments, then `rest`.
template <class F, class... Rest>
double objective(F f, const Model& m, const Settings& s, Rest... rest) {
  return f(m.v0,
           m.vL,
           m.theta,
           m.volvol,
           m.rho,
           s.NS,
           s.NV,
           s.NT,
           s.methodID,
           s.precision,
           s.sRange,
           s.level,
           s.widening,
           rest...);
}

double byOption(const Model& m, const Settings& s, int model) {
  return objective(GARCH_VanillaPDECalibration, m, s, model);
}

double byExpiry(const Model& m, const Settings& s, int stripMode, int model) {
  return objective(GARCH_VanillaPDECalibrationM, m, s, stripMode, model);
}

double hestonByOption(const Model& m, const Settings& s) {
  return objective(HESTON_VanillaPDECalibration, m, s);
}

double hestonByExpiry(const Model& m, const Settings& s) {
  return objective(HESTON_VanillaPDECalibrationM, m, s);
}

double sv(const Model& m, const Settings& s, int selector, int model) {
  return objective(SVPDECalibration, m, s, selector, model);
}

// Black-Scholes-Merton implied volatility of a price.
double impliedVol(double price, double S, double K, double T, double r, double d, int put) {
  return brentSolve(ImpliedVolFunctor{S, K, T, r, d, price, put}, 1e-6, 2.0, 1e-16);
}

// Out-of-the-money quotes (puts below the spot 100, calls from it up) whose market IVs are those
// of the analytic Heston engine at m, kept where the price is above minPrice.
std::vector<HestonQuote> hestonChain(const Model& m,
                                     const std::vector<double>& expirations,
                                     const std::vector<double>& strikes,
                                     double minPrice = 0.05) {
  std::vector<HestonQuote> quotes;
  for (double T : expirations) {
    for (double K : strikes) {
      HestonQuote q;
      q.S = 100.0;
      q.K = K;
      q.T = T;
      q.r = 0.03;
      q.d = 0.01;
      q.CallPut = K < 100.0 ? 1 : 0;
      AnalyticHestonEngine engine(1e-14, 1000000);
      const double price = engine.price(
          q.S, K, T, q.r, q.d, m.v0, m.vL, m.theta, m.volvol, m.rho, q.CallPut == 0 ? 1 : -1);
      if (!(price > minPrice)) continue;
      q.marketIV = impliedVol(price, q.S, K, T, q.r, q.d, q.CallPut);
      quotes.push_back(q);
    }
  }
  return quotes;
}

// The counted layout of the quotes.
std::string countedText(const std::vector<HestonQuote>& quotes) {
  std::ostringstream s;
  s.precision(17);
  s << quotes.size() << "\n";
  for (const HestonQuote& q : quotes) {
    s << q.marketIV << " " << q.S << " " << q.K << " " << q.T << " " << q.r << " " << q.d << " "
      << q.CallPut << " " << q.EuroAmer << "\n";
  }
  return s.str();
}

// 48 quotes over five expirations.
std::vector<HestonQuote> fullChain() {
  return hestonChain(
      kHeston, {0.1, 0.25, 0.5, 1.0, 2.0}, {75, 80, 85, 90, 95, 100, 105, 110, 115, 120, 125});
}

// 13 quotes over three expirations.
std::vector<HestonQuote> smallChain() {
  return hestonChain(kHeston, {0.25, 1.0, 2.0}, {85, 95, 100, 110, 120});
}

// The OpenMP thread count of the process, put back at the end of a test.
class ThreadCount {
 public:
  ThreadCount() : saved_(omp_get_max_threads()) {}
  ~ThreadCount() { omp_set_num_threads(saved_); }
  void set(int n) { omp_set_num_threads(n); }

 private:
  int saved_;
};

// The record an objective appends to the pricing log for an error.
std::string errorRecord(const std::string& message) {
  const std::string frame(85, '*');
  return frame + "\n" + message + "\n" + frame + "\n\n";
}

class PdeObjectives : public PricingLogTest {
 protected:
  TempFolder folder_;  // the current folder, where "Results.txt" is appended
  ThreadCount threads_;
};

// What the seam saw of one solve, and the values it handed back (every strike priced at 1.0
// with implied volatility kSeamIV).
constexpr double kSeamIV = 0.2;
struct SeenSolve {
  double T, K;
  std::vector<double> strikes;
  int CallPut, EuroAmer, NS, NV, NT;
  double varRange;
  bool stripFlag;
};
std::mutex seenMutex;
std::vector<SeenSolve> seen;

void recordingSolve(QelHestonVanilla& p, double& cpuTime) {
  {
    std::lock_guard<std::mutex> lock(seenMutex);
    seen.push_back(
        {p.T, p.K, p.strikes, p.CallPut, p.EuroAmer, p.NS, p.NV, p.NT, p.varRange, p.stripFlag});
  }
  p.summary = std::valarray<double>(0.0, 6);
  p.summary[1] = 1.0;
  p.summary[2] = 1.0;
  p.summary[4] = kSeamIV;
  p.strikePrices = std::valarray<double>(1.0, p.strikes.size());
  p.strikeIVs = std::valarray<double>(kSeamIV, p.strikes.size());
  cpuTime = 0.01;
}

// A failure that the robust pricers do not handle themselves (not a std::exception).
void throwingSolve(QelHestonVanilla&, double&) { throw "scripted solver failure"; }
// A failure that they do handle: logged, and the pricing gives up with 0.
void failingSolve(QelHestonVanilla&, double&) { throw std::runtime_error("scripted failure"); }

}  // namespace

TEST_F(PdeObjectives, HestonObjectivesFitTheirOwnModelAndNotAMovedOne) {
  ProgramFolderQuotes quotes(countedText(fullChain()));
  const Settings s;
  struct Objective {
    const char* label;
    double (*f)(const Model&, const Settings&);
  } objectives[] = {{"option by option", hestonByOption}, {"expiry by expiry", hestonByExpiry}};
  for (const Objective& o : objectives) {
    const double atModel = o.f(kHeston, s);
    EXPECT_LT(atModel, 1e-4) << o.label;  // below 1 bp
    EXPECT_GT(atModel, 0.0) << o.label;
    for (int i = 0; i < 5; ++i) {
      double p[5] = {kHeston.v0, kHeston.vL, kHeston.theta, kHeston.volvol, kHeston.rho};
      p[i] *= 1.1;
      const double moved = o.f(Model{p[0], p[1], p[2], p[3], p[4]}, s);
      EXPECT_GT(moved, 5e-4) << o.label << ", parameter " << i << " moved by 10%";
      EXPECT_GT(moved, 10.0 * atModel) << o.label << ", parameter " << i;
    }
  }
  EXPECT_FALSE(logExists()) << log();
}

// Each quote's error depends on that quote alone (its grids, its variance bound), and each
// expiration's on that expiration alone: the objective over the chain is the root mean square
// of the objectives over its single quotes (the absolute errors), and of those over its single
// expirations weighted by their quote counts, whatever the thread count.
TEST_F(PdeObjectives, SameForAnyThreadCountAndComposedOfItsParts) {
  const std::vector<HestonQuote> chain = smallChain();
  const Settings s;
  const Model& m = kGarch;
  const int model = 1;  // variance diffusion: the variance bounds are solved

  double sum = 0.0;
  for (const HestonQuote& q : chain) {
    ProgramFolderQuotes one(countedText({q}));
    const double error = byOption(m, s, model);
    ASSERT_GT(error, 0.0);
    sum += error * error;
  }
  const double fromQuotes = std::sqrt(sum / static_cast<double>(chain.size()));

  std::vector<double> expirations;
  for (const HestonQuote& q : chain) {
    if (std::find(expirations.begin(), expirations.end(), q.T) == expirations.end()) {
      expirations.push_back(q.T);
    }
  }
  ASSERT_EQ(expirations.size(), 3u);
  sum = 0.0;
  for (double T : expirations) {
    std::vector<HestonQuote> part;
    for (const HestonQuote& q : chain) {
      if (q.T == T) part.push_back(q);
    }
    ProgramFolderQuotes one(countedText(part));
    const double rms = byExpiry(m, s, 0, model);
    ASSERT_GT(rms, 0.0);
    sum += rms * rms * static_cast<double>(part.size());
  }
  const double fromExpirations = std::sqrt(sum / static_cast<double>(chain.size()));

  ProgramFolderQuotes quotes(countedText(chain));
  for (int n : {1, 2, 8}) {
    threads_.set(n);
    EXPECT_DOUBLE_EQ(byOption(m, s, model), fromQuotes) << n << " threads";
    EXPECT_NEAR(byExpiry(m, s, 0, model), fromExpirations, 1e-12 * fromExpirations)
        << n << " threads";
  }
  EXPECT_FALSE(logExists()) << log();
}

TEST_F(PdeObjectives, WrappersAreTheGeneralObjectives) {
  ProgramFolderQuotes quotes(countedText(hestonChain(kHeston, {0.5, 1.0}, {90, 110})));
  const Settings s;
  const Model& m = kGarch;
  EXPECT_EQ(hestonByOption(m, s), byOption(m, s, 0));
  EXPECT_EQ(hestonByExpiry(m, s), byExpiry(m, s, 0, 0));
  // The model reaches the pricer: the equalities below are not vacuous.
  EXPECT_NE(byOption(m, s, 0), byOption(m, s, 1));
  EXPECT_NE(byExpiry(m, s, 0, 0), byExpiry(m, s, 0, 1));
  for (int model : {0, 1}) {
    EXPECT_EQ(sv(m, s, 3, model), byOption(m, s, model)) << "model " << model;
    for (int selector : {0, 1, 2}) {
      EXPECT_EQ(sv(m, s, selector, model), byExpiry(m, s, selector, model))
          << "selector " << selector << ", model " << model;
    }
  }
}

TEST_F(PdeObjectives, QuoteFileFailureValues) {
  debugFlag = true;  // no evaluation is recorded all the same
  for (const QuoteFileCase& c : unreadableQuoteFiles()) {
    ProgramFolderQuotes quotes(c.file);
    EXPECT_EQ(byOption(kHeston, Settings{}, 0), c.expected) << c.label;
    EXPECT_EQ(byExpiry(kHeston, Settings{}, 0, 0), c.expected) << c.label;
  }
  EXPECT_EQ(folder_.read(kResultsName), "");
  EXPECT_FALSE(logExists()) << log();
}

TEST_F(PdeObjectives, AnErrorGivesZeroAfterItsRecord) {
  debugFlag = true;
  threads_.set(8);
  ProgramFolderQuotes quotes(countedText(smallChain()));
  struct Case {
    const char* label;
    Model m;
    RobustSolveHook hook;
    const char* message;
  } cases[] = {
      // v0 <= 0: the 1-D variance solver of the bounds refuses its parameters.
      {"a bound solve that throws",
       {-0.01, 0.05, 1.5, 1.2, -0.6},
       nullptr,
       "invalid parameters in PDESolver1D"},
      // Every solve fails past the pricers' own handler (on many threads at once in the option
      // by option objective): one record, that of the first quote.
      {"solves that throw", kGarch, throwingSolve, "scripted solver failure"},
  };
  for (const Case& c : cases) {
    robustSolveHook = c.hook;
    std::remove(pricingLogPath().c_str());
    EXPECT_EQ(byOption(c.m, Settings{}, 1), 0.0) << c.label;
    EXPECT_EQ(log(), errorRecord(c.message)) << c.label;
    std::remove(pricingLogPath().c_str());
    EXPECT_EQ(byExpiry(c.m, Settings{}, 0, 1), 0.0) << c.label;
    EXPECT_EQ(log(), errorRecord(c.message)) << c.label;
  }
  EXPECT_EQ(folder_.read(kResultsName), "");
}

TEST_F(PdeObjectives, APricingThatGivesUpCountsAsAZeroVolatility) {
  // Every solve throws an error that the robust pricers catch: each logs its case and gives
  // 0.0, so the objective is the root mean square of the market IVs.
  const std::vector<HestonQuote> chain = smallChain();
  ProgramFolderQuotes quotes(countedText(chain));
  double squares = 0.0;
  for (const HestonQuote& q : chain) squares += q.marketIV * q.marketIV;
  const double expected = std::sqrt(squares / static_cast<double>(chain.size()));
  robustSolveHook = failingSolve;
  EXPECT_DOUBLE_EQ(byOption(kHeston, Settings{}, 0), expected);
  EXPECT_EQ(countOf(log(), "scripted failure\n"), static_cast<int>(chain.size()));
  std::remove(pricingLogPath().c_str());
  EXPECT_DOUBLE_EQ(byExpiry(kHeston, Settings{}, 0, 0), expected);
  EXPECT_EQ(countOf(log(), "scripted failure\n"), 3);  // one per expiration
}

TEST_F(PdeObjectives, DebugSwitchAppendsOneRecordPerEvaluation) {
  ProgramFolderQuotes quotes(countedText(hestonChain(kHeston, {0.5, 1.0}, {90, 110})));
  debugFlag = true;
  const Model m{1.0 / 3.0, 0.05, 1.5, 0.4, -0.6};
  const double values[2] = {byOption(m, Settings{}, 0), byExpiry(m, Settings{}, 0, 0)};
  const std::string text = folder_.read(kResultsName);
  const std::vector<std::string> lines = splitLines(text);
  ASSERT_EQ(lines.size(), 2u) << text;
  ASSERT_EQ(text.back(), '\n');
  for (int i = 0; i < 2; ++i) {
    // Nine TAB-ended fields; the tenth is the line break.
    const std::vector<std::string> fields = splitTabs(lines[i]);
    ASSERT_EQ(fields.size(), 10u) << lines[i];
    EXPECT_EQ(fields[0], "Objective function:");
    EXPECT_NEAR(std::stod(fields[1]), 1e4 * values[i] * values[i], 1e-12 * 1e4 * values[i]);
    EXPECT_NEAR(std::stod(fields[2]), values[i], 1e-14 * values[i]);
    EXPECT_EQ(fields[3], "v0: 0.333333333333333");
    EXPECT_EQ(fields[4], "vL: 0.05");
    EXPECT_EQ(fields[5], "theta: 1.5");
    EXPECT_EQ(fields[6], "volvol: 0.4");
    EXPECT_EQ(fields[7], "rho: -0.6");
    ASSERT_EQ(fields[8].rfind("CPU Time: ", 0), 0u) << fields[8];
    const double seconds = std::stod(fields[8].substr(10));
    EXPECT_GE(seconds, 0.0);
    EXPECT_NEAR(seconds * 1000.0, std::round(seconds * 1000.0), 1e-6);  // whole milliseconds
    EXPECT_EQ(fields[9], "");
  }
}

TEST_F(PdeObjectives, WhatEachPricingIsHandedFromTheFile) {
  // Reading order scrambled; the largest expiration is the last quote, alone; two quotes share
  // (T, K); the put flags are mixed; the exercise style differs within an expiration; an
  // American call (K 100 at T 0.5) is priced apart, as a call.
  const std::string file =
      "7\n"
      "0.21 100 110 0.5 0.03 0.01 0 0\n"
      "0.22 100 95 1 0.03 0.01 1 0\n"
      "0.23 100 90 0.5 0.03 0.01 1 1\n"
      "0.24 100 95 1 0.03 0.01 0 0\n"
      "0.25 100 100 0.5 0.03 0.01 0 1\n"
      "0.26 100 105 1 0.03 0.01 0 0\n"
      "0.27 101 100 2 0.02 0.005 1 1\n";
  ProgramFolderQuotes quotes(file);
  const double ivs[7] = {0.21, 0.22, 0.23, 0.24, 0.25, 0.26, 0.27};
  double squares = 0.0;
  for (double iv : ivs) squares += (kSeamIV - iv) * (kSeamIV - iv);
  const double expected = std::sqrt(squares / 7.0);
  robustSolveHook = recordingSolve;
  Settings s;
  s.precision = 1;  // run mode 3: the pricer solves on the sizes it is given
  s.level = 1.0;    // no bound solves: the level is the pricer's varRange

  seen.clear();
  EXPECT_DOUBLE_EQ(byExpiry(kGarch, s, 1, 1), expected);
  ASSERT_EQ(seen.size(), 5u);
  std::sort(seen.begin(), seen.end(), [](const SeenSolve& a, const SeenSolve& b) {
    if (a.T != b.T) return a.T < b.T;
    return a.CallPut != b.CallPut ? a.CallPut > b.CallPut : a.EuroAmer < b.EuroAmer;
  });
  struct Group {
    double T;
    std::vector<double> strikes;
    int CallPut;   // 1, a put list; 0, an American call alone
    int EuroAmer;  // the style of all of the group's quotes
    int NT;        // max(30, (int)(30 T))
  } groups[] = {{0.5, {110}, 1, 0, 30},
                {0.5, {90}, 1, 1, 30},
                {0.5, {100}, 0, 1, 30},
                {1.0, {95, 95, 105}, 1, 0, 30},
                {2.0, {100}, 1, 1, 60}};
  for (std::size_t k = 0; k < std::size(groups); ++k) {
    EXPECT_EQ(seen[k].T, groups[k].T);
    EXPECT_EQ(seen[k].strikes, groups[k].strikes) << "T " << groups[k].T;
    EXPECT_EQ(seen[k].CallPut, groups[k].CallPut) << "T " << groups[k].T;
    EXPECT_EQ(seen[k].EuroAmer, groups[k].EuroAmer) << "T " << groups[k].T;
    EXPECT_EQ(seen[k].NT, groups[k].NT) << "T " << groups[k].T;
    EXPECT_EQ(seen[k].varRange, 1.0) << "T " << groups[k].T;
    EXPECT_TRUE(seen[k].stripFlag) << "T " << groups[k].T;  // strip mode 1
  }

  // Option by option: each quote with its own put flag and exercise style.
  seen.clear();
  EXPECT_DOUBLE_EQ(byOption(kGarch, s, 1), expected);
  ASSERT_EQ(seen.size(), 7u);
  std::sort(seen.begin(), seen.end(), [](const SeenSolve& a, const SeenSolve& b) {
    return a.T != b.T ? a.T < b.T : (a.K != b.K ? a.K < b.K : a.CallPut < b.CallPut);
  });
  const int callPut[7] = {1, 0, 0, 0, 1, 0, 1};
  const int euroAmer[7] = {1, 1, 0, 0, 0, 0, 1};
  for (std::size_t i = 0; i < 7; ++i) {
    EXPECT_EQ(seen[i].CallPut, callPut[i]) << i;
    EXPECT_EQ(seen[i].EuroAmer, euroAmer[i]) << i;
    EXPECT_EQ(seen[i].varRange, 1.0) << i;
  }

  // With a level below 1.0 variance diffusion gets explicit bounds, within [0.1 B, B].
  s.level = 0.9999;
  seen.clear();
  byExpiry(kGarch, s, 0, 1);
  const double B =
      PDESolver1D(s.level, kGarch.v0, kGarch.vL, kGarch.theta, kGarch.volvol).calcQuantile();
  ASSERT_EQ(seen.size(), 5u);
  for (const SeenSolve& v : seen) {
    EXPECT_LE(-v.varRange, B * (1 + 1e-15)) << "T " << v.T;
    EXPECT_GE(-v.varRange, 0.1 * B * (1 - 1e-15)) << "T " << v.T;
  }
  EXPECT_FALSE(logExists()) << log();
}

TEST(PdeObjectiveWork, BucketDealingTable) {
  struct Case {
    const char* label;
    std::vector<double> costs;  // sorted descending
    int nb;
    std::vector<std::vector<int>> buckets;
    std::vector<double> loads;
  } cases[] = {
      // Target 7: 0->b0, 1->b1, 2->b0, 3->b1, 4: b0 full -> b1, 5: b0 full -> b1.
      {"two buckets", {5, 3, 2, 2, 1, 1}, 2, {{0, 2}, {1, 3, 4, 5}}, {7, 7}},
      // Target 10/3: the heavy item fills b0, which the later items pass over.
      {"three buckets, one heavy item",
       {5, 1.5, 1, 1, 1, 0.5},
       3,
       {{0}, {1, 3, 5}, {2, 4}},
       {5, 3, 2}},
      {"equal costs go round", {1, 1, 1, 1, 1, 1}, 3, {{0, 3}, {1, 4}, {2, 5}}, {2, 2, 2}},
      {"more buckets than items", {2, 1}, 4, {{0}, {1}, {}, {}}, {2, 1, 0, 0}},
      {"one bucket", {3, 2, 1}, 1, {{0, 1, 2}}, {6}},
      {"no bucket asked for: one", {3, 2}, 0, {{0, 1}}, {5}},
  };
  for (const Case& c : cases) {
    double total = 0.0;
    for (double x : c.costs) total += x;
    const BucketDeal deal = dealByCost(c.costs, c.nb, total);
    EXPECT_EQ(deal.buckets, c.buckets) << c.label;
    EXPECT_EQ(deal.loads, c.loads) << c.label;
  }
  // A target that every bucket has reached from the start (a total of 0 here), or a NaN one:
  // the dealing still ends, each item in the lightest bucket.
  const std::vector<double> ones = {1, 1, 1};
  EXPECT_EQ(dealByCost(ones, 2, 0.0).buckets, (std::vector<std::vector<int>>{{0, 2}, {1}}));
  const std::vector<double> nan = {std::nan(""), 1.0};
  EXPECT_EQ(dealByCost(nan, 2, std::nan("")).buckets.size(), 2u);
}

TEST(PdeObjectiveWork, OptionItemsRaiseTheGridOfCheapOutOfTheMoneyCalls) {
  PdeObjectiveArgs args;
  args.NS = 60;
  args.NV = 30;
  args.NT = 30;
  args.theta = 1.5;
  args.level = 0.9999;
  struct Case {
    const char* label;
    double K, T, price;  // the market IV is the one of this price
    int CallPut;
    int NS, NV, NT;
    double cost;
  } cases[] = {
      {"call, 0.00075 S < P < 0.005 S", 130, 0.5, 0.3, 0, 120, 70, 30, 2.0 * 70 / 30},
      {"call, 0.0002 S < P <= 0.00075 S", 130, 0.5, 0.05, 0, 160, 80, 30, 160.0 / 60 * 80 / 30},
      {"call, 0.0001 S < P <= 0.0002 S", 130, 0.5, 0.015, 0, 300, 100, 30, 5.0 * 100 / 30},
      {"call, P <= 0.0001 S", 130, 0.5, 0.005, 0, 400, 100, 30, 400.0 / 60 * 100 / 30},
      {"call above the bands", 130, 0.5, 0.6, 0, 60, 30, 30, 1.0},
      {"a cheap put keeps the base grid", 70, 0.5, 0.05, 1, 60, 30, 30, 1.0},
      {"a cheap call at K = S keeps the base grid", 100, 0.01, 0.3, 0, 60, 30, 30, 1.0},
      {"time steps scale with T", 100, 2.5, 5.0, 1, 60, 30, 75, (1 + 0.015 * 75) / (1 + 0.45)},
  };
  std::vector<HestonQuote> quotes;
  for (const Case& c : cases) {
    HestonQuote q;
    q.S = 100.0;
    q.K = c.K;
    q.T = c.T;
    q.r = 0.03;
    q.d = 0.01;
    q.CallPut = c.CallPut;
    q.marketIV = impliedVol(c.price, q.S, q.K, q.T, q.r, q.d, q.CallPut);
    quotes.push_back(q);
  }
  double total = 0.0;
  const std::vector<OptionWorkItem> items = makeOptionWorkItems(quotes, args, total);
  ASSERT_EQ(items.size(), quotes.size());
  double sum = 0.0;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const Case& c = cases[i];
    EXPECT_EQ(items[i].index, static_cast<int>(i));
    EXPECT_EQ(items[i].NS, c.NS) << c.label;
    EXPECT_EQ(items[i].NV, c.NV) << c.label;
    EXPECT_EQ(items[i].NT, c.NT) << c.label;
    EXPECT_NEAR(items[i].cost, c.cost, 1e-12 * c.cost) << c.label;
    EXPECT_EQ(items[i].boundFactor, std::max(1.0, 3.0 - 0.75 * c.T)) << c.label;
    sum += items[i].cost;
  }
  EXPECT_DOUBLE_EQ(total, sum);
  // Time steps: max(NT, (int)(NT T)), safe far beyond the int range.
  EXPECT_EQ(timeStepsForExpiry(30, 0.99), 30);
  EXPECT_EQ(timeStepsForExpiry(30, 1.99), 59);
  EXPECT_EQ(timeStepsForExpiry(30, 1e300), INT_MAX);
  EXPECT_EQ(timeStepsForExpiry(30, std::nan("")), 30);
}

TEST(PdeObjectiveWork, ExpiryGroupsAndTheirGrids) {
  PdeObjectiveArgs args;
  args.NS = 60;
  args.NV = 30;
  args.NT = 30;
  args.theta = 2.0;
  // One group per case (expirations 0.1, 0.2, ...), its smallest price in the band; a second
  // quote of each group is dearer.
  struct Case {
    const char* label;
    double cheapest;
    int NS, NV;
  } cases[] = {
      {"0.00075 S < P < 0.005 S", 0.3, 120, 70},
      {"0.0002 S < P <= 0.00075 S", 0.05, 160, 80},
      {"0.0001 S < P <= 0.0002 S", 0.015, 200, 80},
      {"3.5e-5 S < P <= 0.0001 S", 0.005, 200, 80},
      {"P <= 3.5e-5 S", 0.002, 300, 100},
      {"above the bands", 0.8, 60, 30},
  };
  std::vector<HestonQuote> quotes;
  for (std::size_t k = 0; k < 6; ++k) {
    for (double price : {cases[k].cheapest, 2.0}) {
      HestonQuote q;
      q.S = 100.0;
      q.K = price == 2.0 ? 105.0 : 125.0;
      q.T = 0.1 * static_cast<double>(6 - k);  // read in descending expiration order
      q.r = 0.03;
      q.d = 0.01;
      q.CallPut = 0;
      q.marketIV = impliedVol(price, q.S, q.K, q.T, q.r, q.d, q.CallPut);
      quotes.push_back(q);
    }
  }
  std::vector<ExpiryWorkItem> groups = groupQuotesByExpiry(quotes);
  ASSERT_EQ(groups.size(), 6u);
  const double total = sizeExpiryWorkItems(groups, args);
  double sum = 0.0;
  for (std::size_t k = 0; k < 6; ++k) {
    const ExpiryWorkItem& g = groups[k];
    const Case& c = cases[5 - k];
    EXPECT_EQ(g.index, static_cast<int>(k));
    EXPECT_NEAR(g.T, 0.1 * static_cast<double>(k + 1), 1e-15);
    EXPECT_NEAR(g.refPrice, c.cheapest, 1e-9) << c.label;
    EXPECT_EQ(g.strikes, (std::vector<double>{105.0, 125.0})) << c.label;
    EXPECT_EQ(g.NS, c.NS) << c.label;
    EXPECT_EQ(g.NV, c.NV) << c.label;
    EXPECT_EQ(g.NT, 30) << c.label;
    EXPECT_NEAR(g.cost, (c.NS / 60.0) * (c.NV / 30.0), 1e-12) << c.label;
    EXPECT_EQ(g.rangeFactor, std::max(1.0, 3.0 - g.T)) << c.label;
    sum += g.cost;
  }
  EXPECT_DOUBLE_EQ(total, sum);

  // S, r and d of a group are those of its last quote in (T, K) order; the put flags and market
  // IVs follow the strikes.
  std::vector<HestonQuote> mixed(3);
  mixed[0] = {0.3, 100.0, 110.0, 1.0, 0.03, 0.01, 0, 1};
  mixed[1] = {0.2, 101.0, 90.0, 1.0, 0.04, 0.02, 1, 1};
  mixed[2] = {0.25, 102.0, 110.0, 1.0, 0.05, 0.03, 1, 1};
  for (HestonQuote& q : mixed) q.EuroAmer = 0;
  const std::vector<ExpiryWorkItem> one = groupQuotesByExpiry(mixed);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].strikes, (std::vector<double>{90.0, 110.0, 110.0}));
  EXPECT_EQ(one[0].putFlags, (std::vector<std::int32_t>{1, 0, 1}));
  EXPECT_EQ(one[0].marketIVs, (std::vector<double>{0.2, 0.3, 0.25}));
  EXPECT_EQ(one[0].spot, 102.0);
  EXPECT_EQ(one[0].r, 0.05);
  EXPECT_EQ(one[0].d, 0.03);
  EXPECT_EQ(one[0].EuroAmer, 0);
  EXPECT_EQ(one[0].CallPut, 1);

  // An expiration's European quotes and its American puts are two strike lists, each of one
  // style, with its own smallest price, spot and grid; an American call is alone, priced as a
  // call. The groups come in the order of their first quotes.
  std::vector<HestonQuote> styles = {
      {0.2, 100.0, 75.0, 1.0, 0.03, 0.01, 1, 0},   // European put, the cheapest quote (0.45)
      {0.3, 99.0, 85.0, 1.0, 0.03, 0.01, 1, 1},    // American put
      {0.2, 100.0, 100.0, 1.0, 0.03, 0.01, 1, 1},  // American put
      {0.3, 100.0, 105.0, 1.0, 0.03, 0.01, 0, 1},  // American call
      {0.2, 101.0, 110.0, 1.0, 0.03, 0.01, 0, 0},  // European call, the last European quote
      {0.2, 100.0, 90.0, 0.5, 0.03, 0.01, 1, 1},   // American put alone at T 0.5
  };
  std::vector<ExpiryWorkItem> split = groupQuotesByExpiry(styles);
  sizeExpiryWorkItems(split, args);
  ASSERT_EQ(split.size(), 4u);
  struct Group {
    double T;
    std::vector<double> strikes;
    std::vector<std::int32_t> putFlags;
    int CallPut, EuroAmer;
    double spot;
    std::size_t cheapest;  // the quote of styles with the smallest price
  } expected[] = {{0.5, {90}, {1}, 1, 1, 100.0, 5},
                  {1.0, {75, 110}, {1, 0}, 1, 0, 101.0, 0},
                  {1.0, {85, 100}, {1, 1}, 1, 1, 100.0, 1},
                  {1.0, {105}, {0}, 0, 1, 100.0, 3}};
  for (std::size_t k = 0; k < split.size(); ++k) {
    const ExpiryWorkItem& g = split[k];
    const Group& e = expected[k];
    const HestonQuote& c = styles[e.cheapest];
    EXPECT_EQ(g.index, static_cast<int>(k));
    EXPECT_EQ(g.T, e.T) << k;
    EXPECT_EQ(g.strikes, e.strikes) << k;
    EXPECT_EQ(g.putFlags, e.putFlags) << k;
    EXPECT_EQ(g.CallPut, e.CallPut) << k;
    EXPECT_EQ(g.EuroAmer, e.EuroAmer) << k;
    EXPECT_EQ(g.spot, e.spot) << k;
    EXPECT_EQ(g.refPrice, bsmPrice(c.S, c.K, c.r, c.d, c.marketIV, c.T, c.CallPut)) << k;
    const ExpiryGrid grid = sizeExpiryGrid(g.refPrice, g.spot, g.T, args.NS, args.NV, args.NT);
    EXPECT_EQ(g.NS, grid.NS) << k;
    EXPECT_EQ(g.NV, grid.NV) << k;
    EXPECT_EQ(g.cost, grid.cost) << k;
  }
  EXPECT_EQ(split[1].NS, 120);  // the European list's cheapest put is in the first band
  EXPECT_EQ(split[2].NS, 60);   // the American list's are above the bands
}

TEST(PdeObjectiveWork, VarianceRangesBetweenATenthOfTheStationaryBoundAndIt) {
  PdeObjectiveArgs a;
  a.v0 = kGarch.v0;
  a.vL = kGarch.vL;
  a.theta = kGarch.theta;
  a.volvol = kGarch.volvol;
  a.level = 0.9999;
  const std::vector<double> expirations = {0.05, 1.0};
  const VarianceRanges ranges(expirations, a, 1);
  const double B = PDESolver1D(a.level, a.v0, a.vL, a.theta, a.volvol).calcQuantile();
  EXPECT_EQ(ranges.stationary(), B);
  ASSERT_EQ(ranges.bounds().size(), 2u);
  for (std::size_t k = 0; k < 2; ++k) {
    const double bk =
        PDESolver1D(a.level, expirations[k], a.v0, a.vL, a.theta, a.volvol, 800, 50, 2, 5, false, 1)
            .calcQuantile();
    EXPECT_EQ(ranges.bounds()[k], bk);
    for (double f : {1e-3, 1.0, 2.9, 1e3}) {
      const double range = ranges.forExpiry(expirations[k], f);
      EXPECT_EQ(range, -std::max(0.1 * B, std::min(B, bk * f))) << "T " << expirations[k];
    }
    EXPECT_EQ(ranges.forExpiry(expirations[k], 1e-3), -0.1 * B);
    EXPECT_EQ(ranges.forExpiry(expirations[k], 1e3), -B);
  }
  EXPECT_THROW(ranges.forExpiry(0.5, 1.0), std::logic_error);
  // No bounds: a level of 1.0 or more, or the square-root model, whose variance law the 1-D
  // solver does not describe; the level is then the pricer's coverage probability.
  a.level = 1.0;
  EXPECT_EQ(VarianceRanges(expirations, a, 1).forExpiry(1.0, 2.0), 1.0);
  a.level = 0.9999;
  const VarianceRanges squareRoot(expirations, a, 0);
  EXPECT_TRUE(squareRoot.bounds().empty());
  EXPECT_EQ(squareRoot.forExpiry(1.0, 2.0), 0.9999);
}

}  // namespace serivane

namespace serivane {

// An expiry that holds one quote whose volatility cannot be found (a put deep in the money, worth
// more than at any volatility of the bracket) counts as any quote without a volatility: a model
// volatility of 0. Before, the one-strike pricing handed its price on as the volatility.
TEST_F(PdeObjectives, AOneQuoteExpiryWithoutVolatilityCountsAsAZeroVolatility) {
  const std::vector<HestonQuote> chain = smallChain();
  HestonQuote deep;
  deep.S = 100.0;
  deep.K = 300.0;
  deep.T = 0.01;
  deep.r = 0.03;
  deep.d = 0.01;
  deep.CallPut = 1;
  deep.marketIV = 0.3;
  std::vector<HestonQuote> withDeep = chain;
  withDeep.push_back(deep);
  const Settings s{40, 20, 20, 3, 1, 1.0, 1.5, 0};
  double alone = 0.0;
  {
    ProgramFolderQuotes quotes(countedText(chain));
    alone = byExpiry(kHeston, s, 0, 0);
  }
  ProgramFolderQuotes quotes(countedText(withDeep));
  const double n = static_cast<double>(chain.size());
  const double expected = std::sqrt((alone * alone * n + deep.marketIV * deep.marketIV) / (n + 1));
  EXPECT_NEAR(byExpiry(kHeston, s, 0, 0), expected, 1e-12);
  EXPECT_LT(expected, 0.2);
}

}  // namespace serivane

namespace serivane {

namespace {

// The European Heston price of a quote's option by the closed form, at m.
double hestonPrice(const Model& m, const HestonQuote& q) {
  AnalyticHestonEngine engine(1e-14, 1000000);
  return engine.price(
      q.S, q.K, q.T, q.r, q.d, m.v0, m.vL, m.theta, m.volvol, m.rho, q.CallPut == 0 ? 1 : -1);
}

HestonQuote quote(
    double marketIV, double S, double K, double T, double r, double d, int CallPut, int EuroAmer) {
  HestonQuote q;
  q.marketIV = marketIV;
  q.S = S;
  q.K = K;
  q.T = T;
  q.r = r;
  q.d = d;
  q.CallPut = CallPut;
  q.EuroAmer = EuroAmer;
  return q;
}

// The model volatility of a one-quote file whose market volatility is 1, above every model
// volatility here: the objective is then 1 minus it. by(m, s) is the objective.
template <class By>
double modelVolOf(const HestonQuote& q, const Model& m, const By& by) {
  HestonQuote one = q;
  one.marketIV = 1.0;
  ProgramFolderQuotes file(countedText({one}));
  const double objective = by(m, Settings{});
  EXPECT_GT(objective, 0.0);
  EXPECT_LT(objective, 1.0);
  return 1.0 - objective;
}

}  // namespace

// An American call without dividends is never exercised early: it is the European call, whose
// Heston price the closed form gives. A one-quote file of one at its closed-form volatility plus
// 0.01 gives 0.01 by either objective, and the expiry-by-expiry one agrees with the option-by-
// option one. (The expiry-by-expiry objective gave the volatility of the American put, 0.0857
// here.)
TEST_F(PdeObjectives, AnAmericanCallWithoutDividendsIsTheEuropeanCallExpiryByExpiry) {
  const Model& m = kHeston;
  const Settings s;
  for (const double K : {90.0, 120.0}) {
    HestonQuote q = quote(0.0, 100.0, K, 1.0, 0.05, 0.0, 0, 1);
    q.marketIV = impliedVol(hestonPrice(m, q), q.S, q.K, q.T, q.r, q.d, 0) + 0.01;
    ProgramFolderQuotes american(countedText({q}));
    const double byExpiryAmerican = byExpiry(m, s, 0, 0);
    const double byOptionAmerican = byOption(m, s, 0);
    EXPECT_NEAR(byExpiryAmerican, 0.01, 3e-4) << "K " << K;
    EXPECT_NEAR(byExpiryAmerican, byOptionAmerican, 5e-5) << "K " << K;
    q.EuroAmer = 0;
    ProgramFolderQuotes european(countedText({q}));
    EXPECT_NEAR(byExpiryAmerican, byExpiry(m, s, 0, 0), 5e-5) << "K " << K;
  }
  EXPECT_FALSE(logExists()) << log();
}

// With a dividend yield above the rate an American call is worth more than the European one,
// and the expiry-by-expiry objective must price it as the call it is. Independent reference:
// the put-call symmetry of American options. Taking the asset as numeraire, the call on S with
// strike K, rate r and yield d is the put on an asset starting at K with strike S, rate d and
// yield r, whose variance (Heston) reverts at speed theta - rho volvol to theta vL / (theta - rho
// volvol), with correlation -rho. The put is priced by the expiry-by-expiry objective's put
// road, unchanged.
TEST_F(PdeObjectives, AnAmericanCallWithDividendsIsPricedAsACallExpiryByExpiry) {
  const Model& m = kHeston;
  const double speed = m.theta - m.rho * m.volvol;
  const Model mirrored{m.v0, m.theta * m.vL / speed, speed, m.volvol, -m.rho};
  const auto expiry = [](const Model& x, const Settings& s) { return byExpiry(x, s, 0, 0); };
  const auto option = [](const Model& x, const Settings& s) { return byOption(x, s, 0); };
  struct Case {
    double K, T, r, d;
  } cases[] = {{90, 1.0, 0.01, 0.06}, {100, 0.5, 0.0, 0.08}, {110, 1.0, 0.02, 0.05}};
  for (const Case& c : cases) {
    const HestonQuote call = quote(1.0, 100.0, c.K, c.T, c.r, c.d, 0, 1);
    const HestonQuote put = quote(1.0, c.K, 100.0, c.T, c.d, c.r, 1, 1);
    const double callVol = modelVolOf(call, m, expiry);
    const double C = bsmPrice(call.S, call.K, call.r, call.d, callVol, call.T, 0);
    const double P =
        bsmPrice(put.S, put.K, put.r, put.d, modelVolOf(put, mirrored, expiry), put.T, 1);
    EXPECT_NEAR(C, P, 5e-3) << "K " << c.K;
    EXPECT_GT(C, hestonPrice(m, call) + 0.05) << "K " << c.K;  // the early-exercise premium
    EXPECT_NEAR(callVol, modelVolOf(call, m, option), 5e-5) << "K " << c.K;
  }
  EXPECT_FALSE(logExists()) << log();
}

// American calls are priced apart from the puts of their expiration, which are priced as they
// would be without them: the objective over puts and calls is composed of the one over the puts
// and the one over the calls.
TEST_F(PdeObjectives, AmericanCallsArePricedApartFromThePutsOfTheirExpiration) {
  const Model& m = kHeston;
  const Settings s;
  std::vector<HestonQuote> puts, calls;
  for (const double K : {80.0, 90.0, 100.0}) puts.push_back(quote(0, 100, K, 1, 0.03, 0.03, 1, 1));
  for (const double K : {105.0, 120.0}) calls.push_back(quote(0, 100, K, 1, 0.03, 0.03, 0, 1));
  std::vector<HestonQuote> all = puts;
  all.insert(all.begin() + 1, calls.begin(), calls.end());  // reading order does not matter
  for (HestonQuote& q : all)
    q.marketIV = impliedVol(hestonPrice(m, q), q.S, q.K, q.T, q.r, q.d, q.CallPut);
  const auto rms = [&](std::vector<HestonQuote> quotes, bool wantPuts) {
    quotes.erase(std::remove_if(quotes.begin(),
                                quotes.end(),
                                [&](const HestonQuote& q) { return (q.CallPut == 1) != wantPuts; }),
                 quotes.end());
    ProgramFolderQuotes file(countedText(quotes));
    const double e = byExpiry(m, s, 0, 0);
    return e * e * static_cast<double>(quotes.size());
  };
  const double fromParts = rms(all, true) + rms(all, false);
  ProgramFolderQuotes file(countedText(all));
  const double whole = byExpiry(m, s, 0, 0);
  EXPECT_NEAR(whole * whole * 5.0, fromParts, 1e-12 * fromParts);
  EXPECT_FALSE(logExists()) << log();
}

// A strike list is solved under one exercise style, so an expiration's European quotes and its
// American puts are priced apart, each under its own style: the objective over the chain is
// composed of those over each (expiration, style) part weighted by their quote counts, and an
// American put's model volatility, read from the whole chain's objective, is that of the
// option-by-option objective, which prices each quote under its own style. (The whole expiration
// was priced under the style of its last quote: the American put at K 100 below as a European
// one, and the European put at T 0.5 as an American one.)
TEST_F(PdeObjectives, EuropeanQuotesAndAmericanPutsOfAnExpirationArePricedApart) {
  const Model& m = kHeston;
  const Settings s;
  // Parts: (expiration, style) groups; the American put at K 100 (part 1) has market volatility
  // 1, above every model volatility here, the others their European closed-form ones.
  const std::vector<std::vector<HestonQuote>> parts = {
      {quote(0, 100, 90, 1, 0.05, 0.01, 1, 0), quote(0, 100, 110, 1, 0.05, 0.01, 0, 0)},
      {quote(1, 100, 100, 1, 0.05, 0.01, 1, 1)},
      {quote(0, 100, 120, 1, 0.05, 0.01, 0, 1)},
      {quote(0, 100, 95, 0.5, 0.05, 0.01, 1, 0)},
      {quote(0, 100, 105, 0.5, 0.05, 0.01, 1, 1)},
  };
  std::vector<HestonQuote> chain;
  for (const std::vector<HestonQuote>& part : parts) {
    for (HestonQuote q : part) {
      if (q.marketIV == 0.0)
        q.marketIV = impliedVol(hestonPrice(m, q), q.S, q.K, q.T, q.r, q.d, q.CallPut);
      chain.push_back(q);
    }
  }
  std::rotate(chain.begin(), chain.begin() + 3, chain.end());  // reading order does not matter
  const double n = static_cast<double>(chain.size());
  for (int model : {0, 1}) {
    std::vector<double> squares;  // each part's count times its squared objective
    for (const std::vector<HestonQuote>& part : parts) {
      std::vector<HestonQuote> file;
      for (const HestonQuote& q : chain) {
        for (const HestonQuote& p : part) {
          if (q.K == p.K && q.T == p.T) file.push_back(q);
        }
      }
      ProgramFolderQuotes quotes(countedText(file));
      const double e = byExpiry(m, s, 0, model);
      ASSERT_GT(e, 0.0);
      squares.push_back(e * e * static_cast<double>(file.size()));
    }
    double fromParts = 0.0;
    for (const double e : squares) fromParts += e;
    ProgramFolderQuotes quotes(countedText(chain));
    const double whole = byExpiry(m, s, 0, model);
    EXPECT_NEAR(whole, std::sqrt(fromParts / n), 1e-12 * whole) << "model " << model;
    if (model != 0) continue;
    const double americanPutVol = 1.0 - std::sqrt(whole * whole * n - (fromParts - squares[1]));
    EXPECT_NEAR(
        americanPutVol,
        modelVolOf(
            parts[1][0], m, [](const Model& x, const Settings& y) { return byOption(x, y, 0); }),
        5e-5);
  }
  EXPECT_FALSE(logExists()) << log();
}

// A Bermudan quote has no price without its exercise dates, which the quote file cannot give:
// every PDE objective refuses the evaluation before anything is solved, with its record. (Before,
// the quote was priced as a European one.)
TEST_F(PdeObjectives, ABermudanQuoteIsRefusedByEveryPdeObjective) {
  std::vector<HestonQuote> chain = hestonChain(kHeston, {0.5, 1.0}, {90, 110});
  ASSERT_EQ(chain.size(), 4u);
  const std::string message =
      "Invalid argument EuroAmer of quote 3 = 2: a Bermudan option needs its exercise dates, "
      "which the quote file cannot give";
  const Settings s;
  const Model& m = kHeston;
  const std::function<double()> objectives[] = {[&] { return byOption(m, s, 0); },
                                                [&] { return byExpiry(m, s, 0, 0); },
                                                [&] { return hestonByOption(m, s); },
                                                [&] { return hestonByExpiry(m, s); },
                                                [&] { return sv(m, s, 3, 1); },
                                                [&] { return sv(m, s, 1, 1); }};
  robustSolveHook = recordingSolve;
  for (int style : {1, 2}) {
    chain[2].EuroAmer = style;
    ProgramFolderQuotes quotes(countedText(chain));
    for (std::size_t i = 0; i < std::size(objectives); ++i) {
      seen.clear();
      std::remove(pricingLogPath().c_str());
      const double value = objectives[i]();
      if (style == 2) {
        EXPECT_EQ(value, 0.0) << "objective " << i;
        EXPECT_TRUE(seen.empty()) << "objective " << i;
        EXPECT_EQ(log(), errorRecord(message)) << "objective " << i;
      } else {
        EXPECT_GT(value, 0.0) << "objective " << i;
        EXPECT_FALSE(seen.empty()) << "objective " << i;
        EXPECT_FALSE(logExists()) << log();
      }
    }
  }
}

}  // namespace serivane
