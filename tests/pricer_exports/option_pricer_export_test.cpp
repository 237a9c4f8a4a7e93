// QelOptionPricer, called in process: the square-root variance model (model 0) against the
// semi-analytic Heston engine (values, and delta, gamma, theta and vega against differences of the
// engine's prices), the implied volatility asked for (against the inversion of the call's own
// price at every moneyness and run mode, and of the closed-form price), the string result, the
// transformed inputs, the node-count refusal, the Bermudan option (refused without exercise
// dates; with them between the European and American prices, nearing the American as they grow
// denser; its zero theta), the untouched vega array, the one log line a call may write and the
// summed CPU time.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "calibration/exports/serivane.h"
#include "core/black_scholes.h"
#include "heston_analytic/analytic_heston_engine.h"
#include "platform/cpu_clock.h"
#include "support/temp_folder.h"

namespace serivane {

namespace {

// The variance-grid fallback appends to "ErrorLog.txt" in the current folder.
::testing::Environment* const kTempFolder =
    ::testing::AddGlobalTestEnvironment(new TempFolderEnvironment);

constexpr double kS = 100.0, kK = 100.0, kR = 0.03, kD = 0.01;
// The model in the program's naming: theta is the mean-reversion speed.
constexpr double kV0 = 0.04, kVL = 0.05, kSpeed = 1.5, kVolvol = 0.4, kRho = -0.6;
constexpr double kSentinel = -12345.0;

// The string result read through its length prefix, then freed the documented way.
std::u16string takeString(QelString s) {
  EXPECT_NE(s, nullptr);
  if (s == nullptr) return u"<null>";
  const std::u16string text(s, QelStringLength(s));
  EXPECT_EQ(s[text.size()], u'\0');
  QelFreeString(s);
  return text;
}

std::string narrow(const std::u16string& s) { return std::string(s.begin(), s.end()); }

// The exponent form of volvol that the export turns back into volvol.
double volvolExponent(double volvol, double rootT, double r) {
  return std::log(volvol) / std::log(1.0 + rootT) + 5.0 * r;
}

double enginePrice(double S, double T, double v0, double vL, int CallPut) {
  // Accurate enough for the differences below (a price error of 1e-11 moves theta by 1e-8).
  AnalyticHestonEngine engine(1e-12, 1000000);
  return engine.price(S, kK, T, kR, kD, v0, vL, kSpeed, kVolvol, kRho, CallPut == 1 ? -1 : 1);
}

// One call of the export with arrays of the given size, filled with a sentinel beforehand.
struct Call {
  double K = kK, d = kD;
  double varRange = 0.9999, v0 = kV0;
  double rootT = std::sqrt(0.5);
  int NS = 80, NV = 40, NT = 40;
  int CallPut = 1, EuroAmer = 0, precision = 3, nExercise = 0;
  bool wantTheta = false, wantVega = false;
  bool clusterAtStrike = true;
  double cpuIn = 0.0;
  double volvol = kVolvol;
  double model = 0.0;
  double exponent = std::numeric_limits<double>::quiet_NaN();  // when set, used for params[0]
  std::size_t arraySize = 2000;

  std::vector<double> S, value, delta, gamma, theta, vega;
  double params[6] = {0, 0, 0, 0, 0, 0};
  double cpuTime = 0.0;
  int nsOut = 0;
  std::u16string result;

