// Upper end Vmax of the variance axis, from the law of the variance:
// - model 1, dv = kappa (vL - v) dt + xi v dW: the stationary law is inverse gamma with shape
//   2 kappa / xi^2 + 1 and scale 2 kappa vL / xi^2 (the zero-flux solution of the Fokker-Planck
//   equation; D. B. Nelson, "ARCH models as diffusion approximations", J. Econometrics 45 (1990));
// - model 0, the square-root variance: v_t / c is non-central chi-square with k = 4 kappa vL / xi^2
//   degrees of freedom and non-centrality lambda, c = xi^2 (1 - exp(-kappa t)) / (4 kappa).
//   W. Feller, "Two singular diffusion problems", Ann. Math. 54 (1951); J. C. Cox, J. E. Ingersoll,
//   S. A. Ross, "A theory of the term structure of interest rates", Econometrica 53 (1985).
// A bound that leaves v0 too close to the top gives way to a simpler one.
//
// The stationary law says nothing about where the variance goes from v0 before the option
// expires: v0 far above vBar, or a large xi over a short horizon, take it well beyond the
// stationary quantile scaled to the horizon. The inverse-gamma bound is therefore raised, where it
// falls short, to the range that the variance path from v0 needs (pathCoverageNeed). For
//   dv = kappa (vL - v) dt + xi v dW
// the solution from v0 is, with X_u = -a u + xi W_u and a = kappa + xi^2 / 2,
//   v_s = v0 e^(X_s) + kappa vL int_0^s e^(X_s - X_u) du,
// a lognormal start term plus a term that never exceeds the stationary solution
// kappa vL int_(-inf)^s e^(X_s - X_u) du, whose law is the stationary inverse gamma. At a level q:
//   (o)  the start term alone has the exact quantile L_s = v0 e^(-a s + xi sqrt(s) z_q), z_q the
//        normal quantile: the variance's own quantile is never below it;
//   (i)  v_s <= [v0 e^(-a s) + kappa vL (1 - e^(-a s)) / a] e^(xi M_s), with
//        M_s = max_u (W_s - W_u) distributed as |W_s| (reflection principle), at its quantile;
//   (ii) v_s <= v0 e^(-a s + xi sqrt(s) z) + the stationary quantile, the two tails (1 - q) / 2
//        each (a union bound).
// (i) and (ii) hold for every s, so their smaller value U_s bounds the quantile from above, L_s
// from below; their largest values over s <= t cover the whole path. The prices do not need the
// whole quantile: the grid's zero-slope top boundary is the limit of the price for large variance,
// and the paths beyond the top cost little. Measured against doubled ranges, a range of a quarter
// to half of the path's quantile leaves the implied volatility within 0.2 bp (v0 0.04, vL 0.05,
// kappa 2, xi 1.2, half a year, 0.9999: a range of 0.22 against the quantile 0.40; v0 0.15,
// vL 0.011, kappa 0.22, xi 0.53, three years, 0.9999975: 0.82 against 3.4), where an eighth of it
// or less does not (xi 16 over 20 days: hundreds of basis points). The range is raised to at
// least kStartShare L and kUnionShare U, and to kPathCoverageFloor max(v0, vL), the floor of the
// other bounds, which leaves the variance grid room above v0 for its uniform part (below about
// 2 v0 the grid cannot be fitted). The bounds are the GARCH diffusion's; a power-law pricer
// (xi v^p) takes them as they are, as its single-strike solvers do (its pricings in the
// calibration and the objectives take explicit bounds from the 1-D variance law, capped at the
// stationary quantile where that covers this need and raised past it where it does not:
// expiryVarianceBound).
#include "core/variance_bounds.h"

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
// The path bounds are the largest of their values at these many equally spaced times up to t and
// at the times where their exponents peak.
constexpr int kPathCoverageTimes = 64;
// The shares of the start term's quantile and of the union bound the range must reach, its floor
// and its cap in units of max(v0, vL) (the cap about the widest range the variance grids lay out).
constexpr double kStartShare = 0.5;
constexpr double kUnionShare = 0.2;
constexpr double kPathCoverageFloor = 3.0;
constexpr double kPathCoverageCap = 1e5;

}  // namespace

