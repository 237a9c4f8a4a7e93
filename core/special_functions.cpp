#include "core/special_functions.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace serivane {

namespace {

constexpr const char* kGammlnBadArg = "bad arg in gammln";
constexpr const char* kGammlnNaN = "NaN argument in gammln";
constexpr const char* kGammpBadArgs = "bad args in gammp";
constexpr const char* kIncompleteGammaNotFinite =
    "non-finite argument in incomplete gamma function";
constexpr const char* kIncompleteGammaDiverged = "incomplete gamma evaluation diverged";
constexpr const char* kGammadistBadP = "bad p in Gammadist";
constexpr const char* kGammadistBadParams = "bad alph,bet in Gammadist";
constexpr const char* kLogGammaBadArg =
    "Non-positive argumet provided to gamma function evaluation";
constexpr const char* kNcx2NotConverged = "Non-central chi-square distribuion didn't converge.";
constexpr const char* kNcx2NotFinite = "non-finite argument in non-central chi-square distribution";

constexpr double kPi = 3.14159265358979323846;
// sqrt(2 pi), the prefactor of both Lanczos forms.
constexpr double kSqrtTwoPi = 2.5066282746310005;

// Lanczos approximation, g = 671/128, 14 terms: Gamma(x) = sqrt(2 pi) (x + g + 1/2)^(x + 1/2)
// exp(-(x + g + 1/2)) (c0 + sum_j c_j / (x + j)) / x, written with x + 1/2 + g = x + 5.2421875.
constexpr double kLanczosShift = 5.2421875;
constexpr double kLanczosC0 = 0.99999999999999709;
constexpr double kLanczos[14] = {57.156235665862923,
                                 -59.597960355475493,
                                 14.136097974741746,
                                 -0.49191381609762019,
                                 3.3994649984811891e-05,
                                 4.6523628927048578e-05,
                                 -9.8374475304879565e-05,
                                 0.00015808870322491249,
                                 -0.00021026444172410488,
                                 0.00021743961811521265,
                                 -0.00016431810653676389,
                                 8.4418223983852750e-05,
                                 -2.6190838401581408e-05,
                                 3.6899182659531625e-06};
// Below this the ratio ser / x would overflow: take the logarithms apart.
constexpr double kGammlnSplitBelow = 1e-300;

// Integration ends of the quadrature, in standard deviations sqrt(a - 1) of the gamma density
// around its mode a - 1: beyond them the density is below double resolution of the integral.
constexpr double kQuadUpperTail = 11.5;
constexpr double kQuadLowerTail = 7.5;
constexpr double kQuadUpperPastX = 6.0;
constexpr double kQuadLowerPastX = 5.0;

// Halley iterations of invgammap and their relative stopping step: from the start value the
// iteration converges cubically, so 12 steps are a guard rather than a working limit.
constexpr int kInvGammaMaxIterations = 12;
constexpr double kInvGammaRelTol = 1e-8;

// Non-central chi-square: term limit and absolute truncation bound of the sum.
constexpr int kNcx2MaxTerms = 10000;
constexpr double kNcx2Tolerance = 1e-12;

void requireFinite(double a, double x) {
  if (!std::isfinite(a) || !std::isfinite(x)) {
    throw std::runtime_error(kIncompleteGammaNotFinite);
  }
}

}  // namespace

double gammln(double x) {
  if (std::isnan(x)) throw std::runtime_error(kGammlnNaN);
  if (x <= 0.0) throw std::runtime_error(kGammlnBadArg);
  if (std::isinf(x)) return x;  // the formula gives inf - inf
  double tmp = x + kLanczosShift;
  tmp = (x + 0.5) * std::log(tmp) - tmp;
  double ser = kLanczosC0;
  double y = x;
  for (double c : kLanczos) ser += c / ++y;
  if (x < kGammlnSplitBelow) return tmp + std::log(kSqrtTwoPi * ser) - std::log(x);
  return tmp + std::log(kSqrtTwoPi * ser / x);
}

double gammp(IncompleteGamma& record, double a, double x) {
  if (x < 0.0 || a <= 0.0) throw std::runtime_error(kGammpBadArgs);
  requireFinite(a, x);
  if (x == 0.0) return 0.0;
  // The shape truncated towards zero is >= ASWITCH exactly when a >= ASWITCH (a > 0); comparing
  // the double avoids the undefined conversion of shapes beyond the int range.
  if (a >= ASWITCH) return gammpQuadrature(record, a, x);
  if (x < a + 1.0) return gammaSeries(record, a, x);
  return 1.0 - gammaContFrac(record, a, x);
}