  void run() {
    for (auto* v : {&S, &value, &delta, &gamma, &theta, &vega}) v->assign(arraySize, kSentinel);
    const double p[6] = {std::isnan(exponent) ? volvolExponent(volvol, rootT, kR) : exponent,
                         v0,
                         kVL,
                         kSpeed,
                         kRho,
                         model};
    std::copy(p, p + 6, params);
    double vecA[5] = {0, 0, 0, 0, 0}, vecB[5] = {0, 0, 0, 0, 0};
    cpuTime = cpuIn;
    nsOut = NS;
    int nv = NV;
    result = takeString(QelOptionPricer(S.data(),
                                        value.data(),
                                        delta.data(),
                                        gamma.data(),
                                        theta.data(),
                                        vega.data(),
                                        &cpuTime,
                                        kS,
                                        K,
                                        NT,
                                        rootT,
                                        params,
                                        kR,
                                        d,
                                        std::numeric_limits<double>::quiet_NaN(),
                                        &nsOut,
                                        &nv,
                                        CallPut,
                                        EuroAmer,
                                        precision,
                                        1,
                                        vecA,
                                        vecB,
                                        -3.0,
                                        1.0,
                                        varRange,
                                        wantTheta,
                                        wantVega,
                                        clusterAtStrike,
                                        1,
                                        nExercise));
  }
};

}  // namespace

// Values along the asset grid, and the sensitivities the export makes by re-solving, against the
// same quantities of the analytic engine, away from the ends of the grid.
TEST(QelOptionPricer, SquareRootModelMatchesTheAnalyticEngineAlongTheGrid) {
  for (int CallPut : {1, 0}) {
    Call c;
    c.CallPut = CallPut;
    c.wantTheta = c.wantVega = true;
    c.run();
    ASSERT_EQ(c.result, u"") << narrow(c.result);
    const int n = c.nsOut;
    ASSERT_GT(n, 40);
    EXPECT_EQ(c.S[static_cast<std::size_t>(n) + 1], kSentinel) << "n + 1 entries only";
    const double T = 0.5;
    int checked = 0;
    for (int i = 0; i <= n; ++i) {
      const double S = c.S[static_cast<std::size_t>(i)];
      if (S < 70.0 || S > 140.0) continue;
      ++checked;
      const double h = 0.5;
      const double up = enginePrice(S + h, T, kV0, kVL, CallPut);
      const double mid = enginePrice(S, T, kV0, kVL, CallPut);
      const double down = enginePrice(S - h, T, kV0, kVL, CallPut);
      const double delta = (up - down) / (2 * h);
      const double gamma = (up - 2 * mid + down) / (h * h);
      const double theta =
          (mid - enginePrice(S, T * 1.00001, kV0, kVL, CallPut)) / (T * 1e-5) / 365;
      const double sv0 = std::sqrt(kV0) + 1e-5, svL = std::sqrt(kVL) + 1e-5;
      const double vega = (enginePrice(S, T, sv0 * sv0, svL * svL, CallPut) - mid) / 1e-5 / 100;
      const std::size_t k = static_cast<std::size_t>(i);
      EXPECT_NEAR(c.value[k], mid, 2e-2) << "S " << S << " put " << CallPut;
      EXPECT_NEAR(c.delta[k], delta, 2e-3) << "S " << S << " put " << CallPut;
      EXPECT_NEAR(c.gamma[k], gamma, 5e-4) << "S " << S << " put " << CallPut;
      EXPECT_NEAR(c.theta[k], theta, 2e-4 + 2e-2 * std::fabs(theta)) << "S " << S;
      EXPECT_NEAR(c.vega[k], vega, 5e-3 + 2e-2 * std::fabs(vega)) << "S " << S;
    }
    EXPECT_GT(checked, 10);
    // params comes back as the first solve's pricing summary: [4] is the price at the spot.
    EXPECT_NEAR(c.params[4], enginePrice(kS, T, kV0, kVL, CallPut), 2e-2);
    EXPECT_EQ(c.params[5], 0.0);
  }
}

// Delta and gamma along the grid against differences of the analytic price, whether or not the
// host asks for a grid clustered at the strike: the asset grid is clustered either way (its
// concentration is positive), and the Greeks must follow the grid that was built.
TEST(QelOptionPricer, GreeksFollowTheGridBuiltWhateverTheClusterFlag) {
  for (bool cluster : {false, true}) {
    for (int CallPut : {0, 1}) {
      Call c;
      c.CallPut = CallPut;
      c.clusterAtStrike = cluster;
      c.run();
      ASSERT_EQ(c.result, u"") << narrow(c.result);
      const double T = 0.5;
      int checked = 0;
      for (int i = 0; i <= c.nsOut; ++i) {
        const std::size_t k = static_cast<std::size_t>(i);
        const double S = c.S[k];
        if (S < 70.0 || S > 140.0) continue;
        ++checked;
        const double h = 0.5;
        const double up = enginePrice(S + h, T, kV0, kVL, CallPut);
        const double mid = enginePrice(S, T, kV0, kVL, CallPut);
        const double down = enginePrice(S - h, T, kV0, kVL, CallPut);
        EXPECT_NEAR(c.delta[k], (up - down) / (2 * h), 2e-3)
            << "S " << S << " put " << CallPut << " cluster " << cluster;
        EXPECT_NEAR(c.gamma[k], (up - 2 * mid + down) / (h * h), 5e-4)
            << "S " << S << " put " << CallPut << " cluster " << cluster;
      }
      EXPECT_GT(checked, 10);
    }
  }
}

// An American option is priced as one (the pricer always solves with method id 1): no node
// value lies below the exercise value, for a put and a call, on clustered and unclustered
// requests and in the extrapolating run modes.
TEST(QelOptionPricer, AmericanValuesAreNeverBelowTheExerciseValue) {
  for (int CallPut : {0, 1}) {
    for (int precision : {3, 4, 5}) {
      for (bool cluster : {false, true}) {
        Call c;
        c.CallPut = CallPut;
        c.EuroAmer = 1;
        c.precision = precision;
        c.clusterAtStrike = cluster;
        c.run();
        ASSERT_EQ(c.result, u"") << narrow(c.result);
        bool exercised = false;
        for (int i = 0; i <= c.nsOut; ++i) {
          const std::size_t k = static_cast<std::size_t>(i);
          const double exercise = CallPut == 1 ? kK - c.S[k] : c.S[k] - kK;
          EXPECT_GE(c.value[k], exercise - 1e-9)
              << "S " << c.S[k] << " put " << CallPut << " precision " << precision;
          if (exercise > 0.0 && c.value[k] <= exercise + 1e-9) exercised = true;
        }
        // Deep in the money the option is exercised.
        if (CallPut == 1) {
          EXPECT_TRUE(exercised) << "precision " << precision;
        }
      }
    }
  }
}

// The sensitivities re-solve the same pricer: with the extrapolating run modes (4 in time, 5 in
// space) each re-solve must start again from the sizes the host asked for.
TEST(QelOptionPricer, SensitivitiesInTheExtrapolatingRunModes) {
  for (int precision : {4, 5}) {
    Call c;
    c.NS = 60;
    c.NV = 30;
    c.NT = 30;
    c.precision = precision;
    c.wantTheta = c.wantVega = true;
    c.run();
    ASSERT_EQ(c.result, u"") << "precision " << precision << ": " << narrow(c.result);
    const double T = 0.5;
    for (int i = 0; i <= c.nsOut; ++i) {
      const double S = c.S[static_cast<std::size_t>(i)];
      if (S < 85.0 || S > 115.0) continue;
      const double mid = enginePrice(S, T, kV0, kVL, 1);
      const double theta = (mid - enginePrice(S, T * 1.00001, kV0, kVL, 1)) / (T * 1e-5) / 365;
      const double sv0 = std::sqrt(kV0) + 1e-5, svL = std::sqrt(kVL) + 1e-5;
      const double vega = (enginePrice(S, T, sv0 * sv0, svL * svL, 1) - mid) / 1e-5 / 100;
      const std::size_t k = static_cast<std::size_t>(i);
      EXPECT_NEAR(c.value[k], mid, 2e-2) << "S " << S << " precision " << precision;
      EXPECT_NEAR(c.theta[k], theta, 2e-4 + 2e-2 * std::fabs(theta))
          << "S " << S << " " << precision;
      EXPECT_NEAR(c.vega[k], vega, 5e-3 + 2e-2 * std::fabs(vega)) << "S " << S << " " << precision;
    }
  }
}

// A negative CPU time asks for the implied volatility, which replaces the price in the summary.
TEST(QelOptionPricer, NegativeCpuTimeAsksForTheImpliedVolatility) {
  Call price;
  price.run();
  ASSERT_EQ(price.result, u"");
  Call iv;
  iv.cpuIn = -1.0;
  iv.run();
  ASSERT_EQ(iv.result, u"");
  EXPECT_GE(iv.cpuTime, 0.0);
  EXPECT_NEAR(bsmPrice(kS, kK, kR, kD, iv.params[4], 0.5, 1), price.params[4], 1e-9);
}

// The implied volatility asked for is the Black-Scholes-Merton inversion of the price the same
// call gives without the request, in, at and out of the money, calls and puts, in every run mode;
// the rest of the call is the same as without it.
TEST(QelOptionPricer, ImpliedVolatilityIsThatOfItsOwnPriceAtEveryMoneynessAndRunMode) {
  for (int precision : {3, 4, 5}) {
    for (int CallPut : {0, 1}) {
      for (double K : {80.0, 100.0, 101.81, 120.0}) {
        Call price;
        price.model = 1.0;
        price.rootT = 1.0;
        price.volvol = 0.3;
        price.NS = 40;
        price.NV = 20;
        price.NT = 20;
        price.K = K;
        price.CallPut = CallPut;
        price.precision = precision;
        price.run();
        ASSERT_EQ(price.result, u"") << narrow(price.result);
        Call iv = price;
        iv.cpuIn = -1.0;
        iv.run();
        const std::string label = "K " + std::to_string(K) + " put " + std::to_string(CallPut) +
                                  " precision " + std::to_string(precision);
        ASSERT_EQ(iv.result, u"") << label << ": " << narrow(iv.result);
        const double expected = ImpliedVol(price.params[4], kS, K, 1.0, kR, kD, CallPut);
        ASSERT_GT(expected, 0.05) << label;
        EXPECT_NEAR(iv.params[4], expected, 1e-12) << label;
        EXPECT_GE(iv.cpuTime, 0.0) << label;
        EXPECT_EQ(iv.nsOut, price.nsOut) << label;
        for (int j : {0, 1, 2, 3, 5}) EXPECT_EQ(iv.params[j], price.params[j]) << label << " " << j;
        EXPECT_EQ(iv.value, price.value) << label;
        EXPECT_EQ(iv.delta, price.delta) << label;
      }
    }
  }
}

// With the square-root variance model the volatility asked for is, within the grid's accuracy,
// the Black-Scholes-Merton inversion of the semi-closed-form Heston price of the same option.
TEST(QelOptionPricer, SquareRootModelImpliedVolatilityMatchesTheClosedForm) {
  for (int precision : {3, 5}) {
    for (int CallPut : {0, 1}) {
      for (double K : {80.0, 90.0, 100.0, 110.0, 120.0, 130.0}) {
        Call c;
        c.rootT = 1.0;
        c.NS = precision == 5 ? 40 : 80;
        c.NV = precision == 5 ? 20 : 40;
        c.NT = precision == 5 ? 20 : 40;
        c.K = K;
        c.CallPut = CallPut;
        c.precision = precision;
        c.cpuIn = -1.0;
        c.run();
        const std::string label = "K " + std::to_string(K) + " put " + std::to_string(CallPut) +
                                  " precision " + std::to_string(precision);
        ASSERT_EQ(c.result, u"") << label << ": " << narrow(c.result);
        const double closedForm =
            VanillaHeston(kS, K, kR, kD, kV0, kVL, kSpeed, kVolvol, kRho, 1.0, CallPut);
        ASSERT_GT(closedForm, 0.0) << label;
        const double expected = ImpliedVol(closedForm, kS, K, 1.0, kR, kD, CallPut);
        ASSERT_GT(expected, 0.05) << label;
        // The grids' errors in volatility: up to 2.4e-4 plain on 80 x 40 (far out of the money,
        // where the vega is small), 7e-6 extrapolated in space from 40 x 20.
        EXPECT_NEAR(c.params[4], expected, precision == 5 ? 2e-5 : 5e-4) << label;
      }
    }
  }
}

// A price that no volatility in [1e-6, 2] gives (an American call worth its exercise value under
// a high dividend yield, above every European price) is answered with the message, never with
// the price or a clipped number.
TEST(QelOptionPricer, NoImpliedVolatilityGivesTheMessage) {
  Call c;
  c.model = 1.0;
  c.rootT = 1.0;
  c.K = 50.0;
  c.d = 0.5;
  c.CallPut = 0;
  c.EuroAmer = 1;
  c.run();
  ASSERT_EQ(c.result, u"") << narrow(c.result);
  ASSERT_GE(c.params[4], 50.0);
  Call iv = c;
  iv.cpuIn = -1.0;
  iv.run();
  EXPECT_EQ(narrow(iv.result).rfind("No implied volatility in [1e-6, 2] gives the price 5", 0), 0u)
      << narrow(iv.result);
  for (double v : iv.value) EXPECT_EQ(v, kSentinel);
}

// The one file a call may write is the variance-grid fallback's line in "ErrorLog.txt" in the
// current folder, when the grid's stretched part cannot be built (here a start variance so small
// that the first stretched cell would need a concentration beyond reach); an ordinary call writes
// nothing.
TEST(QelOptionPricer, TheVarianceGridFallbackLineIsTheOnlyFileWritten) {
  for (double v0 : {kV0, 1e-9}) {
    TempFolder folder;
    Call c;
    c.rootT = 1.0;
    c.NS = 40;
    c.NV = 20;
    c.NT = 20;
    c.v0 = v0;
    c.run();
    ASSERT_EQ(c.result, u"") << narrow(c.result);
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
      files.push_back(entry.path().filename().string());
    }
    if (v0 == kV0) {
      EXPECT_TRUE(files.empty()) << files.front();
    } else {
      EXPECT_EQ(files, std::vector<std::string>{"ErrorLog.txt"});
      const std::string line =
          "The hybrid V-grid generator failed for option with K =  100, T = 1\n";
      const std::string log = folder.read("ErrorLog.txt");
      EXPECT_FALSE(log.empty());
      for (std::size_t at = 0; at < log.size(); at += line.size()) {
        EXPECT_EQ(log.substr(at, line.size()), line);
      }
    }
  }
}

