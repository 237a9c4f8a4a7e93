// Upper end Vmax of the variance axis, from the law of the variance:
// - model 1, dv = kappa (vL - v) dt + xi v dW: the stationary law is inverse gamma with shape
//   2 kappa / xi^2 + 1 and scale 2 kappa vL / xi^2 (the zero-flux solution of the Fokker-Planck
//   equation; D. B. Nelson, "ARCH models as diffusion approximations", J. Econometrics 45 (1990));
// - model 0, the square-root variance: v_t / c is non-central chi-square with k = 4 kappa vL / xi^2
//   degrees of freedom and non-centrality lambda, c = xi^2 (1 - exp(-kappa t)) / (4 kappa).
//   W. Feller, "Two singular diffusion problems", Ann. Math. 54 (1951); J. C. Cox, J. E. Ingersoll,
//   S. A. Ross, "A theory of the term structure of interest rates", Econometrica 53 (1985).
// A bound that leaves v0 too close to the top gives way to a simpler one.
#include <algorithm>
#include <cmath>
#include <exception>
#include <stdexcept>

#include "core/brent.h"
#include "core/qel_heston_vanilla.h"
#include "core/special_functions.h"

namespace serivane {

namespace {

// Mean-reversion speeds below this are replaced by it: the laws degenerate at kappa = 0.
constexpr double kMinKappa = 1e-10;
// v0 above this share of Vmax would leave too few variance nodes above the start point.
constexpr double kMaxCoverageShare = 0.9;
// Quantile level of the chi-square bound, and the tolerance of its root.
constexpr double kNcx2Level = 0.9999;
constexpr double kNcx2Tol = 1e-6;
constexpr int kMaxDoublings = 1000;

}  // namespace

double QelHestonVanilla::calcVMax(double t) const {
  if (varRange < 0.0) return std::max(-varRange, 3.0 * std::max(v0, vL));
  if (varRange >= 1.0 || model == 0) return calcVMaxNcx2(t);
  return calcVMaxGamma(t);
}

double QelHestonVanilla::calcVMaxGamma(double t) const {
  if (t == 0.0) t = T;
  const double kappa = std::max(theta, kMinKappa);
  const double xi2 = volvol * volvol;
  const double alph = 2.0 * kappa / xi2 + 1.0;
  const double bet = 1.0 / (xi2 / (2.0 * kappa * vL));
  // Throws the const char* "bad alph,bet in Gammadist" for vL <= 0: it is meant to pass.
  Gammadist gamma(alph, bet);
  try {
    // The upper varRange-quantile of v = 1/g is 1/(the lower one of the gamma law of g).
    const double vq = 1.0 / gamma.quantile(1.0 - varRange);
    // Short horizons: the law has not spread yet, so shrink the bound (down to 2% of it).
    const double m = std::min(1.0, (kappa * t - 0.25) / 2.5);
    const double vmax = m * vq > 0.02 * vq ? m * vq : 0.02 * vq;
    if (v0 / vmax > kMaxCoverageShare) throw std::runtime_error(kCoverageMessage);
    return vmax;
  } catch (const std::exception&) {
    return calcVMaxNcx2(t);
  }
}

double QelHestonVanilla::calcVMaxNcx2(double t) const {
  if (t == 0.0) t = T;
  const double kappa = std::max(theta, kMinKappa);
  const double xi2 = volvol * volvol;
  double vq;
  try {
    const double e = std::exp(-kappa * t);
    NonCentralChiSquareFunctor law{
        4.0 * kappa * vL / xi2, 4.0 * kappa * e * v0 / (xi2 * (1.0 - e)), 0.0};
    const double c = xi2 * (1.0 - e) / (4.0 * kappa);
    // Bracket the quantile by doubling from the mean k + lambda; with p = 0 the functor is the
    // distribution function itself.
    double x = law.k + law.lambda;
    int doublings = 0;
    while (doublings < kMaxDoublings && law(x) < kNcx2Level) {
      x *= 2.0;
      ++doublings;
    }
    law.p = kNcx2Level;
    const double root = brentSolve(law, doublings == 0 ? 0.0 : x / 2.0, x, kNcx2Tol);
    vq = root * c;
    if (v0 / vq > kMaxCoverageShare) throw std::runtime_error(kCoverageMessage);
  } catch (const std::exception&) {
    // The larger start point plus four standard deviations of the stationary law.
    vq = std::max(vL, v0) + 4.0 * volvol * std::sqrt(vL / (2.0 * kappa));
  }
  // Safety factors: extreme volatility of variance, and the heavier tail of variance diffusion.
  if (volvol > 0.4 || volvol < 0.04) vq *= 1.35;
  if (model == 1) {
    vq *= 1.111111111111111;
    vq *= std::max(2.0 * volvol, 1.0);
  }
  if (varRange >= 0.5) vq *= varRange;
  return std::max(vq, 3.0 * std::max(v0, vL));
}

}  // namespace serivane
