#include "core/black_scholes.h"

#include <algorithm>
#include <cmath>

namespace serivane {

namespace {

// Below this |x| the rational approximation applies; above it the continued fraction.
constexpr double kRationalLimit = 7.07106781186547;
// Beyond this |x| the tail is below the smallest double's relevance: exactly 0 or 1.
constexpr double kTailCutoff = 37.0;

}  // namespace

double cumNorm(double x) {
  const double a = std::fabs(x);
  double tail = 0.0;
  // A NaN fails this test as well and gets the zero tail: cumNorm(NaN) is 0.
  if (a <= kTailCutoff) {
    const double e = std::exp(-a * a / 2.0);
    if (a < kRationalLimit) {
      double num = 0.0352624965998911;
      num = num * a + 0.700383064443688;
      num = num * a + 6.37396220353165;
      num = num * a + 33.912866078383;
      num = num * a + 112.079291497871;
      num = num * a + 221.213596169931;
      num = num * a + 220.206867912376;
      double den = 0.0883883476483184;
      den = den * a + 1.75566716318264;
      den = den * a + 16.064177579207;
      den = den * a + 86.7807322029461;
      den = den * a + 296.564248779674;
      den = den * a + 637.333633378831;
      den = den * a + 793.826512519948;
      den = den * a + 440.413735824752;
      tail = e * num / den;
    } else {
      tail = e / (2.506628274631 * (a + 1.0 / (a + 2.0 / (a + 3.0 / (a + 4.0 / (a + 0.65))))));
    }
  }
  return x > 0.0 ? 1.0 - tail : tail;
}

double bsmPrice(double S, double K, double r, double d, double sigma, double T, int isPut) {
  // A zero volatility would give 0/0 at the money; a tiny one gives the discounted intrinsic value.
  if (sigma == 0.0) sigma = 1e-10;
  const double sqrtT = std::sqrt(T);
  const double s = sigma * sqrtT;
  const double d1 = (std::log(S / K) + (r - d) * T) / s + sigma * sqrtT / 2.0;
  const double d2 = d1 - s;
  const double fwdS = S * std::exp(-d * T);
  const double pvK = K * std::exp(-r * T);
  if (isPut == 0) return fwdS * cumNorm(d1) - pvK * cumNorm(d2);
  return pvK * cumNorm(-d2) - fwdS * cumNorm(-d1);
}

double ImpliedVolFunctor::operator()(double sigma) const {
  // The root finder takes a zero for a root: a non-positive volatility is reported as one.
  if (sigma <= 0.0) return 0.0;
  return bsmPrice(S, K, r, d, sigma, T, isPut) - price;
}

PriceRange europeanPriceRange(double S, double K, double T, double r, double d, int isPut) {
  const double fS = S * std::exp(-d * T);
  const double fK = K * std::exp(-r * T);
  if (isPut != 0) return {std::max(fK - fS, 0.0), fK};
  return {std::max(fS - fK, 0.0), fS};
}

}  // namespace serivane