// The reported CPU time is that of every solve made: nearly all of the call's own CPU time,
// whether one solve or three were made (the last solve's alone would be about a third).
TEST(QelOptionPricer, CpuTimeIsSummedOverTheSolves) {
  for (bool sensitivities : {false, true}) {
    Call c;
    c.wantTheta = c.wantVega = sensitivities;
    const double start = threadCpuSeconds();
    c.run();
    const double elapsed = threadCpuSeconds() - start;
    ASSERT_EQ(c.result, u"");
    EXPECT_LE(c.cpuTime, elapsed * 1.05 + 1e-3) << "sensitivities " << sensitivities;
    EXPECT_GE(c.cpuTime, elapsed * 0.6) << "sensitivities " << sensitivities;
  }
}

TEST(QelOptionPricer, BermudanThetaIsZeroAndVegaIsUntouchedWhenNotAskedFor) {
  Call c;
  c.EuroAmer = 2;
  c.nExercise = 4;
  c.run();
  ASSERT_EQ(c.result, u"") << narrow(c.result);
  for (int i = 0; i <= c.nsOut; ++i) {
    EXPECT_EQ(c.theta[static_cast<std::size_t>(i)], 0.0) << i;
  }
  for (double v : c.vega) EXPECT_EQ(v, kSentinel);
  // The exercise dates are priced: the Bermudan put is worth more than the European one.
  Call euro = c;
  euro.EuroAmer = 0;
  euro.nExercise = 0;
  euro.run();
  ASSERT_EQ(euro.result, u"");
  ASSERT_EQ(euro.nsOut, c.nsOut);
  const std::size_t atSpot = static_cast<std::size_t>(c.nsOut / 2);
  EXPECT_GT(c.value[atSpot], euro.value[atSpot] + 1e-3) << "S " << c.S[atSpot];
}

