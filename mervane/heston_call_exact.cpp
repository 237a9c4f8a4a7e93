// The Heston call of libmervane by the single-integral representation of A. L. Lewis, "Option
// Valuation under Stochastic Volatility" (2000), ch. 2, also in A. Lipton, "The vol smile
// problem", Risk (February 2002):
//   C = e^{-rT} [ F - sqrt(F K) / pi * I ],  I = int_0^inf Re(e^{i w k} psi(w - i/2)) / (w^2 + 1/4)
//   dw
// with F = S e^{bT} the forward, k = ln(F / K) and psi the characteristic function of
// X = ln(S_T / F). On the line u = w - i/2 the factor u^2 + i u is the real w^2 + 1/4, and the
// integrand is smooth and bounded on the whole half-line. psi is taken in the form of
// H. Albrecher, P. Mayer, W. Schoutens, J. Tistaert, "The little Heston trap", Wilmott Magazine
// (January 2007), which stays on the principal branch of the complex logarithm.
//
// The integral is computed by the exp-sinh (double-exponential) rule of H. Takahasi, M. Mori,
// "Double exponential formulas for numerical integration", Publ. RIMS 9 (1974): w = exp(pi/2
// sinh t) and the trapezoidal rule in t, the step halved until two levels agree.
#include <cmath>
#include <complex>
#include <limits>

#include "mervane/mervane.h"

namespace {

using cplx = std::complex<double>;

constexpr double kPi = 3.14159265358979323846;
constexpr double kHalfPi = kPi / 2.0;
// exp(pi/2 sinh(4.5)) is about e^70: the integrand is negligible beyond both ends of [-4.5, 4.5].
constexpr double kTMax = 4.5;
// The trapezoidal rule converges double-exponentially in 1/h: the difference of two levels is the
// error of the coarser one, and the finer one is far better than that.
constexpr double kLevelTolerance = 1e-14;
constexpr int kMinLevels = 3;
constexpr int kMaxLevels = 12;

struct Model {
  double v0, vL, kappa, sigma, rho, T;
};

// psi(w - i/2) for the Heston model with mean-reversion speed kappa, long-run variance vL,
// volatility of variance sigma and correlation rho.
cplx psiShifted(const Model& m, double w) {
  const double s2 = m.sigma * m.sigma;
  const double q = w * w + 0.25;  // u^2 + i u at u = w - i/2
  const cplx beta(m.kappa - 0.5 * m.rho * m.sigma, -m.rho * m.sigma * w);
  const cplx dd = std::sqrt(beta * beta + s2 * q);
  const cplx g = (beta - dd) / (beta + dd);
  const cplx e = std::exp(-dd * m.T);
  const cplx D = (beta - dd) / s2 * (1.0 - e) / (1.0 - g * e);
  const cplx C =
      m.kappa * m.vL / s2 * ((beta - dd) * m.T - 2.0 * std::log((1.0 - g * e) / (1.0 - g)));
  return std::exp(C + D * m.v0);
}

double integrand(const Model& m, double k, double w) {
  const cplx z = std::exp(cplx(0.0, w * k)) * psiShifted(m, w);
  return z.real() / (w * w + 0.25);
}

// Trapezoidal sum of the mapped integrand at t = j h, |t| <= kTMax: all j, or only the odd j (the
// points a halved step adds).
double mappedSum(const Model& m, double k, double h, bool oddOnly) {
  const int jMax = static_cast<int>(kTMax / h);
  double sum = 0.0;
  for (int j = -jMax; j <= jMax; ++j) {
    if (oddOnly && j % 2 == 0) continue;
    const double t = j * h;
    const double w = std::exp(kHalfPi * std::sinh(t));
    const double dw = w * kHalfPi * std::cosh(t);
    sum += integrand(m, k, w) * dw;
  }
  return sum;
}

// The Lewis integral I; NaN when the levels do not agree.
double lewisIntegral(const Model& m, double k) {
  double h = 0.5;
  double sum = mappedSum(m, k, h, false);
  double estimate = h * sum;
  for (int level = 1; level <= kMaxLevels; ++level) {
    h /= 2.0;
    sum += mappedSum(m, k, h, true);
    const double next = h * sum;
    if (!std::isfinite(next)) return std::numeric_limits<double>::quiet_NaN();
    const bool settled = std::fabs(next - estimate) <= kLevelTolerance * std::fabs(next);
    estimate = next;
    if (settled && level >= kMinLevels) return estimate;
  }
  return std::numeric_limits<double>::quiet_NaN();
}

double normalCdf(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }

// Deterministic variance (volvol 0): Black-Scholes with the integrated variance, before the
// dividend discount.
double deterministicVarianceCall(double S, double K, const Model& m, double b) {
  const double W = m.kappa > 0.0
                       ? m.vL * m.T + (m.v0 - m.vL) * (1.0 - std::exp(-m.kappa * m.T)) / m.kappa
                       : m.v0 * m.T;
  const double strikeToday = K * std::exp(-b * m.T);
  if (!(W > 0.0)) return std::fmax(S - strikeToday, 0.0);
  const double sd = std::sqrt(W);
  const double d1 = (std::log(S / K) + b * m.T + 0.5 * W) / sd;
  return S * normalCdf(d1) - strikeToday * normalCdf(d1 - sd);
}

}  // namespace

extern "C" MERVANE_API double HestonCall_exact(double S,
                                               double K,
                                               double T,
                                               double b,
                                               double v0,
                                               double vL,
                                               double theta,
                                               double volvol,
                                               double rho) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (double x : {S, K, T, b, v0, vL, theta, volvol, rho}) {
    if (!std::isfinite(x)) return nan;
  }
  if (!(S > 0.0) || !(K > 0.0) || T < 0.0 || v0 < 0.0 || vL < 0.0 || theta < 0.0 || volvol < 0.0 ||
      std::fabs(rho) > 1.0) {
    return nan;
  }
  if (T == 0.0) return std::fmax(S - K, 0.0);
  const Model m{v0, vL, theta, volvol, rho, T};
  if (volvol == 0.0) return deterministicVarianceCall(S, K, m, b);
  // e^{dT} C = S - sqrt(S K) e^{-bT/2} I / pi, with k = ln(S / K) + bT.
  const double I = lewisIntegral(m, std::log(S / K) + b * T);
  return S - std::sqrt(S * K) * std::exp(-0.5 * b * T) * I / kPi;
}
