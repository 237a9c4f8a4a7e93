// The analytic Heston exports under calls a hostile host may make inside the argument limits
// (volvol 100, rho +-1, T 100, extreme strikes, maturities of a fraction of a second, negative
// mean reversion): each returns a price inside the no-arbitrage bounds or its failure value, a
// grid or an objective stops at its first failing node or quote, and what it reports does not
// depend on the thread count. The work limits themselves are shown on the ordered pricing loop
// with a small budget.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "calibration/exports/serivane.h"
#include "calibration/quotes/counted_option_file.h"
#include "heston_analytic/budgeted_pricing.h"
#include "pricing_log_test_util.h"
#include "program_folder_quotes.h"
#include "support/temp_folder.h"

namespace serivane {

namespace {

constexpr double kSentinel = -12345.0;

// The no-arbitrage bounds of a European option.
struct Bounds {
  double lower, upper;
};
Bounds boundsOf(double S, double K, double r, double d, double T, int put) {
  const double fs = S * std::exp(-d * T);
  const double fk = K * std::exp(-r * T);
  return {std::max(put == 0 ? fs - fk : fk - fs, 0.0), put == 0 ? fs : fk};
}

// The thread counts each parallel case runs with.
std::vector<int> threadCounts() { return {1, 4}; }

// Sets the thread count of the parallel loops for its lifetime.
class Threads {
 public:
  explicit Threads(int n) : kept_(omp_get_max_threads()) { omp_set_num_threads(n); }
  Threads(const Threads&) = delete;
  Threads& operator=(const Threads&) = delete;
  ~Threads() { omp_set_num_threads(kept_); }