// A Bermudan option's exercise dates are given by their count alone; with none it has no price,
// and the European price is no answer under its name: the refusal's message, before anything is
// written (params keeps even its untransformed element 0), whatever the kind and run mode.
TEST(QelOptionPricer, BermudanWithoutExerciseDatesIsRefusedAndWritesNothing) {
  for (int CallPut : {0, 1}) {
    for (int precision : {3, 4}) {
      Call c;
      c.CallPut = CallPut;
      c.precision = precision;
      c.EuroAmer = 2;
      c.nExercise = 0;
      c.wantTheta = c.wantVega = true;
      c.cpuIn = 3.5;
      c.exponent = 0.7;
      c.run();
      EXPECT_EQ(narrow(c.result),
                "A Bermudan option (EuroAmer 2) has no price without its exercise dates, and this "
                "call gives none: nExercise 2 or more (the dates fall every T / nExercise up to "
                "expiry)")
          << "put " << CallPut << " precision " << precision;
      for (const auto* v : {&c.S, &c.value, &c.delta, &c.gamma, &c.theta, &c.vega}) {
        for (double x : *v) ASSERT_EQ(x, kSentinel) << "put " << CallPut;
      }
      const double paramsIn[6] = {0.7, kV0, kVL, kSpeed, kRho, 0.0};
      for (int j = 0; j < 6; ++j) EXPECT_EQ(c.params[j], paramsIn[j]) << j;
      EXPECT_EQ(c.nsOut, c.NS);
      EXPECT_EQ(c.cpuTime, 3.5);
    }
  }
}

