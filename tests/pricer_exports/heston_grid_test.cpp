// The spot-grid Heston pricing: the analytic engine and the outside library libmervane.so (the
// Lewis single integral by double-exponential quadrature) check each other; both agree with
// VanillaHeston; node 0; the parallel path whatever the thread count; a missing library or entry
// point gives the failure text and nothing is called through it.
#include "calibration/exports/heston_grid.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "calibration/exports/serivane.h"
#include "core/black_scholes.h"
#include "mervane/mervane.h"
#include "platform/dynamic_library.h"

namespace serivane {

namespace {

constexpr double kSentinel = -12345.0;

// Model in the program's naming (theta is the mean-reversion speed) and the option.
struct Case {
  const char* label;
  double K, r, d, v0, vL, theta, volvol, rho, T;
};
const Case kCases[] = {
    {"one year, negative correlation", 100.0, 0.03, 0.01, 0.04, 0.05, 1.5, 0.3, -0.7, 1.0},
    {"three months, positive correlation", 100.0, 0.02, 0.0, 0.02, 0.06, 0.5, 0.6, 0.3, 0.25},
    {"two years, high volvol", 95.0, 0.05, 0.02, 0.09, 0.04, 3.0, 1.0, -0.9, 2.0},
};

std::vector<double> spotGrid() {
  std::vector<double> S;
  for (double s = 60.0; s <= 160.0; s += 10.0) S.push_back(s);
  return S;
}

// priceHestonGrid with the model and option of `c`, nodes 0..N.
void priceCaseGrid(const Case& c,
                   const double* S,
                   double* out,
                   int put,
                   int N,
                   bool internal,
                   const std::string& libraryFolder = SERIVANE_OUTSIDE_LIBRARY_DIR,
                   const std::string& libraryFile = kOutsideLibraryName) {
  priceHestonGrid(S,
                  out,
                  c.K,
                  c.r,
                  c.d,
                  c.v0,
                  c.vL,
                  c.theta,
                  c.volvol,
                  c.rho,
                  c.T,
                  put,
                  N,
                  internal,
                  libraryFolder,
                  libraryFile);
}

// The grid through the C++ entry, with the outside library from the build's output folder.
std::vector<double> priceGrid(const Case& c, const std::vector<double>& S, int put, bool internal) {
  std::vector<double> out(S.size() + 1, kSentinel);
  priceCaseGrid(c, S.data(), out.data(), put, static_cast<int>(S.size()) - 1, internal);
  return out;
}

// The export VanillaHestonGrid with the model and option of `c`, nodes 0..N.
QelString exportGrid(const Case& c,
                     const std::vector<double>& S,
                     std::vector<double>& out,
                     int put,
                     int N,
                     int internal) {
  return VanillaHestonGrid(S.data(),
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
                           put,
                           N,
                           static_cast<std::uint8_t>(internal));
}

std::string takeString(QelString s) {
  EXPECT_NE(s, nullptr);
  if (s == nullptr) return "<null>";
  const std::u16string text(s, QelStringLength(s));
  QelFreeString(s);
  return std::string(text.begin(), text.end());
}

}  // namespace

TEST(HestonGrid, InternalAndOutsidePathsAgreeWithEachOtherAndWithVanillaHeston) {
  const std::vector<double> S = spotGrid();
  for (const Case& c : kCases) {
    for (int put : {0, 1}) {
      const std::vector<double> engine = priceGrid(c, S, put, true);
      const std::vector<double> outside = priceGrid(c, S, put, false);
      for (std::size_t i = 1; i < S.size(); ++i) {
        EXPECT_NEAR(outside[i], engine[i], 1e-9 * engine[i])
            << c.label << ", put " << put << ", S " << S[i];
        const double single =
            VanillaHeston(S[i], c.K, c.r, c.d, c.v0, c.vL, c.theta, c.volvol, c.rho, c.T, put);
        EXPECT_NEAR(engine[i], single, 1e-12 * single) << c.label << ", S " << S[i];
      }
      // Node 0 is the boundary value, the same on both paths; a call's is 0 whatever S[0] is.
      const double boundary =
          put != 0 ? c.K * std::exp(-c.r * c.T) - S[0] * std::exp(-c.d * c.T) : 0.0;
      EXPECT_EQ(engine[0], boundary) << c.label;
      EXPECT_EQ(outside[0], boundary) << c.label;
      EXPECT_EQ(engine[S.size()], kSentinel) << "N + 1 entries only";
    }
  }
  // Any non-zero put flag is a put.
  EXPECT_EQ(priceGrid(kCases[0], S, 2, false), priceGrid(kCases[0], S, 1, false));
}

// rho = -1, v0 = vL and r - d = v0 / 2: at the node S = K the risk-neutral mean of log(S_T / K) is
// 0 where the map of the engine's integrals is flat, which once failed the grid with "Max number of
// iterations reached". The engine's node agrees with the outside library's, which integrates
// otherwise.
TEST(HestonGrid, NodeAtTheZeroMeanStrikeOfAFlatMapIsPriced) {
  const Case c{
      "rho -1 at the zero-mean strike", 100.0, 0.03, 0.01, 0.04, 0.04, 1.0, 0.5, -1.0, 1.0};
  const std::vector<double> S = {0.0, 100.0};
  std::vector<double> engine(S.size(), kSentinel);
  EXPECT_EQ(takeString(exportGrid(c, S, engine, 0, 1, 1)), "");
  const std::vector<double> outside = priceGrid(c, S, 0, false);
  EXPECT_NEAR(engine[1], outside[1], 1e-9 * outside[1]);
}

// At expiry both paths give the payoff at every node (the engine's integrals would not).
TEST(HestonGrid, BothPathsGiveThePayoffAtExpiry) {
  const std::vector<double> S = spotGrid();
  for (Case c : kCases) {
    c.T = 0.0;
    for (int put : {0, 1}) {
      const std::vector<double> engine = priceGrid(c, S, put, true);
      const std::vector<double> outside = priceGrid(c, S, put, false);
      for (std::size_t i = 0; i < S.size(); ++i) {
        const double payoff = std::max(put != 0 ? c.K - S[i] : S[i] - c.K, 0.0);
        if (i == 0 && put == 0) continue;  // a call's node 0 is 0 by definition
        EXPECT_NEAR(engine[i], payoff, 1e-12 * c.K) << c.label << ", put " << put << ", S " << S[i];
        EXPECT_NEAR(outside[i], payoff, 1e-9 * c.K) << c.label << ", put " << put << ", S " << S[i];
      }
    }
  }
}

// The library against closed forms: the put-call parity it is used with, Black-Scholes for a
// deterministic variance, the payoff at expiry and NaN outside the model.
TEST(HestonGrid, OutsideLibraryEdgeCases) {
  void* module = loadOutsideLibrary(SERIVANE_OUTSIDE_LIBRARY_DIR, kOutsideLibraryName);
  const auto callExact =
      reinterpret_cast<HestonCallExactFn>(findLibraryEntry(module, kOutsideEntryName));
  ASSERT_NE(callExact, nullptr);
  const double r = 0.03, d = 0.01, T = 0.75, K = 105.0;
  // Volvol 0 and v0 = vL: constant variance, the Black-Scholes call (before e^{-dT}).
  for (double S : {80.0, 100.0, 130.0}) {
    const double bs = bsmPrice(S, K, r, d, 0.2, T, 0) * std::exp(d * T);
    EXPECT_NEAR(callExact(S, K, T, r - d, 0.04, 0.04, 2.0, 0.0, -0.5), bs, 1e-12 * bs) << S;
  }
  EXPECT_EQ(callExact(120.0, K, 0.0, r - d, 0.04, 0.04, 2.0, 0.3, -0.5), 15.0);
  EXPECT_EQ(callExact(90.0, K, 0.0, r - d, 0.04, 0.04, 2.0, 0.3, -0.5), 0.0);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(std::isnan(callExact(0.0, K, T, r, 0.04, 0.04, 2.0, 0.3, -0.5)));
  EXPECT_TRUE(std::isnan(callExact(100.0, K, -1.0, r, 0.04, 0.04, 2.0, 0.3, -0.5)));
  EXPECT_TRUE(std::isnan(callExact(100.0, K, T, r, 0.04, 0.04, 2.0, 0.3, -1.5)));
  EXPECT_TRUE(std::isnan(callExact(100.0, K, T, r, nan, 0.04, 2.0, 0.3, -0.5)));
  // A call and a put through hestonCallExactPrice satisfy the parity exactly as built.
  const double call =
      hestonCallExactPrice(module, 100.0, K, T, r, d, 0.04, 0.05, 1.5, 0.3, -0.7, 0);
  const double put = hestonCallExactPrice(module, 100.0, K, T, r, d, 0.04, 0.05, 1.5, 0.3, -0.7, 1);
  EXPECT_NEAR(call - put, 100.0 * std::exp(-d * T) - K * std::exp(-r * T), 1e-12);
  // Loaded once: the same handle again.
  EXPECT_EQ(loadOutsideLibrary(SERIVANE_OUTSIDE_LIBRARY_DIR, kOutsideLibraryName), module);
}

TEST(HestonGrid, NZeroComputesOnlyNodeZero) {
  const Case& c = kCases[0];
  for (bool internal : {true, false}) {
    for (int put : {0, 1}) {
      const std::vector<double> S = {7.0, 100.0};
      std::vector<double> out = {kSentinel, kSentinel};
      priceCaseGrid(c, S.data(), out.data(), put, 0, internal);
      EXPECT_EQ(out[0], put ? c.K * std::exp(-c.r * c.T) - 7.0 * std::exp(-c.d * c.T) : 0.0);
      EXPECT_EQ(out[1], kSentinel);
    }
  }
}

TEST(HestonGrid, ParallelPathGivesTheSameValuesWithOneAndEightThreads) {
  const std::vector<double> S = spotGrid();
  const int kept = omp_get_max_threads();
  omp_set_num_threads(1);
  const std::vector<double> one = priceGrid(kCases[1], S, 1, true);
  omp_set_num_threads(8);
  const std::vector<double> eight = priceGrid(kCases[1], S, 1, true);
  omp_set_num_threads(kept);
  EXPECT_EQ(one, eight);
}

// An engine failure on some nodes: the message of the highest failing node, the other nodes
// priced, node 0 not written.
TEST(HestonGrid, EngineFailureIsReportedAndTheOtherNodesArePriced) {
  std::vector<double> S = spotGrid();
  S[3] = std::numeric_limits<double>::quiet_NaN();
  S[7] = -1.0;
  const Case& c = kCases[0];
  std::vector<double> out(S.size(), kSentinel);
  std::string message;
  try {
    priceCaseGrid(
        c, S.data(), out.data(), 0, static_cast<int>(S.size()) - 1, true, "", kOutsideLibraryName);
  } catch (const std::exception& e) {
    message = e.what();
  }
  if (message.empty()) GTEST_SKIP() << "the engine priced the invalid spots without failing";
  EXPECT_EQ(message.rfind("An error occured while calculating the Heston analytic price: ", 0), 0u)
      << message;
  EXPECT_EQ(out[0], kSentinel);
  EXPECT_NE(out[10], kSentinel);
}

TEST(HestonGrid, MissingLibraryOrEntryGivesTheFailureText) {
  const Case& c = kCases[0];
  const std::vector<double> S = spotGrid();
  std::vector<double> out(S.size(), kSentinel);
  try {
    priceCaseGrid(c,
                  S.data(),
                  out.data(),
                  1,
                  static_cast<int>(S.size()) - 1,
                  false,
                  SERIVANE_OUTSIDE_LIBRARY_DIR,
                  "libmervane_missing.so");
    ADD_FAILURE() << "no failure";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind(
                  "The outside pricing library libmervane_missing.so could not be loaded: ", 0),
              0u)
        << e.what();
  }
  for (double v : out) EXPECT_EQ(v, kSentinel);

