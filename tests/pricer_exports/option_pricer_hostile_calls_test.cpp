// QelOptionPricer under calls a hostile host could make within the argument limits: each case
// returns its failure message, or numbers that are sound by no-arbitrage (the price and every
// node value within the bounds of a European, American or Bermudan option of that kind), and the
// calls that ask for too much work are refused at entry, before anything is solved.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "calibration/exports/serivane.h"
#include "support/temp_folder.h"

namespace serivane {

namespace {

// The variance-grid fallback appends to "ErrorLog.txt" in the current folder.
::testing::Environment* const kTempFolder =
    ::testing::AddGlobalTestEnvironment(new TempFolderEnvironment);

constexpr double kSentinel = -12345.0;

struct HostileCall {
  const char* label;
  int NS, NV, NT, precision;
  bool wantTheta, wantVega;
  int EuroAmer, nExercise, CallPut;
  double speed, rootT, S, K, volvol, v0, vL, rho, model, r, d, sRangeParam, varRange;
  // What the call must give: a message starting with this text, or sound numbers when empty.
  // "any" accepts either a message or sound numbers (the case is about bounded work).
  const char* expected;
};

struct Outcome {
  std::string message;
  int n = 0;
  double params[6] = {0, 0, 0, 0, 0, 0};
  std::vector<double> S, value;
};

Outcome run(const HostileCall& c) {
  Outcome o;
  std::vector<double> arrays[6];
  for (auto& a : arrays) a.assign(6000, kSentinel);
  const double exponent =
      c.rootT > 0.0 ? std::log(c.volvol) / std::log(1.0 + c.rootT) + 5.0 * c.r : 0.0;
  const double p[6] = {exponent, c.v0, c.vL, c.speed, c.rho, c.model};
  std::copy(p, p + 6, o.params);
  double vecA[5] = {0, 0, 0, 0, 0}, vecB[5] = {0, 0, 0, 0, 0};
  double cpu = 0.0;
  int ns = c.NS, nv = c.NV;
  QelString s = QelOptionPricer(arrays[0].data(),
                                arrays[1].data(),
                                arrays[2].data(),
                                arrays[3].data(),
                                arrays[4].data(),
                                arrays[5].data(),
                                &cpu,
                                c.S,
                                c.K,
                                c.NT,
                                c.rootT,
                                o.params,
                                c.r,
                                c.d,
                                0.0,
                                &ns,
                                &nv,
                                c.CallPut,
                                c.EuroAmer,
                                c.precision,
                                1,
                                vecA,
                                vecB,
                                -3.0,
                                c.sRangeParam,
                                c.varRange,
                                c.wantTheta,
                                c.wantVega,
                                1,
                                1,
                                c.nExercise);
  for (std::uint32_t i = 0; i < QelStringLength(s); ++i) o.message += static_cast<char>(s[i]);
  QelFreeString(s);
  o.n = ns;
  o.S = arrays[0];
  o.value = arrays[1];
  return o;
}

// The no-arbitrage range of a value at asset level x, from the option's kind alone.
void bounds(const HostileCall& c, double x, double& lo, double& hi) {
  const double T = c.rootT * c.rootT;
  const double fx = x * std::exp(-c.d * T), fk = c.K * std::exp(-c.r * T);
  const bool put = c.CallPut == 1;
  lo = put ? std::max(fk - fx, 0.0) : std::max(fx - fk, 0.0);
  hi = put ? fk : fx;
  if (c.EuroAmer == 1) lo = std::max(lo, put ? c.K - x : x - c.K);
  if (c.EuroAmer != 0) hi = std::max(hi, put ? c.K : x);
}

void expectSound(const HostileCall& c, const Outcome& o) {
  double lo, hi;
  bounds(c, c.S, lo, hi);
  EXPECT_GE(o.params[4], lo) << c.label;
  EXPECT_LE(o.params[4], hi) << c.label;
  ASSERT_GT(o.n, 0) << c.label;
  for (int i = 0; i <= o.n; ++i) {
    const std::size_t k = static_cast<std::size_t>(i);
    bounds(c, o.S[k], lo, hi);
    EXPECT_GE(o.value[k], lo) << c.label << " at S " << o.S[k];
    EXPECT_LE(o.value[k], hi) << c.label << " at S " << o.S[k];
  }
}

// Cases: the negative speed that once gave a price of -4.1e22; a Richardson extrapolation in time
// that lands on a negative price for a far out-of-the-money call; an American call on a coarse
// grid whose far nodes dip below zero; American and Bermudan puts under a negative rate (their
// value at S = 0 is K grown at the rate, not K); solves that diverge; the convergence run with
// both sensitivities and 100000 time steps on 55 x 10 (once 149 s), exercise dates that multiply
// the factorisations and one step on a large grid, all refused at entry; a grid to which the
// variance builder adds some 220 cells, refused by the budget before its first solve.
// clang-format off
const HostileCall kCases[] = {
    // label, NS, NV, NT, precision, wantTheta, wantVega, EuroAmer, nExercise, CallPut,
    // speed, rootT, S, K, volvol, v0, vL, rho, model, r, d, sRangeParam, varRange, expected
    {"negative speed", 24, 34, 30, 3, false, false, 0, 0, 1,
     -1000, 1, 100, 100, 0.4, 0.04, 0.04, -0.6, 0, 0.03, 0.01, 1, 0.9999,
     "Invalid argument params[3] (theta) = -1000"},
    {"negative extrapolated price", 49, 45, 23, 4, true, true, 0, 0, 0,
     0.2036, 1.1287, 100, 144.52, 0.6337, 0.0728, 0.1324, -0.8593, 0, 0.0564, 0.0470, 1, 0.9999,
     "any"},
    {"far nodes below zero", 21, 39, 14, 3, true, true, 1, 0, 0,
     0.0734, 1.553, 100, 67.62, 1.2439, 0.0202, 0.1632, -0.6068, 1, 0.0043, 0.0253, 1, 0.9999,
     ""},
    {"American put, negative rate", 26, 27, 58, 3, true, true, 1, 0, 1,
     2.4706, 1.7681, 100, 134.16, 0.1696, 0.2178, 0.1053, 0.0401, 0, -0.0072, 0.0345, 1, 0.9999,
     ""},
    {"Bermudan put, negative rate", 25, 15, 27, 3, false, false, 2, 12, 1,
     2.1672, 1.9689, 100, 141.81, 1.0168, 0.2426, 0.2477, -0.5568, 0, -0.0094, 0.0476, 1, 0.9999,
     ""},
    {"diverging solve", 80, 60, 2, 3, true, true, 1, 0, 1,
     1000, 3, 1, 100, 10, 4, 0.04, 0.9, 0, -0.5, -0.5, 0.1, 0.5,
     "The solve diverged"},
    {"diverging solve, extrapolated", 10, 5, 50, 4, true, true, 0, 0, 0,
     0, 10, 100, 1e6, 1, 0.04, 0, 0.9, 0, -0.5, 0, 50, 0.9999,
     "The solve diverged"},
    {"100000 steps, convergence run, both sensitivities", 55, 10, 100000, 5, true, true, 0, 0, 1,
     1.5, 1, 100, 100, 0.4, 0.04, 0.04, -0.6, 0, 0.03, 0.01, 1, 0.9999,
     "The work asked of QelOptionPricer"},
    {"20000 exercise dates", 20, 5, 100000, 3, false, false, 2, 20000, 1,
     1.5, 1, 100, 100, 0.4, 0.04, 0.04, -0.6, 0, 0.03, 0.01, 1, 0.9999,
     "The work asked of QelOptionPricer"},
    {"one step on a large grid in run mode 5", 700, 700, 1, 5, false, false, 0, 0, 1,
     1.5, 1, 100, 100, 0.4, 0.04, 0.04, -0.6, 0, 0.03, 0.01, 1, 0.9999,
     "The work asked of QelOptionPricer"},
    {"variance cells added by the grid builder", 999, 60, 2, 3, false, false, 2, 1, 1,
     100, 0.05, 1, 100, 10, 1e-6, 100, -1, 0, 0.5, 0, 5, 0.9999,
     "The grids built need more work"},
};
// clang-format on

}  // namespace

TEST(QelOptionPricerHostileCalls, EachGivesItsMessageOrSoundNumbers) {
  for (const HostileCall& c : kCases) {
    const Outcome o = run(c);
    const std::string expected = c.expected;
    if (expected == "any") {
      if (o.message.empty()) expectSound(c, o);
    } else if (expected.empty()) {
      ASSERT_EQ(o.message, "") << c.label;
      expectSound(c, o);
    } else {
      EXPECT_EQ(o.message.rfind(expected, 0), 0u) << c.label << ": " << o.message;
      if (expected.rfind("The work", 0) == 0 || expected.rfind("Invalid", 0) == 0) {
        // Refused at entry: nothing written.
        for (double v : o.value) ASSERT_EQ(v, kSentinel) << c.label;
      }
    }
  }
}

}  // namespace serivane