// The European, American and Bermudan prices of one option on one grid: with D dates every T / D
// the holder has more rights than at expiry alone and fewer than at every moment, so the Bermudan
// price lies strictly between, at the spot and at every node near it; and the dates of D are
// among those of 2 D, so the price cannot fall as D doubles. One date is the expiry alone: the
// European option. A put, and a call on a dividend yield above the rate (whose early exercise is
// worth something), each in and out of the money.
struct ExerciseStyles {
  int CallPut;
  double K, d;
};
constexpr ExerciseStyles kExerciseStyles[] = {
    {1, 90.0, kD}, {1, 110.0, kD}, {0, 90.0, 0.08}, {0, 110.0, 0.08}};

Call styleCall(const ExerciseStyles& o, int EuroAmer, int nExercise, int NT) {
  Call c;
  c.NS = 40;
  c.NV = 16;
  c.NT = NT;
  c.K = o.K;
  c.d = o.d;
  c.CallPut = o.CallPut;
  c.EuroAmer = EuroAmer;
  c.nExercise = nExercise;
  c.run();
  EXPECT_EQ(c.result, u"") << narrow(c.result);
  return c;
}

TEST(QelOptionPricer, BermudanLiesBetweenTheEuropeanAndTheAmericanPrice) {
  constexpr int kNT = 80;
  for (const ExerciseStyles& o : kExerciseStyles) {
    const Call euro = styleCall(o, 0, 0, kNT);
    const Call amer = styleCall(o, 1, 0, kNT);
    const double premium = amer.params[4] - euro.params[4];
    ASSERT_GT(premium, 1e-2) << "put " << o.CallPut << " K " << o.K;
    double previous = euro.params[4];
    for (int dates : {2, 4, 16}) {
      const Call berm = styleCall(o, 2, dates, kNT);
      const double price = berm.params[4];
      EXPECT_GT(price, previous + 1e-3 * premium)
          << "put " << o.CallPut << " K " << o.K << " D " << dates;
      EXPECT_LT(price, amer.params[4] - 1e-3 * premium)
          << "put " << o.CallPut << " K " << o.K << " D " << dates;
      previous = price;
      ASSERT_EQ(berm.nsOut, euro.nsOut);
      for (int i = 0; i <= berm.nsOut; ++i) {
        const std::size_t k = static_cast<std::size_t>(i);
        ASSERT_EQ(berm.S[k], euro.S[k]);
        if (berm.S[k] < 0.7 * kS || berm.S[k] > 1.4 * kS) continue;
        EXPECT_GE(berm.value[k], euro.value[k] - 1e-9) << "S " << berm.S[k] << " D " << dates;
        EXPECT_LE(berm.value[k], amer.value[k] + 1e-9) << "S " << berm.S[k] << " D " << dates;
      }
    }
    const Call expiryOnly = styleCall(o, 2, 1, kNT);
    EXPECT_NEAR(expiryOnly.params[4], euro.params[4], 1e-12) << "put " << o.CallPut;
  }
}

