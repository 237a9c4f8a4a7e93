#include "calibration/objectives/model_ivs.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>
#include <valarray>
#include <vector>

#include "pricing_log_test_util.h"
#include "support/temp_folder.h"

namespace serivane {

namespace {

// Speed-mode settings of the console program.
const CalibrationSettings kSpeed{60, 30, 30, 2, 2, 1, 1, 1, 1};

TEST(ModelIVsRange, FirstParameterOutOfRangeStops) {
  struct Case {
    const char* label;
    double p[5];
    const char* message;  // "" when accepted
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // clang-format off
  const Case kCases[] = {
      {"on the lower bounds",   {0.001, 0.001, 0.1, 0.1, -1.0}, ""},
      {"on the upper bounds",   {0.5, 1.0, 50.0, 30.0, 0.3},    ""},
      {"v0 just above",         {0.5000001, 0.05, 5, 5, -0.7},  "v0 is out of range. Stopping optimization."},
      {"vBar below",            {0.05, 0.0009, 5, 5, -0.7},     "vBar is out of range. Stopping optimization."},
      {"kappa above",           {0.05, 0.05, 50.1, 5, -0.7},    "kappa is out of range. Stopping optimization."},
      {"xi below",              {0.05, 0.05, 5, 0.09, -0.7},    "xi is out of range. Stopping optimization."},
      {"rho above",             {0.05, 0.05, 5, 5, 0.31},       "rho is out of range. Stopping optimization."},
      {"kappa and rho: first",  {0.05, 0.05, 0.0, 5, 0.5},      "kappa is out of range. Stopping optimization."},
      {"not a number",          {0.05, nan, 5, 5, -0.7},        "vBar is out of range. Stopping optimization."},
  };
  // clang-format on
  for (const Case& c : kCases) {
    stopFlag = false;
    std::string message;
    double hx[3] = {7.0, 7.0, 7.0};
    try {
      // The range check comes before any work: no file is read, hx is left alone.
      calcModelIVsFromFile("no_such_chain.txt", c.p, hx, 3, kSpeed);
    } catch (const std::exception& e) {
      message = e.what();
    }
    if (std::string(c.message).empty()) {
      EXPECT_FALSE(stopFlag) << c.label;
      continue;
    }
    EXPECT_EQ(message, c.message) << c.label;
    EXPECT_TRUE(stopFlag) << c.label;
    EXPECT_EQ(hx[0], 7.0) << c.label;
  }
  stopFlag = false;
}

TEST(ModelIVsSettings, CodesMapToRunModeFactorLevelAndExponent) {
  struct Case {
    const char* label;
    CalibrationSettings s;
    DerivedSettings expected;
  };
  const Case kCases[] = {
      {"console", {60, 30, 30, 2, 2, 1, 1, 1, 1}, {5, 1.0, 0.9999975, 1.0}},
      {"precision 1", {60, 30, 30, 2, 1, 1, 1, 1, 1}, {3, 1.0, 0.9999975, 1.0}},
      {"precision 7, switches 2", {60, 30, 30, 2, 7, 1, 2, 2, 1}, {4, 1.5, 0.999999, 1.0}},
      {"power law forces the level", {60, 30, 30, 2, 2, 1, 1, 1, 2}, {5, 1.0, 0.999999, 0.8}},
  };
  for (const Case& c : kCases) {
    const DerivedSettings d = deriveSettings(c.s);
    EXPECT_EQ(d.runMode, c.expected.runMode) << c.label;
    EXPECT_EQ(d.widthFactor, c.expected.widthFactor) << c.label;
    EXPECT_EQ(d.level, c.expected.level) << c.label;
    EXPECT_EQ(d.p, c.expected.p) << c.label;
  }
}

TEST(ModelIVsSizing, PriceBandsExpirationAndCost) {
  struct Case {
    const char* label;
    double priceOverSpot;  // refPrice / spot
    double T;
    CalibrationSettings s;
    int NS, NV, NT;
    double cost;
    double level;
  };
  const double nt30 = 1.0, nt60 = (1 + 0.015 * 60) / (1 + 0.015 * 30);
  // clang-format off
  const Case kCases[] = {
      {"exactly 0.005 S raises nothing", 0.005,   0.5, kSpeed,  60,  30, 30, 1.0 * nt30, 0.9999975},
      {"just below 0.005 S",            0.00499,  0.5, kSpeed, 120,  70, 30, 2.0 * 70 / 30, 0.9999975},
      {"exactly 0.00075 S: 160/80",     0.00075,  0.5, kSpeed, 160,  80, 30, 160.0 / 60 * 80 / 30, 0.9999975},
      {"0.00015 S: 200/80",             0.00015,  0.5, kSpeed, 200,  80, 30, 200.0 / 60 * 80 / 30, 0.9999975},
      {"5e-5 S: 200/80, level raised",  5e-5,     0.5, kSpeed, 200,  80, 30, 200.0 / 60 * 80 / 30, 0.999999},
      {"2e-5 S: 300/100",               2e-5,     0.5, kSpeed, 300, 100, 30, 5.0 * 100 / 30, 0.999999},
      {"two years doubles NT",          0.01,     2.0, kSpeed,  60,  30, 60, nt60, 0.9999975},
      {"base grid already larger",      0.00499,  0.5, {400, 180, 30, 2, 2, 1, 1, 1, 1}, 400, 180, 30, 1.0, 0.9999975},
  };
  // clang-format on
  for (const Case& c : kCases) {
    std::vector<ExpiryWorkItem> groups(1);
    groups[0].spot = 100.0;
    groups[0].refPrice = c.priceOverSpot * 100.0;
    groups[0].T = c.T;
    const double total = sizeExpiryGroups(groups, c.s, 0.9999975, 2.0);
    const ExpiryWorkItem& g = groups[0];
    EXPECT_EQ(g.NS, c.NS) << c.label;
    EXPECT_EQ(g.NV, c.NV) << c.label;
    EXPECT_EQ(g.NT, c.NT) << c.label;
    EXPECT_NEAR(g.cost, c.cost, 1e-12) << c.label;
    EXPECT_EQ(total, g.cost) << c.label;
    EXPECT_EQ(g.level, c.level) << c.label;
    EXPECT_DOUBLE_EQ(g.rangeFactor, std::max(1.0, 3.0 - 0.5 * 2.0 * c.T)) << c.label;
  }
}

TEST(ModelIVsBuckets, HeavyGroupFillsItsBucketAndLaterGroupsPassOver) {
  // Costs sorted descending, total 10, three buckets: target 10/3.
  std::vector<ExpiryWorkItem> groups(6);
  const double costs[6] = {5.0, 1.5, 1.0, 1.0, 1.0, 0.5};
  for (int i = 0; i < 6; ++i) groups[i].cost = costs[i];
  const std::vector<std::vector<int>> buckets = dealBuckets(groups, 3, 10.0);
  ASSERT_EQ(buckets.size(), 3u);
  // Offers: g0->b0, g1->b1, g2->b2, b0 full (5 >= 3.33) so g3->b1, g4->b2, g5 -> b0 full,
  // b1 (2.5) takes it.
  EXPECT_EQ(buckets[0], (std::vector<int>{0}));
  EXPECT_EQ(buckets[1], (std::vector<int>{1, 3, 5}));
  EXPECT_EQ(buckets[2], (std::vector<int>{2, 4}));
}

// A small chain: two expirations, eight strikes each, sorted, expirations in years.
std::vector<OptionQuote> smallChain() {
  std::vector<OptionQuote> quotes;
  for (double days : {45.0, 180.0}) {
    for (int i = 0; i < 8; ++i) {
      const double K = 85.0 + 4.0 * i;
      quotes.push_back(
          {static_cast<int>(quotes.size()), 0.2, 100.0, K, days / 365.0, 0.03, 0.01, 100.0 > K});
    }
  }
  return quotes;
}

TEST(ModelIVsPricing, SameValuesInQuoteOrderWhateverTheThreadCount) {
  // Nearly constant variance (v0 = vBar, the smallest xi): every implied volatility is close to
  // sqrt(v0), an independent reference for the order and the values.
  TempFolder folder;  // the variance-grid generator may log to "ErrorLog.txt" here
  const double p[5] = {0.04, 0.04, 5.0, 0.1, -0.5};
  const std::vector<OptionQuote> quotes = smallChain();
  const int saved = omp_get_max_threads();
  std::vector<double> reference;
  for (int threads : {1, 2, 5}) {
    omp_set_num_threads(threads);
    const std::vector<double> ivs = modelIVsOfQuotes(quotes, p, kSpeed);
    ASSERT_EQ(ivs.size(), quotes.size()) << threads;
    for (std::size_t i = 0; i < ivs.size(); ++i) {
      EXPECT_NEAR(ivs[i], 0.2, 2e-3) << "threads " << threads << " quote " << i;
    }
    if (reference.empty()) reference = ivs;
    EXPECT_EQ(ivs, reference) << "threads " << threads;
  }
  omp_set_num_threads(saved);
}

TEST(ModelIVsPricing, FromFileMatchesThePricingCoreAndDropsExactRepeats) {
  TempFolder folder;
  const std::vector<OptionQuote> quotes = smallChain();
  {
    std::ofstream out("chain.txt");
    out.precision(17);
    out << "heading\n100\ncolumns\n";
    // Reversed order and one exact repeat: the function sorts and drops it.
    for (auto it = quotes.rbegin(); it != quotes.rend(); ++it) {
      out << it->marketIV << " " << it->strike << " " << it->expirationDays * 365.0 << " "
          << it->rate << " " << it->dividendYield << "\n";
    }
    out << quotes[3].marketIV << " " << quotes[3].strike << " " << quotes[3].expirationDays * 365.0
        << " " << quotes[3].rate << " " << quotes[3].dividendYield << "\n";
  }
  const double p[5] = {0.03, 0.05, 3.0, 4.0, -0.6};
  std::vector<double> hx(quotes.size(), -1.0);
  stopFlag = false;
  calcModelIVsFromFile("chain.txt", p, hx.data(), static_cast<int>(hx.size()), kSpeed);
  const std::vector<double> expected = modelIVsOfQuotes(quotes, p, kSpeed);
  ASSERT_EQ(expected.size(), hx.size());
  for (std::size_t i = 0; i < hx.size(); ++i) EXPECT_NEAR(hx[i], expected[i], 1e-14) << i;
  // The skew of rho < 0: lower strikes carry higher implied volatilities in each expiration.
  EXPECT_GT(hx[0], hx[7]);
  EXPECT_GT(hx[8], hx[15]);
  EXPECT_FALSE(stopFlag);
}

// Several parameter vectors priced as one pool give each vector the values of its own
// evaluation, bit for bit, whatever the thread count; a vector out of range stops the batch
// before any work, and the chain file's failure reaches every vector, each with its own record.
class ModelIVsBatch : public PricingLogTest {};

// The quotes as a chain file "chain.txt" of the current folder, every strike moved by
// strikeShift.
void writeChainFile(const std::vector<OptionQuote>& quotes, double strikeShift = 0.0) {
  std::ofstream out("chain.txt");
  out.precision(17);
  out << "heading\n100\ncolumns\n";
  for (const OptionQuote& q : quotes) {
    out << q.marketIV << " " << q.strike + strikeShift << " " << q.expirationDays * 365.0 << " "
        << q.rate << " " << q.dividendYield << "\n";
  }
}

TEST_F(ModelIVsBatch, EachPointGetsTheValuesOfItsOwnEvaluation) {
  TempFolder folder;
  const std::vector<OptionQuote> quotes = smallChain();
  writeChainFile(quotes);
  // A Jacobian's worth of points: a base and small moves of kappa, xi and rho (which shares the
  // base's variance bounds), and a far one.
  constexpr int kPoints = 5;
  double points[kPoints][5] = {{0.03, 0.05, 3.0, 4.0, -0.6},
                               {0.03, 0.05, 3.0003, 4.0, -0.6},
                               {0.03, 0.05, 3.0, 4.0004, -0.6},
                               {0.06, 0.02, 1.5, 1.0, -0.1},
                               {0.03, 0.05, 3.0, 4.0, -0.59994}};
  const int n = static_cast<int>(quotes.size());
  std::vector<std::vector<double>> alone(kPoints, std::vector<double>(n));
  for (int c = 0; c < kPoints; ++c)
    calcModelIVsFromFile("chain.txt", points[c], alone[c].data(), n, kSpeed);
  EXPECT_NE(alone[0], alone[1]);
  EXPECT_NE(alone[0], alone[4]);
  const int saved = omp_get_max_threads();
  for (int threads : {1, 3, 8}) {
    omp_set_num_threads(threads);
    std::vector<std::vector<double>> batch(kPoints, std::vector<double>(n, -1.0));
    double* ps[kPoints];
    double* hxs[kPoints];
    for (int c = 0; c < kPoints; ++c) {
      ps[c] = points[c];
      hxs[c] = batch[c].data();
    }
    calcModelIVsBatchFromFile("chain.txt", ps, hxs, kPoints, n, kSpeed);
    for (int c = 0; c < kPoints; ++c) {
      EXPECT_EQ(std::memcmp(batch[c].data(), alone[c].data(), n * sizeof(double)), 0)
          << "threads " << threads << ", point " << c;
    }
  }
  omp_set_num_threads(saved);

  // The third point out of range: the batch throws its message before pricing anything.
  double bad[5] = {0.03, 0.05, 3.0, 40.0, -0.6};
  double* ps[3] = {points[0], points[1], bad};
  std::vector<double> hx0(n, 7.0), hx1(n, 7.0), hx2(n, 7.0);
  double* hxs[3] = {hx0.data(), hx1.data(), hx2.data()};
  stopFlag = false;
  try {
    calcModelIVsBatchFromFile("chain.txt", ps, hxs, 3, n, kSpeed);
    ADD_FAILURE() << "no exception";
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what()), "xi is out of range. Stopping optimization.");
  }
  EXPECT_TRUE(stopFlag);
  stopFlag = false;
  EXPECT_EQ(hx0[0], 7.0);

