#include "core/table_function.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace serivane {

namespace {

// Results that report misuse of the integrals; callers test for them.
constexpr double kOddOrReversed = -999.0;
constexpr double kOutsideTable = -998.0;

}  // namespace

table_function::table_function(const std::valarray<double>& xs,
                               const std::valarray<double>& ys,
                               bool naturalEnds)
    : x(xs),
      y(ys),
      a(0.0, xs.size()),
      b(0.0, xs.size()),
      c(0.0, xs.size()),
      d(0.0, xs.size()),
      h(0.0, xs.size()),
      n(static_cast<std::int32_t>(xs.size())),
      dirty(true),
      natural(naturalEnds) {
  if (ys.size() != xs.size()) throw std::invalid_argument("table_function: x and y sizes differ");
  if (n < 2) throw std::invalid_argument("table_function: fewer than 2 knots");
  for (std::int32_t i = 0; i + 1 < n; ++i) {
    h[i] = x[i + 1] - x[i];
    // Written as !(h > 0) so that NaN knots are refused too.
    if (!(h[i] > 0.0)) {
      throw std::invalid_argument("table_function: knots not strictly increasing");
    }
  }
}

void table_function::solveTridiagonal(std::int32_t m,
                                      const double* sub,
                                      const double* diag,
                                      const double* sup,
                                      const double* rhs,
                                      double* out) {
  if (m < 1) return;
  // Work arrays sized to the system: tables of any size are served.
  std::vector<double> w(m), g(m);
  w[0] = diag[0];
  g[0] = rhs[0] / diag[0];
  for (std::int32_t k = 1; k < m; ++k) {
    w[k] = diag[k] - sub[k] * sup[k - 1] / w[k - 1];
    g[k] = (rhs[k] - sub[k] * g[k - 1]) / w[k];
  }
  out[m] = g[m - 1];
  for (std::int32_t k = m - 2; k >= 0; --k) out[k + 1] = g[k] - (sup[k] / w[k]) * out[k + 2];
}

void table_function::calcCoefficients() {
  std::vector<double> e(n, 0.0), M(n, 0.0);
  for (std::int32_t i = 0; i + 1 < n; ++i) e[i] = y[i + 1] - y[i];

  if (n == 2) {
    // A single segment: the straight line (both end conditions agree on it).
  } else if (n == 3 && !natural) {
    // Not-a-knot on three knots joins the two segments into one cubic through three points, made
    // unique as the parabola through them: constant curvature twice its leading coefficient.
    const double q = 2.0 * (e[1] / h[1] - e[0] / h[0]) / (h[0] + h[1]);
    M[0] = M[1] = M[2] = q;
  } else {
    const std::int32_t m = n - 2;
    std::vector<double> sub(m), diag(m), sup(m), rhs(m);
    for (std::int32_t r = 0; r < m; ++r) {
      sub[r] = h[r];
      diag[r] = 2.0 * (h[r] + h[r + 1]);
      sup[r] = h[r + 1];
      rhs[r] = 6.0 * (e[r + 1] / h[r + 1] - e[r] / h[r]);
    }
    if (!natural) {
      diag[0] += (h[0] + h[1]) * h[0] / h[1];
      sup[0] -= h[0] * h[0] / h[1];
      diag[n - 3] += (h[n - 2] + h[n - 3]) * h[n - 2] / h[n - 3];
      sub[n - 3] -= h[n - 2] * h[n - 2] / h[n - 3];
    }
    solveTridiagonal(m, sub.data(), diag.data(), sup.data(), rhs.data(), M.data());
    if (!natural) {
      M[0] = ((h[0] + h[1]) / h[1]) * M[1] - (h[0] / h[1]) * M[2];
      M[n - 1] = ((h[n - 2] + h[n - 3]) / h[n - 3]) * M[n - 2] - (h[n - 2] / h[n - 3]) * M[n - 3];
    }
  }

  for (std::int32_t i = 0; i + 1 < n; ++i) {
    a[i] = (M[i + 1] - M[i]) / (6.0 * h[i]);
    b[i] = M[i] / 2.0;
    c[i] = e[i] / h[i] - (2.0 * h[i] * M[i] + h[i] * M[i + 1]) / 6.0;
    d[i] = y[i];
  }
  dirty = false;
}

double table_function::segmentIntegral(std::int32_t k, double s) const {
  return ((((a[k] / 4.0) * s + b[k] / 3.0) * s + c[k] / 2.0) * s + d[k]) * s;
}

std::int32_t table_function::segmentOf(double t) const {
  // The smallest k >= 1 with t <= x_k, minus 1: a limit on an inner knot belongs to the segment
  // that ends there.
  const double* first = &x[0] + 1;
  const double* last = &x[0] + n;
  const double* it = std::lower_bound(first, last, t);
  if (it == last) --it;
  return static_cast<std::int32_t>(it - &x[0]) - 1;
}

double table_function::integrate(bool exact) {
  if (exact) {
    if (dirty) calcCoefficients();
    double sum = 0.0;
    for (std::int32_t i = 0; i + 1 < n; ++i) sum += segmentIntegral(i, h[i]);
    return sum;
  }
  const std::int32_t m = n - 1;
  if (m % 2 != 0) return kOddOrReversed;
  double sum = y[0] + y[m];
  for (std::int32_t i = 1; i < m; ++i) sum += (i % 2 == 1 ? 4.0 : 2.0) * y[i];
  return sum * (x[1] - x[0]) / 3.0;
}

double table_function::integrateBetween(double u, double v) {
  const double lo = x[0], hi = x[n - 1];
  // Written so that a NaN limit counts as outside the table.
  if (!(u >= lo && u <= hi) || !(v >= lo && v <= hi)) return kOutsideTable;
  if (u > v) return kOddOrReversed;
  if (u == x[0] && v == x[1]) return (y[0] + y[1]) / 2.0 * (v - u);
  if (dirty) calcCoefficients();
  const std::int32_t i = segmentOf(u);
  const std::int32_t j = segmentOf(v);
  if (i == j) return segmentIntegral(i, v - x[i]) - segmentIntegral(i, u - x[i]);
  double sum = segmentIntegral(i, h[i]) - segmentIntegral(i, u - x[i]);
  for (std::int32_t k = i + 1; k < j; ++k) sum += segmentIntegral(k, h[k]);
  return sum + segmentIntegral(j, v - x[j]);
}

}  // namespace serivane
