#ifndef SERIVANE_CORE_BRENT_H_
#define SERIVANE_CORE_BRENT_H_

#include <cmath>
#include <stdexcept>

#include "core/failure_messages.h"

namespace serivane {

// Brent's bracketing root finder: inverse quadratic interpolation, secant step and bisection.
// R. P. Brent, "Algorithms for Minimization without Derivatives" (1973), ch. 4.
//
// Finds a root of f between x1 (lower end) and x2 (upper end) to tolerance tol. The functor is only
// read; its call operator gives the value at a point, and whatever it throws passes through.
// Throws std::runtime_error "Root must be bracketed in Brent solver" when f(x1) and f(x2) have the
// same strict sign (a zero at either end passes), and "Maximum number of iterations exceeded in
// Brent solver" after 1000 iterations. A NaN value anywhere throws "Function value is not a number
// in Brent solver": the classical iteration would return the upper end as if it were a root.
template <class Functor>
double brentSolve(const Functor& f, double x1, double x2, double tol) {
  constexpr int kMaxIterations = 1000;
  // Machine epsilon of double: the stopping test resolves b to about 2 ulps.
  constexpr double kEps = 2.220446049250313e-16;

  double a = x1, b = x2, c = x2;
  double fa = f(a), fb = f(b);
  if (std::isnan(fa) || std::isnan(fb)) {
    throw std::runtime_error("Function value is not a number in Brent solver");
  }
  if ((fa > 0.0 && fb > 0.0) || (fa < 0.0 && fb < 0.0)) {
    throw std::runtime_error(kBracketMessage);
  }
  double fc = fb;
  double d = 0.0, e = 0.0;
  for (int iter = 0; iter < kMaxIterations; ++iter) {
    if ((fb > 0.0 && fc > 0.0) || (fb < 0.0 && fc < 0.0)) {
      c = a;
      fc = fa;
      e = d = b - a;
    }
    if (std::fabs(fc) < std::fabs(fb)) {
      a = b;
      b = c;
      c = a;
      fa = fb;
      fb = fc;
      fc = fa;
    }
    const double tol1 = 2.0 * kEps * std::fabs(b) + 0.5 * tol;
    const double xm = 0.5 * (c - b);
    if (std::fabs(xm) <= tol1 || fb == 0.0) return b;
    if (std::fabs(e) >= tol1 && std::fabs(fa) > std::fabs(fb)) {
      const double s = fb / fa;
      double p, q;
      if (a == c) {
        p = 2.0 * xm * s;
        q = 1.0 - s;
      } else {
        q = fa / fc;
        const double r = fb / fc;
        p = s * (2.0 * xm * q * (q - r) - (b - a) * (r - 1.0));
        q = (q - 1.0) * (r - 1.0) * (s - 1.0);
      }
      if (p > 0.0) q = -q;
      p = std::fabs(p);
      const double min1 = 3.0 * xm * q - std::fabs(tol1 * q);
      const double min2 = std::fabs(e * q);
      if (2.0 * p < (min1 < min2 ? min1 : min2)) {
        e = d;
        d = p / q;
      } else {
        d = xm;
        e = d;
      }
    } else {
      d = xm;
      e = d;
    }
    a = b;
    fa = fb;
    if (std::fabs(d) > tol1) {
      b += d;
    } else {
      b += (xm >= 0.0 ? tol1 : -tol1);
    }
    fb = f(b);
    if (std::isnan(fb)) throw std::runtime_error("Function value is not a number in Brent solver");
  }
  throw std::runtime_error("Maximum number of iterations exceeded in Brent solver");
}

}  // namespace serivane

#endif  // SERIVANE_CORE_BRENT_H_