double gammaSeries(IncompleteGamma& record, double a, double x) {
  requireFinite(a, x);
  record.lastLogGamma = gammln(a);
  double ap = a;
  double del = 1.0 / a;
  double sum = del;
  for (;;) {
    ++ap;
    del *= x / ap;
    sum += del;
    if (std::fabs(del) < std::fabs(sum) * EPS) break;
    // Far beyond x = a + 1 (or for a subnormal a) the terms overflow and the test never holds.
    if (!std::isfinite(sum)) throw std::runtime_error(kIncompleteGammaDiverged);
  }
  return sum * std::exp(-x + a * std::log(x) - record.lastLogGamma);
}

double gammaContFrac(IncompleteGamma& record, double a, double x) {
  requireFinite(a, x);
  record.lastLogGamma = gammln(a);
  double b = x + 1.0 - a;
  double c = 1.0 / FPMIN;
  double d = 1.0 / b;
  double h = d;
  // A double counter: exact far beyond any int range, and an = -i (i - a) cannot overflow an int.
  for (double i = 1.0;; ++i) {
    const double an = -i * (i - a);
    b += 2.0;
    d = an * d + b;
    if (std::fabs(d) < FPMIN) d = FPMIN;
    c = b + an / c;
    if (std::fabs(c) < FPMIN) c = FPMIN;
    d = 1.0 / d;
    const double del = d * c;
    h *= del;
    if (std::fabs(del - 1.0) <= EPS) break;
    // Only reachable below x = a + 1 (b = 0 gives an infinite start): stop instead of spinning.
    if (std::isnan(h)) throw std::runtime_error(kIncompleteGammaDiverged);
  }
  if (std::isnan(h)) throw std::runtime_error(kIncompleteGammaDiverged);
  return std::exp(-x + a * std::log(x) - record.lastLogGamma) * h;
}

double gammpQuadrature(IncompleteGamma& record, double a, double x) {
  requireFinite(a, x);
  const double a1 = a - 1.0;
  const double lna1 = std::log(a1);
  const double s = std::sqrt(a1);
  record.lastLogGamma = gammln(a);
  double xu;
  if (x > a1) {
    xu = std::max(a1 + kQuadUpperTail * s, x + kQuadUpperPastX * s);
  } else {
    xu = std::max(0.0, std::min(a1 - kQuadLowerTail * s, x - kQuadLowerPastX * s));
  }
  double sum = 0.0;
  for (int j = 0; j < kGaussLegendreHalf; ++j) {
    const double t = x + (xu - x) * kGaussLegendreY[j];
    sum += kGaussLegendreW[j] * std::exp(-(t - a1) + a1 * (std::log(t) - lna1));
  }
  const double ans = sum * (xu - x) * std::exp(a1 * (lna1 - 1.0) - record.lastLogGamma);
  // Above the mode the integral is the upper tail Q, below it (negative length) minus P. The side
  // is taken from x itself, not from the sign of ans: far in either tail ans underflows to 0, and
  // its sign would then send P(a, x) = 1 to 0. 0.0 - ans rather than -ans: +0, not -0.
  return x > a1 ? 1.0 - ans : 0.0 - ans;
}

double invgammap(IncompleteGamma& record, double p, double a) {
  const double a1 = a - 1.0;
  record.lastLogGamma = gammln(a);
  if (std::isnan(p) || std::isinf(a)) throw std::runtime_error(kIncompleteGammaNotFinite);
  const double gln = record.lastLogGamma;
  if (p >= 1.0) return std::max(100.0, a + 100.0 * std::sqrt(a));
  if (p <= 0.0) return 0.0;

  double x;
  double lna1 = 0.0;
  double afac = 0.0;
  if (a > 1.0) {
    lna1 = std::log(a1);
    afac = std::exp(a1 * (lna1 - 1.0) - gln);
    const double pp = p < 0.5 ? p : 1.0 - p;
    const double t = std::sqrt(-2.0 * std::log(pp));
    // Abramowitz-Stegun 26.2.22 for the normal quantile, then Wilson-Hilferty (26.4.17).
    x = (2.30753 + t * 0.27061) / (1.0 + t * (0.99229 + t * 0.04481)) - t;
    if (p < 0.5) x = -x;
    x = std::max(1e-3, a * std::pow(1.0 - 1.0 / (9.0 * a) - x / (3.0 * std::sqrt(a)), 3.0));
  } else {
    // Small shapes: P(a, x) ~ x^a / Gamma(a + 1) below t, an exponential tail above it.
    const double t = 1.0 - a * (0.253 + a * 0.12);
    if (p < t) {
      x = std::pow(p / t, 1.0 / a);
    } else {
      x = 1.0 - std::log(1.0 - (p - t) / (1.0 - t));
    }
  }

  // Halley's method on P(a, x) - p, whose derivative is the gamma density.
  for (int iter = 0; iter < kInvGammaMaxIterations; ++iter) {
    if (x <= 0.0) return 0.0;
    const double err = gammp(record, a, x) - p;
    double t;
    if (a > 1.0) {
      t = afac * std::exp(-(x - a1) + a1 * (std::log(x) - lna1));
    } else {
      t = std::exp(-x + a1 * std::log(x) - gln);
    }
    const double u = err / t;
    t = u / (1.0 - 0.5 * std::min(1.0, u * ((a - 1.0) / x - 1.0)));
    x -= t;
    if (x <= 0.0) x = 0.5 * (x + t);
    if (std::fabs(t) < kInvGammaRelTol * x) break;
  }
  return x;
}

