#include "heston_analytic/analytic_heston_engine.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <boost/function.hpp>
#include <cmath>
#include <complex>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "core/black_scholes.h"

namespace serivane {

namespace {

const std::string kPrefix = "An error occured while calculating the Heston analytic price: ";

// The settings of the exported pricer: full double accuracy, a million evaluations.
constexpr double kRelativeAccuracy = 1e-16;
constexpr std::uint64_t kMaxEvaluations = 1000000;

template <class F>
std::string messageOf(F&& run) {
  try {
    run();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

struct HestonCase {
  const char* label;
  double S, K, T, r, d;
  double v0, theta, kappa, sigma, rho;  // theta: long-run variance, kappa: speed
};

double enginePrice(AnalyticHestonEngine& engine, const HestonCase& c, std::int32_t type) {
  return engine.price(c.S, c.K, c.T, c.r, c.d, c.v0, c.theta, c.kappa, c.sigma, c.rho, type);
}

// Reference call price by a second method: the single-integral representation of
// A. L. Lewis, "A simple option formula for general jump-diffusion and other exponential Levy
// processes" (2001), eq. (9) (also A. Lipton, "The vol smile problem", Risk, February 2002):
//   C = S e^{-dT} - sqrt(S K) e^{-(r+d)T/2} / pi * int_0^inf Re[e^{iuk} phi(u - i/2)] / (u^2 + 1/4)
//   du
// with k = log(S / K) + (r - d) T and phi the characteristic function of log(S_T / F), here in the
// "little trap" form of Albrecher, Mayer, Schoutens and Tistaert (Wilmott, 2007), in long double.
// The integrand is even in u and analytic in the strip |Im u| < 1/2, so the plain trapezoidal rule
// converges geometrically, like exp(-pi / h) (L. N. Trefethen, J. A. C. Weideman, "The
// exponentially convergent trapezoidal rule", SIAM Review 56 (2014), sec. 5): h = 0.05 leaves an
// error far below 1e-20. The range is cut where the modulus of the integrand, which does not
// oscillate, has stayed below 1e-17 over a whole block of 200 steps.
long double lewisCall(const HestonCase& c) {
  using Complex = std::complex<long double>;
  const Complex i(0.0L, 1.0L);
  const long double pi = 3.141592653589793238462643383279502884L;
  const long double kappa = c.kappa, theta = c.theta, sigma = c.sigma, rho = c.rho;
  const long double v0 = c.v0, T = c.T;
  const long double sigma2 = sigma * sigma;
  const long double k =
      std::log(static_cast<long double>(c.S) / c.K) + (static_cast<long double>(c.r) - c.d) * T;

  // The logarithm is followed continuously along u (its imaginary part unwrapped), so that no
  // branch of it is ever skipped whatever the parameters.
  long double previousArg = 0.0L;
  const auto integrand = [&](long double u) {
    const Complex z(u, -0.5L);
    const Complex beta = kappa - rho * sigma * i * z;
    const Complex w = z * z + i * z;
    const Complex d = std::sqrt(beta * beta + sigma2 * w);
    const Complex betaMinusD = -sigma2 * w / (beta + d);  // without cancellation
    const Complex g = betaMinusD / (beta + d);
    const Complex e = std::exp(-d * T);
    const Complex D = betaMinusD / sigma2 * (1.0L - e) / (1.0L - g * e);
    Complex logTerm = std::log((1.0L - g * e) / (1.0L - g));
    long double arg = logTerm.imag();
    arg += 2.0L * pi * std::round((previousArg - arg) / (2.0L * pi));
    previousArg = arg;
    logTerm = Complex(logTerm.real(), arg);
    const Complex C = kappa * theta / sigma2 * (betaMinusD * T - 2.0L * logTerm);
    return std::exp(i * u * k + C + D * v0) / (u * u + 0.25L);
  };

  const long double h = 0.05L;
  long double sum = 0.5L * integrand(0.0L).real();
  long double blockMax = 0.0L;
  for (long n = 1; n < 4000000; ++n) {
    const Complex value = integrand(n * h);
    sum += value.real();
    blockMax = std::max(blockMax, std::abs(value));
    if (n % 200 == 0) {
      if (blockMax < 1e-17L) break;
      blockMax = 0.0L;
    }
  }
  return c.S * std::exp(-static_cast<long double>(c.d) * T) -
         std::sqrt(static_cast<long double>(c.S) * c.K) *
             std::exp(-(static_cast<long double>(c.r) + c.d) * T / 2.0L) / pi * h * sum;
}

// clang-format off
const HestonCase kReferenceCases[] = {
    // label                                      S    K     T     r     d     v0   theta kappa sigma rho
    {"at the money, one year",                   100, 100,  1.0, 0.03, 0.01, 0.04, 0.04, 1.5,  0.3, -0.7},
    {"T = 0.05, sigma 2, rho -0.9, otm call",    100, 105,  0.05, 0.02, 0.0, 0.09, 0.06, 2.0,  2.0, -0.9},
    {"T = 0.05, sigma 2, rho +0.9, itm call",    100, 95,   0.05, 0.02, 0.0, 0.09, 0.06, 2.0,  2.0,  0.9},
    {"T = 0.05, sigma 0.01",                     100, 102,  0.05, 0.02, 0.01, 0.04, 0.05, 2.0, 0.01, -0.5},
    {"T = 10, sigma 2, rho -0.9",                100, 130, 10.0,  0.03, 0.01, 0.04, 0.05, 1.0, 2.0, -0.9},
    {"T = 10, sigma 1, rho +0.9",                100, 70,  10.0,  0.03, 0.01, 0.04, 0.05, 1.0, 1.0,  0.9},
    {"T = 10, sigma 0.01, rho +0.9",             100, 120, 10.0,  0.03, 0.01, 0.04, 0.05, 1.0, 0.01, 0.9},
    {"deep in the money call, T = 0.5",          100, 60,   0.5,  0.03, 0.01, 0.06, 0.04, 3.0, 0.6, -0.6},
    {"deep out of the money call, T = 0.5",      100, 150,  0.5,  0.03, 0.01, 0.06, 0.04, 3.0, 0.8, -0.3},
    {"kappa = rho sigma (share measure)",        100, 110,  2.0,  0.03, 0.01, 0.04, 0.04, 0.45, 0.5, 0.9},
    {"negative rate, high dividend yield",       100, 100,  3.0, -0.01, 0.05, 0.05, 0.03, 0.8, 0.7, -0.4},
    {"sigma 1, rho 0",                           100, 90,   2.0,  0.03, 0.0, 0.04, 0.04, 2.0,  1.0,  0.0},
    {"zero mean reversion",                      100, 110,  1.0,  0.03, 0.01, 0.04, 0.04, 0.0, 0.5, -0.5},
    {"rho = -1",                                 100, 110,  1.0,  0.03, 0.01, 0.04, 0.04, 1.5, 0.3, -1.0},
};
// clang-format on

TEST(AnalyticHestonEngine, AgreesWithTheLewisSingleIntegral) {
  AnalyticHestonEngine engine(kRelativeAccuracy, kMaxEvaluations);
  for (const HestonCase& c : kReferenceCases) {
    const double call = static_cast<double>(lewisCall(c));
    // The put of the reference by parity, which holds in the model.
    const double put = call - c.S * std::exp(-c.d * c.T) + c.K * std::exp(-c.r * c.T);
    EXPECT_NEAR(enginePrice(engine, c, 1), call, 1e-8) << c.label;
    EXPECT_GT(engine.numberOfEvaluations(), 40u) << c.label;
    EXPECT_NEAR(enginePrice(engine, c, -1), put, 1e-8) << c.label;
  }
}

TEST(AnalyticHestonEngine, PutCallParity) {
  AnalyticHestonEngine engine(kRelativeAccuracy, kMaxEvaluations);
  for (const HestonCase& c : kReferenceCases) {
    const double call = enginePrice(engine, c, 1);
    const double put = enginePrice(engine, c, -1);
    const double forward = c.S * std::exp(-c.d * c.T) - c.K * std::exp(-c.r * c.T);
    EXPECT_NEAR(call - put, forward, 1e-10) << c.label;
  }
}

// The mean of log(S_T / K) under the share measure (j = 1) or the risk-neutral one (j = 2), the
// phi = 0 value of the integrand: log(F / K) + E[int v] / 2 under the share measure, whose
// variance reverts at speed kappa - rho sigma to kappa theta / (kappa - rho sigma), and
// log(F / K) - E[int v] / 2 under the risk-neutral one. The strike at which it is 0.
double zeroMeanStrike(const HestonCase& c, int j) {
  const double speed = j == 1 ? c.kappa - c.rho * c.sigma : c.kappa;
  const double level = j == 1 ? c.kappa * c.theta / speed : c.theta;
  const double integratedVariance =
      level * c.T + (c.v0 - level) * (-std::expm1(-speed * c.T) / speed);
  const double forward = c.S * std::exp((c.r - c.d) * c.T);
  return forward * std::exp((j == 1 ? 0.5 : -0.5) * integratedVariance);
}

// With rho at or next to -1 or 1 the map of the integrals onto [0, 1] is flat (its decay rate at
// or near the lower clamp), and the integration's 13-point reference value sees the integrand at
// phi = 0 only, where it is the mean of log(S_T / K) under the measure. Where that mean is 0 the
// reference is 0 and the integration ran out of evaluations: -999 for everyday values (K = S,
// v0 = theta, r - d = v0 / 2, where the risk-neutral mean vanishes). The first integration fails
// whatever its budget and the second one's result does not depend on it, so these engines have
// 200,000 evaluations an integral, which keeps the tests short (the exports' 1,000,000 are spent
// by their own tests).
constexpr std::uint64_t kFlatMapEvaluations = 200000;

// The three points as found, against the Lewis single integral, which has no such point, or
// against the engine at the ordinary strikes next to them, extrapolated to the point (Richardson,
// from K +- h and K +- 2h: error O(h^4)); at the first also at correlations next to -1,
// extrapolated from rho = -1 + e and -1 + 2e (error O(e^2)): the price joins those around it.
// (The Lewis sum of the third takes a minute under emulation, its Richardson neighbours less.)
TEST(AnalyticHestonEngine, PricesAtTheStrikeOfZeroMeanUnderAFlatMap) {
  struct Case {
    HestonCase model;
    bool lewis, strikes, correlations;  // the references it is checked against
  };
  // clang-format off
  const Case cases[] = {
      // label                       S    K    T     r     d     v0    theta kappa sigma rho
      {{"T 1, sigma 0.5",            100, 100, 1.0,  0.03, 0.01, 0.04, 0.04, 1.0,  0.5, -1.0}, true, true, true},
      {{"T 5, sigma 1.5",            100, 100, 5.0,  0.03, 0.01, 0.04, 0.04, 1.0,  1.5, -1.0}, true, false, false},
      {{"T 0.25, sigma 1",           100, 100, 0.25, 0.03, 0.01, 0.04, 0.04, 1.0,  1.0, -1.0}, false, true, false},
  };
  // clang-format on
  AnalyticHestonEngine engine(kRelativeAccuracy, kFlatMapEvaluations);
  // The neighbours are ordinary points, priced at the exports' budget.
  AnalyticHestonEngine neighbours(kRelativeAccuracy, kMaxEvaluations);
  for (const Case& x : cases) {
    const HestonCase& c = x.model;
    ASSERT_NEAR(zeroMeanStrike(c, 2), c.K, 1e-12 * c.K) << c.label;
    const double price = enginePrice(engine, c, 1);
    const auto call = [&neighbours, &c](double K, double rho) {
      return neighbours.price(c.S, K, c.T, c.r, c.d, c.v0, c.theta, c.kappa, c.sigma, rho, 1);
    };
    if (x.lewis) {
      EXPECT_NEAR(price, static_cast<double>(lewisCall(c)), 1e-9) << c.label;
    }
    if (x.strikes) {
      const double h = 0.05;
      const double near = 0.5 * (call(c.K + h, c.rho) + call(c.K - h, c.rho));
      const double far = 0.5 * (call(c.K + 2 * h, c.rho) + call(c.K - 2 * h, c.rho));
      EXPECT_NEAR(price, (4.0 * near - far) / 3.0, 2e-9) << c.label;
    }
    if (x.correlations) {
      const double e = 1e-6;
      EXPECT_NEAR(price, 2.0 * call(c.K, c.rho + e) - call(c.K, c.rho + 2 * e), 1e-10) << c.label;
    }
  }
}

// The other points of that kind: rho = +1 (a put); the share measure's zero-mean strike; a
// correlation 1e-8 from -1, where the map is flat without being clamped. Against the Lewis single
// integral, the put by parity.
TEST(AnalyticHestonEngine, OtherZeroMeanStrikesUnderAFlatMapAgreeWithTheLewisIntegral) {
  struct Case {
    HestonCase model;
    int zeroMeanMeasure;  // the measure whose zero-mean strike is priced, 0: K as given
    std::int32_t type;
  };
  // clang-format off
  const Case cases[] = {
      // label                                 S    K    T    r     d     v0    theta kappa sigma rho
      {{"rho +1, K = S",                       100, 100, 1.0, 0.03, 0.01, 0.04, 0.04, 1.0, 0.5,  1.0}, 0, -1},
      {{"rho -1, share measure",               100, 0,   1.0, 0.03, 0.01, 0.04, 0.04, 1.0, 0.5, -1.0}, 1, 1},
      {{"rho -1 + 1e-8, v0 above theta",       100, 0,   2.0, 0.03, 0.01, 0.09, 0.04, 2.0, 0.8, -1.0 + 1e-8}, 2, 1},
  };
  // clang-format on
  AnalyticHestonEngine engine(kRelativeAccuracy, kFlatMapEvaluations);
  for (const Case& x : cases) {
    HestonCase c = x.model;
    if (x.zeroMeanMeasure != 0) c.K = zeroMeanStrike(c, x.zeroMeanMeasure);
    const double lewis = static_cast<double>(lewisCall(c));
    const double reference =
        x.type == 1 ? lewis : lewis - c.S * std::exp(-c.d * c.T) + c.K * std::exp(-c.r * c.T);
    EXPECT_NEAR(enginePrice(engine, c, x.type), reference, 1e-9) << c.label;
  }
}

// With v0 = theta the variance stays at v0 as sigma -> 0, and the price tends to the
// Black-Scholes-Merton price at volatility sqrt(v0). The gap is of first order in rho sigma and
// of second order in sigma (R. W. Lee, "Implied and local volatilities under stochastic
// volatility", IJTAF 4 (2001): the correlation term of the small vol-of-vol expansion); the
// bounds below hold over the whole table. sigma <= 1e-5 runs through the small-sigma branch.
TEST(AnalyticHestonEngine, TendsToBlackScholesMertonAsVolOfVarianceVanishes) {
  struct Case {
    const char* label;
    double K, T, rho;
    std::int32_t type;
  };
  const Case cases[] = {
      {"call T = 0.05 rho 0", 105, 0.05, 0.0, 1},
      {"put T = 1 rho 0", 95, 1.0, 0.0, -1},
      {"call T = 10 rho 0", 120, 10.0, 0.0, 1},
      {"call T = 1 rho -0.7", 105, 1.0, -0.7, 1},
      {"put T = 10 rho 0.9", 90, 10.0, 0.9, -1},
      {"call T = 0.05 rho -0.9", 98, 0.05, -0.9, 1},
  };
  AnalyticHestonEngine engine(kRelativeAccuracy, kMaxEvaluations);
  const double v0 = 0.04;
  for (const Case& c : cases) {
    const double bsm = bsmPrice(100, c.K, 0.03, 0.01, std::sqrt(v0), c.T, c.type == -1 ? 1 : 0);
    for (double sigma : {1e-2, 1e-3, 1e-4, 2e-5, 1e-5, 1e-7, 1e-10, 0.0}) {
      const double heston =
          engine.price(100, c.K, c.T, 0.03, 0.01, v0, v0, 1.5, sigma, c.rho, c.type);
      const double bound = 2.0 * std::fabs(c.rho) * sigma + 5.0 * sigma * sigma + 1e-12;
      EXPECT_LE(std::fabs(heston - bsm), bound) << c.label << ", sigma " << sigma;
    }
  }
}

// Im(f_j(phi)) / phi at phi = 0 is given by its limit; it must agree with the integrand close by,
// which differs from the limit by O(phi^2) (about 1e-10 at phi = 1e-6 in the strongest case).
TEST(Fj_Helper, LimitAtZeroAgreesWithSmallPhi) {
  struct Case {
    const char* label;
    double kappa, theta, sigma, v0, rho, T, K;
  };
  const Case cases[] = {
      {"typical", 1.5, 0.04, 0.3, 0.04, -0.7, 1.0, 110},
      {"long maturity, strong vol of variance", 2.0, 0.05, 2.0, 0.09, 0.9, 10.0, 80},
      {"short maturity", 3.0, 0.06, 1.0, 0.02, -0.9, 0.05, 100},
      {"kappa = rho sigma exactly (j = 1 at zero speed)", 0.45, 0.04, 0.5, 0.04, 0.9, 2.0, 105},
      {"kappa - rho sigma just above 1e-7", 0.45 + 2e-7, 0.04, 0.5, 0.04, 0.9, 2.0, 105},
      {"kappa = 0 (j = 2 at zero speed)", 0.0, 0.04, 0.5, 0.04, -0.5, 2.0, 95},
      {"tiny kappa", 1e-9, 0.04, 0.5, 0.04, -0.5, 2.0, 95},
      {"small-sigma branch", 1.5, 0.04, 1e-6, 0.04, -0.5, 1.0, 110},
  };
  const double ratio = std::exp(-0.03) / std::exp(-0.01);
  for (const Case& c : cases) {
    for (std::uint64_t j : {1u, 2u}) {
      const Fj_Helper f(j, c.kappa, c.theta, c.sigma, c.v0, c.rho, c.T, 100.0, c.K, ratio);
      const double limit = f(0.0);
      ASSERT_TRUE(std::isfinite(limit)) << c.label << ", j = " << j;
      EXPECT_NEAR(f(1e-6), limit, 1e-9 * (1.0 + std::fabs(limit))) << c.label << ", j = " << j;
      EXPECT_EQ(f(-0.0), limit) << c.label << ", j = " << j;
    }
  }
}

// Across sigma = 1e-5 the small-sigma expansion hands over to the general formula: integrand
// values and prices on both sides agree to the size of the neglected O(sigma^2) terms.
TEST(AnalyticHestonEngine, SmallSigmaBranchJoinsTheGeneralOne) {
  const double below = 1e-5;                       // small-sigma branch
  const double above = std::nextafter(1e-5, 1.0);  // general branch
  const HestonCase cases[] = {
      {"T = 1, rho -0.7", 100, 105, 1.0, 0.03, 0.01, 0.04, 0.05, 1.5, 0.0, -0.7},
      {"T = 0.05, rho 0.9", 100, 98, 0.05, 0.03, 0.01, 0.09, 0.04, 2.0, 0.0, 0.9},
      {"T = 10, rho 0", 100, 130, 10.0, 0.03, 0.01, 0.03, 0.05, 0.5, 0.0, 0.0},
  };
  AnalyticHestonEngine engine(kRelativeAccuracy, kMaxEvaluations);
  for (const HestonCase& c : cases) {
    HestonCase small = c, general = c;
    small.sigma = below;
    general.sigma = above;
    const double ratio = std::exp(-c.r * c.T) / std::exp(-c.d * c.T);
    for (std::uint64_t j : {1u, 2u}) {
      const Fj_Helper fSmall(j, c.kappa, c.theta, below, c.v0, c.rho, c.T, c.S, c.K, ratio);
      const Fj_Helper fGeneral(j, c.kappa, c.theta, above, c.v0, c.rho, c.T, c.S, c.K, ratio);
      for (double phi : {0.01, 0.5, 3.0, 20.0, 100.0}) {
        EXPECT_NEAR(fSmall(phi), fGeneral(phi), 1e-9 * (1.0 + std::fabs(fGeneral(phi))))
            << c.label << ", j = " << j << ", phi = " << phi;
      }
    }
    for (std::int32_t type : {1, -1}) {
      EXPECT_NEAR(enginePrice(engine, small, type), enginePrice(engine, general, type), 1e-8)
          << c.label << ", type " << type;
    }
  }
}

// The general formula stays accurate down to the branch point: prices for small vol of variance
// are found with the engine's full accuracy and a modest number of evaluations.
TEST(AnalyticHestonEngine, SmallVolOfVarianceNeedsNoMoreWork) {
  AnalyticHestonEngine engine(kRelativeAccuracy, kMaxEvaluations);
  for (double sigma : {1e-2, 1e-3, 1e-4, 2e-5}) {
    engine.price(100, 105, 1.0, 0.03, 0.01, 0.04, 0.04, 1.5, sigma, -0.7, 1);
    EXPECT_LT(engine.numberOfEvaluations(), 20000u) << "sigma " << sigma;
  }
}

TEST(AnalyticHestonEngine, CountsTheEvaluationsOfTheLastPrice) {
  AnalyticHestonEngine engine(kRelativeAccuracy, kMaxEvaluations);
  EXPECT_EQ(engine.numberOfEvaluations(), 0u);
  const HestonCase& c = kReferenceCases[0];
  enginePrice(engine, c, 1);
  const std::uint64_t first = engine.numberOfEvaluations();
  enginePrice(engine, c, 1);
  EXPECT_EQ(engine.numberOfEvaluations(), first) << "the count restarts with each price";

  // The two integrals, each counted by the integrator.
  const Integration& integration = engine.integration();
  const double ratio = std::exp(-c.r * c.T) / std::exp(-c.d * c.T);
  const double c_inf = 0.1 * (c.v0 + c.kappa * c.theta * c.T);  // sqrt(1 - rho^2) / sigma > 0.1
  std::uint64_t sum = 0;
  for (std::uint64_t j : {1u, 2u}) {
    integration.calculate(
        c_inf, Fj_Helper(j, c.kappa, c.theta, c.sigma, c.v0, c.rho, c.T, c.S, c.K, ratio));
    sum += integration.integrator()->numberOfEvaluations();
  }
  EXPECT_EQ(first, sum);
}

TEST(AnalyticHestonEngine, PriceFromDiscountsMatchesPrice) {
  AnalyticHestonEngine engine(kRelativeAccuracy, kMaxEvaluations);
  const HestonCase& c = kReferenceCases[4];
  const double viaPrice = enginePrice(engine, c, -1);
  double value = -1.0;
  const std::int32_t put = -1;
  AnalyticHestonEngine::priceFromDiscounts(std::exp(-(c.T * c.r)),
                                           std::exp(-(c.T * c.d)),
                                           c.S,
                                           c.K,
                                           c.T,
                                           c.kappa,
                                           c.theta,
                                           c.sigma,
                                           c.v0,
                                           c.rho,
                                           put,
                                           engine.integration(),
                                           value,
                                           nullptr);
  EXPECT_EQ(value, viaPrice);
}

TEST(AnalyticHestonEngine, Failures) {
  const HestonCase& c = kReferenceCases[0];
  AnalyticHestonEngine engine(kRelativeAccuracy, kMaxEvaluations);
  for (std::int32_t type : {0, 2, -2}) {
    EXPECT_EQ(messageOf([&] { enginePrice(engine, c, type); }), kPrefix + "Unknown option type")
        << "type " << type;
  }
  AnalyticHestonEngine starved(kRelativeAccuracy, 15);
  EXPECT_EQ(messageOf([&] { enginePrice(starved, c, 1); }),
            kPrefix + "Max number of iterations reached in Gauss-Lobatto routine");
}

TEST(Integration, GaussLobattoFactory) {
  const Integration integration = Integration::gaussLobatto(1e-12, 3.4028234663852886e38, 777);
  EXPECT_EQ(integration.algorithm(), 0);
  EXPECT_EQ(integration.gaussianQuadrature(), nullptr);
  const auto* gaussLobatto =
      dynamic_cast<const GaussLobattoIntegral*>(integration.integrator().get());
  ASSERT_NE(gaussLobatto, nullptr);
  EXPECT_EQ(gaussLobatto->relativeAccuracy(), 1e-12);
  EXPECT_EQ(gaussLobatto->absoluteAccuracy(), 3.4028234663852886e38);
  EXPECT_EQ(gaussLobatto->maxEvaluations(), 777u);
  EXPECT_FALSE(gaussLobatto->useConvergenceEstimate());

  // Engines do not share their integration: each counts on its own.
  AnalyticHestonEngine first(kRelativeAccuracy, kMaxEvaluations);
  AnalyticHestonEngine second(kRelativeAccuracy, kMaxEvaluations);
  EXPECT_NE(first.integration().integrator(), second.integration().integrator());
}

// A one-point rule at 0.5, enough to see which integrand each algorithm hands it.
class MidpointRule : public GaussianQuadrature {
 public:
  std::uint64_t order() const override { return 1; }
  double operator()(const boost::function<double(double)>& f) const override { return f(0.5); }
};

TEST(Integration, AlgorithmDispatch) {
  const boost::function<double(double)> f = [](double phi) { return std::exp(-phi); };
  const double c_inf = 0.5;

  // Algorithm 0 integrates the mapped integrand (here 2x) over [0, 1]:
  // int_0^inf exp(-phi) dphi = 1.
  const Integration adaptive = Integration::gaussLobatto(1e-12, 3.4028234663852886e38, 100000);
  EXPECT_NEAR(adaptive.calculate(c_inf, f), 1.0, 1e-12);

  const auto rule = std::make_shared<MidpointRule>();
  EXPECT_EQ(Integration(4, nullptr, rule).calculate(c_inf, f), std::exp(-0.5));
  const double mapped = integrand2(c_inf, f)(0.75);
  for (std::int32_t algorithm : {5, 6, 7}) {
    EXPECT_EQ(Integration(algorithm, nullptr, rule).calculate(c_inf, f), 0.5 * mapped)
        << "algorithm " << algorithm;
  }

  for (std::int32_t algorithm : {-1, 8, 100}) {
    EXPECT_EQ(messageOf([&] { Integration(algorithm, nullptr, rule).calculate(c_inf, f); }),
              kPrefix + "Unknwon integration algorithm")
        << "algorithm " << algorithm;
  }
  for (std::int32_t algorithm : {0, 3, 4, 7}) {
    EXPECT_EQ(messageOf([&] { Integration(algorithm, nullptr, nullptr).calculate(c_inf, f); }),
              kPrefix + "Neither Integrator nor GaussianQuadrature given")
        << "algorithm " << algorithm;
  }

  // A fixed-order rule counts its order once per integral.
  const HestonCase& c = kReferenceCases[0];
  AnalyticHestonEngine engine(kRelativeAccuracy, kMaxEvaluations);
  double value = 0.0;
  const std::int32_t call = 1;
  // A one-point rule gives no price inside the no-arbitrage bounds, so the price is refused; the
  // evaluations are counted before that check.
  EXPECT_THROW(AnalyticHestonEngine::priceFromDiscounts(std::exp(-(c.T * c.r)),
                                                        std::exp(-(c.T * c.d)),
                                                        c.S,
                                                        c.K,
                                                        c.T,
                                                        c.kappa,
                                                        c.theta,
                                                        c.sigma,
                                                        c.v0,
                                                        c.rho,
                                                        call,
                                                        Integration(5, nullptr, rule),
                                                        value,
                                                        &engine),
               std::runtime_error);
  EXPECT_EQ(engine.numberOfEvaluations(), 2u);
}

TEST(integrand2, MapsTheHalfLineOntoTheUnitInterval) {
  long calls = 0;
  const boost::function<double(double)> f = [&calls](double phi) {
    ++calls;
    return 1.0 / (1.0 + phi);
  };
  const double c_inf = 0.25;
  const integrand2 g(c_inf, f);
  EXPECT_EQ(g(0.0), 0.0);
  EXPECT_EQ(g(1e-16), 0.0);  // c_inf x below machine epsilon: the point at infinity
  EXPECT_EQ(calls, 0);
  const double x = 0.3;
  EXPECT_EQ(g(x), f(-std::log(x) / c_inf) / (x * c_inf));
  EXPECT_EQ(g(1.0), 1.0 / c_inf);
}

// Engines built per thread price independently: the same results as one after another.
TEST(AnalyticHestonEngine, OneEnginePerThread) {
  const int n = static_cast<int>(sizeof(kReferenceCases) / sizeof(kReferenceCases[0]));
  std::vector<double> serial(n), parallel(n);
  {
    AnalyticHestonEngine engine(kRelativeAccuracy, kMaxEvaluations);
    for (int k = 0; k < n; ++k) serial[k] = enginePrice(engine, kReferenceCases[k], 1);
  }
#pragma omp parallel num_threads(4)
  {
    AnalyticHestonEngine engine(kRelativeAccuracy, kMaxEvaluations);
#pragma omp for schedule(static)
    for (int k = 0; k < n; ++k) parallel[k] = enginePrice(engine, kReferenceCases[k], 1);
  }
  for (int k = 0; k < n; ++k) EXPECT_EQ(parallel[k], serial[k]) << kReferenceCases[k].label;
}

}  // namespace

}  // namespace serivane