// As the dates grow denser the holder's rights near those of an American option: on one time
// grid (NT a multiple of every D, with at least 5 steps per date) the shortfall from the American
// price falls towards zero at first order, about halving as D doubles (a little faster as D nears
// the NT steps, after each of which the American solve exercises), to a tenth of the American
// premium by 32 dates.
TEST(QelOptionPricer, BermudanNearsTheAmericanPriceAsTheDatesGrow) {
  constexpr int kNT = 160;
  for (const ExerciseStyles& o : {kExerciseStyles[0], kExerciseStyles[3]}) {
    const double euro = styleCall(o, 0, 0, kNT).params[4];
    const double amer = styleCall(o, 1, 0, kNT).params[4];
    double previousGap = amer - euro;
    for (int dates : {2, 4, 8, 16, 32}) {
      const double gap = amer - styleCall(o, 2, dates, kNT).params[4];
      EXPECT_GT(gap, 0.0) << "put " << o.CallPut << " D " << dates;
      if (dates > 2) {
        EXPECT_GT(previousGap / gap, 1.5) << "put " << o.CallPut << " D " << dates;
        EXPECT_LT(previousGap / gap, 3.5) << "put " << o.CallPut << " D " << dates;
      }
      previousGap = gap;
    }
    EXPECT_LT(previousGap, 0.1 * (amer - euro)) << "put " << o.CallPut;
  }
}