 private:
  int kept_;
};

std::string takeString(QelString s) {
  EXPECT_NE(s, nullptr);
  if (s == nullptr) return "<null>";
  const std::u16string text(s, QelStringLength(s));
  QelFreeString(s);
  return std::string(text.begin(), text.end());
}

// A grid model and option in the program's naming (theta is the mean-reversion speed).
struct GridCall {
  double K, r, d, v0, vL, theta, volvol, rho, T;
  int put;
};

std::string exportGrid(const GridCall& c,
                       const std::vector<double>& S,
                       std::vector<double>& out,
                       std::uint8_t internal = 1) {
  return takeString(VanillaHestonGrid(S.data(),
                                      out.data(),
                                      c.K,
                                      c.r,
                                      c.d,
                                      c.v0,
                                      c.vL,
                                      c.theta,
                                      c.volvol,
                                      c.rho,
                                      c.T,
                                      c.put,
                                      static_cast<int>(S.size()) - 1,
                                      internal));
}

using HostileVanillaHeston = PricingLogTest;

class HostileHestonCalibration : public PricingLogTest {
 protected:
  TempFolder folder_;  // the current folder, where "Results.txt" is appended
};

}  // namespace

// Single prices at the corners of the limits: a price inside the bounds or -999.0 with its
// record. The last row is at the money forward under a negative speed with v0 + theta vL T < 0,
// where the integrals vanish and would give a price of 0 (inside the bounds): no price.
TEST_F(HostileVanillaHeston, EachCallIsInsideTheBoundsOrTheFailureValue) {
  struct Case {
    double S, K, r, d, v0, vL, theta, volvol, rho, T;
    int put;
    const char* mustFailWith;  // nullptr: either outcome, checked against the bounds
  } cases[] = {
      {100, 100, 0, 0, 0.04, 0.04, 1, 100, 1, 100, 0, "The price is not a finite number"},
      {100, 100, 0, 0, 0.04, 0.04, 1, 100, -1, 100, 1, nullptr},
      {1e12, 1e-12, 0.5, -0.5, 100, 100, 1000, 100, 1, 100, 0, nullptr},
      {100, 100, 0.03, 0.01, 0.04, 0.05, 1.5, 0.3, -0.7, 1e-6, 1, nullptr},
      {100, 100, 0, 0, 100, 100, -1000, 100, 1, 100, 0, "is not positive"},
  };
  int failures = 0;
  for (const Case& c : cases) {
    std::ostringstream label;
    label << "S " << c.S << " K " << c.K << " rho " << c.rho << " T " << c.T << " theta " << c.theta
          << " put " << c.put;
    const double v =
        VanillaHeston(c.S, c.K, c.r, c.d, c.v0, c.vL, c.theta, c.volvol, c.rho, c.T, c.put);
    if (c.mustFailWith != nullptr) {
      EXPECT_EQ(v, -999.0) << label.str();
      EXPECT_NE(log().find(c.mustFailWith), std::string::npos) << label.str();
    }
    if (v == -999.0) {
      ++failures;
      continue;
    }
    const Bounds b = boundsOf(c.S, c.K, c.r, c.d, c.T, c.put);
    EXPECT_GE(v, b.lower) << label.str();
    EXPECT_LE(v, b.upper) << label.str();
  }
  EXPECT_EQ(countOf(log(), "Call/Put: "), failures);
}

// A grid whose highest node fails (the case of volvol 100 and rho 1 that priced every one of
// its failing nodes): the call stops there, whatever the thread count, and with one thread no
// other node is touched.
TEST(HostileHestonGrid, StopsAtTheHighestFailingNode) {
  const GridCall c{100, 0, 0, 0.04, 0.04, 1, 100, 1, 100, 0};
  const std::vector<double> S = {0, 100, 100, 100};
  for (int threads : threadCounts()) {
    Threads use(threads);
    std::vector<double> out(S.size(), kSentinel);
    EXPECT_EQ(exportGrid(c, S, out), "The price at spot node 3 is not a finite number")
        << threads << " threads";
    EXPECT_EQ(out[0], kSentinel) << threads << " threads";
    if (threads == 1) {
      EXPECT_EQ(out[1], kSentinel);
      EXPECT_EQ(out[2], kSentinel);
    }
  }
}

// The outside library's path takes at most 400 nodes (its work per node is its own): 401 are
// refused before the library is looked for, nothing written; 400 are not refused (priced, or the
// library is not found beside this program).
TEST(HostileHestonGrid, OutsideLibraryNodeLimit) {
  const GridCall c{100, 0.03, 0.01, 0.04, 0.05, 1.5, 0.3, -0.7, 1, 0};
  for (int N : {400, 401}) {
    const std::vector<double> S(static_cast<std::size_t>(N) + 1, 100.0);
    std::vector<double> out(S.size(), kSentinel);
    const std::string text = exportGrid(c, S, out, 0);
    if (N == 401) {
      EXPECT_EQ(text,
                "Invalid argument N = 401: with the outside pricing library N must be at most 400");
      EXPECT_EQ(std::count(out.begin(), out.end(), kSentinel), N + 1);
    } else {
      EXPECT_EQ(text.find("Invalid argument"), std::string::npos) << text;
    }
  }
}

// Nodes above the first failure are priced (VanillaHeston's price, inside the bounds); the
// failure reported is that node's, not the one of the node below it, which fails differently.
TEST_F(HostileVanillaHeston, GridReportsTheFirstFailureOfItsOrderWhateverTheThreadCount) {
  const GridCall c{100, 0.03, 0.01, 0.04, 0.05, 1.5, 0.3, -0.7, 1e-6, 0};
  const std::vector<double> S = {0, 80, 100, 120};
  ASSERT_EQ(VanillaHeston(100, c.K, c.r, c.d, c.v0, c.vL, c.theta, c.volvol, c.rho, c.T, c.put),
            -999.0);
  const std::string nodeTwoFailure = log().substr(log().find('\n') + 1);
  const std::string message = nodeTwoFailure.substr(0, nodeTwoFailure.find('\n'));
  ASSERT_EQ(VanillaHeston(80, c.K, c.r, c.d, c.v0, c.vL, c.theta, c.volvol, c.rho, c.T, c.put),
            -999.0);
  ASSERT_EQ(log().find(message, log().find(message) + 1), std::string::npos)
      << "the nodes below and at the failure fail alike: " << log();
  const double top =
      VanillaHeston(120, c.K, c.r, c.d, c.v0, c.vL, c.theta, c.volvol, c.rho, c.T, c.put);
  const Bounds b = boundsOf(120, c.K, c.r, c.d, c.T, c.put);
  ASSERT_GE(top, b.lower);
  ASSERT_LE(top, b.upper);
  for (int threads : threadCounts()) {
    Threads use(threads);
    std::vector<double> out(S.size(), kSentinel);
    EXPECT_EQ(exportGrid(c, S, out), message) << threads << " threads";
    EXPECT_EQ(out[3], top) << threads << " threads";
    EXPECT_EQ(out[2], kSentinel) << threads << " threads";
    EXPECT_EQ(out[0], kSentinel) << threads << " threads";
    if (threads == 1) {
      EXPECT_EQ(out[1], kSentinel);
    }
  }
}

// The ordered loop behind both exports, with items of known cost and outcome: the stop is that of
// the items priced one after the other (the first failure, or the first item at which the costs so
// far pass the budget), the same for every thread count, and one thread prices nothing after it.
TEST(OrderedPricingLoop, StopsWhereOneThreadInOrderWouldStop) {
  struct Case {
    const char* label;
    long n;
    std::uint64_t budget;
    std::vector<long> failing;
    long stopItem;
    bool overBudget;
  } cases[] = {
      {"all priced within the budget", 40, 400, {}, 40, false},
      {"the budget passed at item 30", 40, 241, {}, 30, true},
      {"the budget exactly spent", 40, 315, {}, 40, false},
      {"the first of two failures", 40, 1000, {25, 12}, 12, false},
      {"a failure after the budget ran out", 40, 73, {20}, 9, true},
      {"a failure at the item that passes the budget", 40, 73, {9}, 9, false},
      {"no item", 0, 10, {}, 0, false},
  };
  for (const Case& c : cases) {
    const std::set<long> failing(c.failing.begin(), c.failing.end());
    for (int threads : {1, 3, 8}) {
      Threads use(threads);
      std::vector<std::atomic<int>> calls(static_cast<std::size_t>(c.n));
      const auto item = [&](AnalyticHestonEngine&, long k, std::uint64_t& evaluations) noexcept {
        ++calls[static_cast<std::size_t>(k)];
        evaluations =
            static_cast<std::uint64_t>(k % 7 + 5);  // 5 to 11: 242 for items 0..30, 315 for 40
        return failing.count(k) == 0;
      };
      const OrderedPricingStop stop = priceInOrderWithinBudget(c.n, c.budget, 1e-16, 1000, item);
      EXPECT_EQ(stop.item, c.stopItem) << c.label << ", " << threads << " threads";
      EXPECT_EQ(stop.overBudget, c.overBudget) << c.label << ", " << threads << " threads";
      int after = 0;
      std::uint64_t cost = 0;
      for (long k = 0; k < c.n; ++k) {
        const int n = calls[static_cast<std::size_t>(k)];
        EXPECT_LE(n, 1) << c.label << ": item " << k << " priced twice";
        cost += static_cast<std::uint64_t>(n * (k % 7 + 5));
        if (k <= c.stopItem) {
          EXPECT_EQ(n, 1) << c.label << ": item " << k << " not priced";
        } else {
          after += n;
        }
      }
      if (threads == 1) {
        EXPECT_EQ(after, 0) << c.label;
      }
      // How many items the other threads price after a failure depends on the scheduler: while
      // the thread of the failing item is preempted the others go on, so only the stop itself
      // and the cost are bounded. After the budget ran out, the parallel loop has spent at most
      // one item per thread beyond it, and the walk in order at most the budget and one item
      // again.
      EXPECT_LE(cost, 2 * c.budget + static_cast<std::uint64_t>(threads + 1) * 11) << c.label;
    }
  }
}

// Quote files with the observed failing parameters (volvol 100, rho +-1) and with failing quotes
// early and late: -999.0, no objective line, and exactly the first failing quote's record.
TEST_F(HostileHestonCalibration, StopsAtTheFirstFailingQuoteWithItsRecordOnly) {
  const std::string good = "0.2 100 100 1 0.03 0.01 0 0\n";
  const std::string tinyMaturity = "0.2 100 100 1e-6 0.03 0.01 1 0\n";
  const std::string rateOutOfRange = "0.2 100 100 1 0.75 0.01 0 0\n";
  struct Case {
    const char* label;
    std::string file;
    double vL, theta, volvol, rho;
    const char* record;   // the one record's message
    const char* missing;  // text of a later quote's failure, absent from the log
  } cases[] = {
      {"volvol 100, rho 1",
       "3\n0.2 100 100 100 0 0 0 0\n0.2 100 100 100 0 0 0 0\n" + good,
       0.04,
       1,
       100,
       1,
       "The price is not a finite number",
       nullptr},
      {"a quote of a microsecond before one with its rate out of range",
       "4\n" + good + good + tinyMaturity + rateOutOfRange,
       0.05,
       1.5,
       0.3,
       -0.7,
       "Interval contains no more machine number",
       "Invalid argument r"},
      {"a rate out of range before a quote of a microsecond",
       "3\n" + good + rateOutOfRange + tinyMaturity,
       0.05,
       1.5,
       0.3,
       -0.7,
       "Invalid argument r",
       "Interval contains no more machine number"},
  };
  for (const Case& c : cases) {
    ProgramFolderQuotes quotes(c.file);
    for (int threads : threadCounts()) {
      Threads use(threads);
      std::remove(pricingLogPath().c_str());
      EXPECT_EQ(HESTON_VanillaCalibration(0.04, c.vL, c.theta, c.volvol, c.rho), -999.0)
          << c.label << ", " << threads << " threads";
      EXPECT_EQ(countOf(log(), "Call/Put: "), 1) << c.label << ", " << threads << " threads";
      EXPECT_NE(log().find(c.record), std::string::npos) << c.label << ": " << log();
      if (c.missing != nullptr) {
        EXPECT_EQ(log().find(c.missing), std::string::npos) << c.label << ": " << log();
      }
    }
  }
  EXPECT_EQ(folder_.read(kResultsName), "");
}

// More quotes than one evaluation reads: refused before any is priced, whereas the same quotes in
// a file of ordinary length give an objective, the same one whatever the thread count.
TEST_F(HostileHestonCalibration, QuoteLimitAndTheSameObjectiveForEveryThreadCount) {
  const std::string records[] = {"0.21 100 90 0.5 0.03 0.01 1 0\n",
                                 "0.19 100 110 1 0.03 0.01 0 0\n",
                                 "0.2 100 100 2 0.03 0.01 0 0\n"};
  std::string three = "3\n";
  for (const std::string& r : records) three += r;
  std::vector<double> objectives;
  {
    ProgramFolderQuotes quotes(three);
    for (int threads : threadCounts()) {
      Threads use(threads);
      objectives.push_back(HESTON_VanillaCalibration(0.04, 0.05, 1.5, 0.3, -0.7));
    }
  }
  EXPECT_GT(objectives[0], 0.0);
  for (double v : objectives) EXPECT_EQ(v, objectives[0]);

  std::string tooMany = "10001\n";
  for (int i = 0; i < 10001; ++i) tooMany += records[i % 3];
  ProgramFolderQuotes quotes(tooMany);
  const std::string before = folder_.read(kResultsName);
  EXPECT_EQ(HESTON_VanillaCalibration(0.04, 0.05, 1.5, 0.3, -0.7), -999.0);
  EXPECT_EQ(folder_.read(kResultsName), before);
  EXPECT_FALSE(logExists());
}

}  // namespace serivane