Gammadist::Gammadist(double alph, double bet) : alph(alph), bet(bet) {
  // Written as !(> 0) so that a NaN parameter is refused too.
  if (!(alph > 0.0) || !(bet > 0.0)) throw kGammadistBadParams;
}

double Gammadist::quantile(double p) {
  if (p < 0.0 || p >= 1.0) throw std::runtime_error(kGammadistBadP);
  return invgammap(*this, p, alph) / bet;
}

double logGammaSeries(const double (&cof)[6], double x) {
  if (x <= 0.0) throw std::runtime_error(kLogGammaBadArg);
  double ser = 1.000000000190015;
  double y = x;
  for (double c : cof) ser += c / ++y;
  const double tmp = x + 5.5;
  return std::log(kSqrtTwoPi * ser / x) - (tmp - (x + 0.5) * std::log(tmp));
}

double nonCentralChiSquareCdf(const NonCentralChiSquareFunctor& functor, double x) {
  if (x <= 0.0) return 0.0;
  const double k = functor.k;
  const double lambda = functor.lambda;
  if (!std::isfinite(x) || !std::isfinite(k) || !std::isfinite(lambda) ||
      !std::isfinite(functor.p)) {
    throw std::runtime_error(kNcx2NotFinite);
  }
  // Standard g = 5 Lanczos set for logGammaSeries.
  const double cof[6] = {76.18009172947146,
                         -86.50532032941678,
                         24.01409824083091,
                         -1.231739572450155,
                         0.001208650973866179,
                         -5.395239384953e-06};

  // u: Poisson(lambda/2) probability of n, v: its cumulative sum, t: the central term
  // (x/2)^(k/2+n) exp(-x/2) / Gamma(k/2+n+1), so that P(X <= x) = sum_n v_n t_n.
  double u = std::exp(-0.5 * lambda);
  double v = u;
  const double x2 = 0.5 * x;
  const double f2 = 0.5 * k;
  double fx = k - x;
  double t;
  if (f2 * EPS > 0.125 && std::fabs(x2 - f2) < std::sqrt(EPS) * f2) {
    // Huge k with x near k: the logarithmic form below cancels to nothing. Stirling's formula
    // gives the term as a Gaussian in x2 - f2 (relative error of order 1/f2 + (x2 - f2)^3/f2^2).
    const double dx = x2 - f2;
    t = std::exp(-0.5 * dx * dx / f2) / std::sqrt(2.0 * kPi * (f2 + 1.0));
  } else {
    t = std::exp(f2 * std::log(x2) - x2 - logGammaSeries(cof, f2 + 1.0));
  }
  double sum = v * t;
  int n = 1;
  double f2n = k + 2.0;
  fx += 2.0;
  double bound = 0.0;

  // While k - x + 2n <= 0 the terms may still grow; once it is positive they fall at least
  // geometrically and t x / (k - x + 2n) bounds what is left of the sum.
  bool pastPeak = false;
  for (;;) {
    if (!pastPeak && fx > 0.0) pastPeak = true;
    if (pastPeak) {
      bound = t * x / fx;
      if (bound <= kNcx2Tolerance || n > kNcx2MaxTerms) break;
    }
    u *= 0.5 * lambda / n;
    v += u;
    t *= x / f2n;
    sum += v * t;
    ++n;
    f2n += 2.0;
    fx += 2.0;
    if (!pastPeak && n > kNcx2MaxTerms) {
      // Term limit reached with x still beyond k + 2n: the bound is negative.
      bound = t * x / fx;
      break;
    }
  }
  if (bound > kNcx2Tolerance) throw std::runtime_error(kNcx2NotConverged);
  return sum - functor.p;
}

}  // namespace serivane