// Above 50000 nodes nothing is solved: the refusal's message (the empty string would read as
// success), and only *NS and the transformed params[0] change. The transform:
// volvol = (1 + rootT)^(params[0] - 5 r); rootT = 0 gives 1.
TEST(QelOptionPricer, MoreThan50000NodesAreRefusedAfterTheInputTransform) {
  for (double rootT : {0.0, 1.0}) {
    Call c;
    c.rootT = rootT;
    c.NS = 50001;
    c.cpuIn = 7.0;
    c.arraySize = 4;
    c.volvol = 0.5;
    if (rootT == 0.0) c.exponent = 0.3;
    c.run();
    EXPECT_EQ(narrow(c.result),
              "The asset grid of QelOptionPricer, 50001 nodes, exceeds its limit of 50000 nodes: "
              "fewer asset intervals");
    EXPECT_EQ(c.nsOut, 50001);
    EXPECT_EQ(c.cpuTime, 7.0);
    for (double v : c.S) EXPECT_EQ(v, kSentinel);
    for (double v : c.value) EXPECT_EQ(v, kSentinel);
    EXPECT_NEAR(c.params[0], rootT == 0.0 ? 1.0 : 0.5, 1e-14) << "rootT " << rootT;
    EXPECT_EQ(c.params[1], kV0);
    EXPECT_EQ(c.params[5], 0.0);
  }
}

TEST(QelOptionPricer, FailureGivesTheMessageAndKeepsTheTransformedVolvol) {
  Call c;
  c.model = std::numeric_limits<double>::quiet_NaN();
  c.rootT = 1.0;
  c.volvol = 0.5;
  c.run();
  EXPECT_EQ(narrow(c.result), "the model selector is not finite");
  EXPECT_NEAR(c.params[0], 0.5, 1e-14);
  for (double v : c.value) EXPECT_EQ(v, kSentinel);

  // A null array that would be written is refused with a message, not written through.
  double params[6] = {0.0, kV0, kVL, kSpeed, kRho, 0.0};
  double cpu = 0.0;
  int ns = 50, nv = 20;
  const std::u16string refused = takeString(QelOptionPricer(nullptr,
                                                            nullptr,
                                                            nullptr,
                                                            nullptr,
                                                            nullptr,
                                                            nullptr,
                                                            &cpu,
                                                            kS,
                                                            kK,
                                                            20,
                                                            0.5,
                                                            params,
                                                            kR,
                                                            kD,
                                                            0.0,
                                                            &ns,
                                                            &nv,
                                                            1,
                                                            0,
                                                            3,
                                                            1,
                                                            nullptr,
                                                            nullptr,
                                                            -3.0,
                                                            1.0,
                                                            0.9999,
                                                            0,
                                                            0,
                                                            1,
                                                            1,
                                                            0));
  EXPECT_EQ(narrow(refused), "A pointer argument of QelOptionPricer is null");
  EXPECT_EQ(params[0], 0.0);
  EXPECT_EQ(ns, 50);
}

}  // namespace serivane