// The variance range the path from v0 up to the horizon t needs at level q, as described above,
// or 0 when none can be had (q outside (0, 1), a parameter that is not positive).
double pathCoverageNeed(double q, double t, double v0, double vL, double kappa, double xi) {
  if (!(q > 0.0 && q < 1.0) || !(t > 0.0) || !(v0 > 0.0) || !(vL > 0.0) || !(xi >= 0.0)) {
    return 0.0;
  }
  // zTwo with P(|Z| > zTwo) = 1 - q, which is also the one-sided quantile of level
  // 1 - (1 - q) / 2, and the one-sided zOne of level q: Z^2 / 2 is gamma distributed with shape
  // 1/2.
  IncompleteGamma rec;
  const double zTwo = std::sqrt(2.0 * invgammap(rec, q, 0.5));
  const double zOne = q > 0.5 ? std::sqrt(2.0 * invgammap(rec, 2.0 * q - 1.0, 0.5)) : 0.0;
  double stationary = HUGE_VAL;
  if (xi > 0.0) {
    try {
      Gammadist law(2.0 * kappa / (xi * xi) + 1.0, 2.0 * kappa * vL / (xi * xi));
      stationary = 1.0 / law.quantile(0.5 * (1.0 - q));
    } catch (...) {
      stationary = HUGE_VAL;
    }
    if (!(stationary > 0.0)) stationary = HUGE_VAL;
  }
  const double a = kappa + 0.5 * xi * xi;
  double lower = 0.0;
  double upper = 0.0;
  // The times: the equally spaced ones, then where -a s + xi sqrt(s) z is largest for either z.
  for (int k = 1; k <= kPathCoverageTimes + 2; ++k) {
    const double zk = k == kPathCoverageTimes + 1 ? zOne : zTwo;
    const double s = k <= kPathCoverageTimes ? t * k / kPathCoverageTimes
                                             : std::min(t, std::pow(xi * zk / (2.0 * a), 2.0));
    if (!(s > 0.0)) continue;
    const double decay = std::exp(-a * s);
    const double spread = std::exp(xi * std::sqrt(s) * zTwo);
    const double reflected = (v0 * decay + kappa * vL * (1.0 - decay) / a) * spread;
    const double split = v0 * decay * spread + stationary;
    upper = std::max(upper, std::min(reflected, split));
    lower = std::max(lower, v0 * decay * std::exp(xi * std::sqrt(s) * zOne));
  }
  const double scale = std::max(v0, vL);
  double need = std::max(kStartShare * lower, kUnionShare * upper);
  if (!std::isfinite(need)) need = kPathCoverageCap * scale;
  return std::clamp(need, kPathCoverageFloor * scale, kPathCoverageCap * scale);
}

double QelHestonVanilla::calcVMax(double t) const {
  if (varRange < 0.0) return std::max(-varRange, 3.0 * std::max(v0, vL));
  if (varRange >= 1.0 || model == 0) return calcVMaxNcx2(t);
  return calcVMaxGamma(t);
}

double QelHestonVanilla::calcVMaxGamma(double t) const {
  if (t == 0.0) t = T;
  const double vmax = calcVMaxStationary(t);
  if (!(varRange > 0.0 && varRange < 1.0)) return vmax;
  // Where the stationary bound already gives the path from v0 the range it needs, it stands.
  const double need = pathCoverageNeed(varRange, t, v0, vL, std::max(theta, kMinKappa), volvol);
  return vmax >= need ? vmax : need;
}

double QelHestonVanilla::calcVMaxStationary(double t) const {
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