  // A library without the entry point (the C math library), or no library at all.
  std::string error;
  void* libm = loadLibraryOnce("", "libm.so.6", error);
  ASSERT_NE(libm, nullptr) << error;
  for (void* module : {libm, static_cast<void*>(nullptr)}) {
    try {
      hestonCallExactPrice(module, 100.0, 100.0, 1.0, 0.03, 0.0, 0.04, 0.04, 1.5, 0.3, -0.7, 0);
      ADD_FAILURE() << "no failure";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "The outside pricing library has no entry point HestonCall_exact");
    }
  }

  // The export in this test program looks in the program's folder (the test's own, which holds
  // no libmervane.so) and along the search path: the failure text, node 0 not written. The
  // internal path of the same call succeeds with an empty string.
  const std::string text = takeString(exportGrid(c, S, out, 1, static_cast<int>(S.size()) - 1, 0));
  EXPECT_EQ(text.rfind("The outside pricing library libmervane.so could not be loaded: ", 0), 0u)
      << text;
  EXPECT_EQ(out[0], kSentinel);
  EXPECT_EQ(takeString(exportGrid(c, S, out, 1, static_cast<int>(S.size()) - 1, 1)), "");
  EXPECT_NE(out[0], kSentinel);
}

// A value that is not a finite number (the outside library answers NaN outside its model, here a
// spot of 0 that the export itself would refuse) is a failure, and node 0 stays unwritten.
TEST(HestonGrid, NonFiniteNodeValueIsAFailure) {
  const Case& c = kCases[0];
  std::vector<double> S = spotGrid();
  S[4] = 0.0;
  std::vector<double> out(S.size(), kSentinel);
  std::string message;
  try {
    priceCaseGrid(c, S.data(), out.data(), 1, static_cast<int>(S.size()) - 1, false);
  } catch (const std::exception& e) {
    message = e.what();
  }
  EXPECT_EQ(message, "The price at spot node 4 is not a finite number");
  EXPECT_EQ(out[0], kSentinel);
}

}  // namespace serivane