  // No chain: every point is logged and set to NaN, as its own call would be.
  calcModelIVsBatchFromFile("no_such_chain.txt", ps, hxs, 2, n, kSpeed);
  for (int i = 0; i < n; ++i) {
    EXPECT_TRUE(std::isnan(hx0[i])) << i;
    EXPECT_TRUE(std::isnan(hx1[i])) << i;
  }
  EXPECT_EQ(hx2[0], 7.0);
  const std::string records = log();
  int count = 0;
  for (std::size_t at = records.find("invalid stod argument"); at != std::string::npos;
       at = records.find("invalid stod argument", at + 1)) {
    ++count;
  }
  EXPECT_EQ(count, 2);
}

// Points ahead of need (levmar's trial point with its Jacobian's points) are priced in the same
// pool as the firm point, with the values of their own evaluations; what they would log waits
// for settleModelIVsAhead, which writes it when they are kept and forgets it when they are not.
// With one thread, or a point out of range, they are left alone: nothing is thrown for them.
TEST_F(ModelIVsBatch, PointsAheadOfNeedLeaveNoTraceUntilKept) {
  TempFolder folder;
  const std::vector<OptionQuote> quotes = smallChain();
  writeChainFile(quotes);
  double points[3][5] = {{0.03, 0.05, 3.0, 4.0, -0.6},
                         {0.03, 0.05, 3.0003, 4.0, -0.6},
                         {0.03, 0.05, 3.0, 4.0004, -0.6}};
  const int n = static_cast<int>(quotes.size());
  std::vector<std::vector<double>> alone(3, std::vector<double>(n));
  for (int c = 0; c < 3; ++c)
    calcModelIVsFromFile("chain.txt", points[c], alone[c].data(), n, kSpeed);
  double* ps[3] = {points[0], points[1], points[2]};
  std::vector<std::vector<double>> hx(3, std::vector<double>(n, -1.0));
  double* hxs[3] = {hx[0].data(), hx[1].data(), hx[2].data()};
  // How often a message stands in the pricing log.
  const auto inLog = [&](const std::string& message) {
    const std::string text = log();
    int count = 0;
    for (std::size_t at = text.find(message); at != std::string::npos;
         at = text.find(message, at + 1)) {
      ++count;
    }
    return count;
  };
  const auto records = [&]() { return inLog("invalid stod argument"); };
  const int saved = omp_get_max_threads();
  omp_set_num_threads(3);

  EXPECT_TRUE(calcModelIVsBatchFromFile("chain.txt", ps, hxs, 3, n, kSpeed, 1));
  settleModelIVsAhead(1, nullptr);
  for (int c = 0; c < 3; ++c)
    EXPECT_EQ(std::memcmp(hx[c].data(), alone[c].data(), n * sizeof(double)), 0) << c;

  // The chain is missing: the firm point's record at once, the others' when kept.
  EXPECT_TRUE(calcModelIVsBatchFromFile("no_such_chain.txt", ps, hxs, 3, n, kSpeed, 1));
  EXPECT_EQ(records(), 1);
  for (int c = 0; c < 3; ++c) EXPECT_TRUE(std::isnan(hx[c][0])) << c;
  settleModelIVsAhead(0, nullptr);
  EXPECT_EQ(records(), 1);
  EXPECT_TRUE(calcModelIVsBatchFromFile("no_such_chain.txt", ps, hxs, 3, n, kSpeed, 1));
  EXPECT_EQ(records(), 2);
  settleModelIVsAhead(1, nullptr);
  EXPECT_EQ(records(), 4);

  // Every solve fails: the pricers' own records of the points ahead wait as well.
  robustSolveHook = [](QelHestonVanilla&, double&) {
    throw std::runtime_error("scripted failure");
  };
  const auto failures = [&]() { return inLog("scripted failure"); };
  EXPECT_TRUE(calcModelIVsBatchFromFile("chain.txt", ps, hxs, 3, n, kSpeed, 1));
  const int perPoint = failures();
  EXPECT_GT(perPoint, 0);
  settleModelIVsAhead(0, nullptr);
  EXPECT_EQ(failures(), perPoint);
  EXPECT_TRUE(calcModelIVsBatchFromFile("chain.txt", ps, hxs, 3, n, kSpeed, 1));
  EXPECT_EQ(failures(), 2 * perPoint);
  settleModelIVsAhead(1, nullptr);
  EXPECT_EQ(failures(), 4 * perPoint);
  robustSolveHook = nullptr;

  // A point ahead out of range is not evaluated, and stops nothing.
  double bad[5] = {0.03, 0.05, 3.0, 40.0, -0.6};
  double* withBad[3] = {points[0], points[1], bad};
  stopFlag = false;
  EXPECT_FALSE(calcModelIVsBatchFromFile("chain.txt", withBad, hxs, 3, n, kSpeed, 1));
  EXPECT_FALSE(stopFlag);
  EXPECT_EQ(std::memcmp(hx[0].data(), alone[0].data(), n * sizeof(double)), 0);

  // One thread: nothing to share, the points ahead are left.
  omp_set_num_threads(1);
  EXPECT_FALSE(calcModelIVsBatchFromFile("no_such_chain.txt", ps, hxs, 3, n, kSpeed, 1));
  settleModelIVsAhead(1, nullptr);  // holds nothing: writes nothing
  EXPECT_EQ(records(), 5);
  omp_set_num_threads(saved);
}

// The same single point again, on the same chain and settings (the console's final call at the
// fitted parameters), is answered from the last evaluation without pricing: the same values, bit
// for bit. A changed chain file, other settings, or an evaluation that logged something are priced
// anew.
int countedSolves = 0;

TEST_F(ModelIVsBatch, TheLastPointAgainIsAnsweredWithoutPricing) {
  TempFolder folder;
  const std::vector<OptionQuote> quotes = smallChain();
  writeChainFile(quotes);
  robustSolveHook = [](QelHestonVanilla& pricer, double& cpuTime) {
    ++countedSolves;
    std::valarray<double> a, b, c, d, e;
    pricer.solve(a, b, c, d, e, cpuTime);
  };
  double p[5] = {0.03, 0.05, 3.0, 4.0, -0.6};
  const int n = static_cast<int>(quotes.size());
  std::vector<double> first(n), again(n, -1.0);
  countedSolves = 0;
  calcModelIVsFromFile("chain.txt", p, first.data(), n, kSpeed);
  const int solves = countedSolves;
  EXPECT_GT(solves, 0);
  calcModelIVsFromFile("chain.txt", p, again.data(), n, kSpeed);
  EXPECT_EQ(countedSolves, solves);
  EXPECT_EQ(std::memcmp(first.data(), again.data(), n * sizeof(double)), 0);

  // Other settings, another point and a changed chain are priced.
  CalibrationSettings finer = kSpeed;
  finer.NT = 36;
  calcModelIVsFromFile("chain.txt", p, again.data(), n, finer);
  EXPECT_EQ(countedSolves, 2 * solves);
  calcModelIVsFromFile("chain.txt", p, again.data(), n, kSpeed);
  EXPECT_EQ(countedSolves, 3 * solves);
  EXPECT_EQ(std::memcmp(first.data(), again.data(), n * sizeof(double)), 0);
  writeChainFile(quotes, 0.5);
  calcModelIVsFromFile("chain.txt", p, again.data(), n, kSpeed);
  EXPECT_EQ(countedSolves, 4 * solves);
  EXPECT_NE(std::memcmp(first.data(), again.data(), n * sizeof(double)), 0);

  // An evaluation that wrote to the pricing log is not remembered: its repeat logs again.
  robustSolveHook = [](QelHestonVanilla&, double&) {
    throw std::runtime_error("scripted failure");
  };
  calcModelIVsFromFile("chain.txt", p, again.data(), n, kSpeed);
  const std::size_t logged = log().size();
  EXPECT_GT(logged, 0u);
  calcModelIVsFromFile("chain.txt", p, again.data(), n, kSpeed);
  EXPECT_GT(log().size(), logged);
}

}  // namespace

}  // namespace serivane
