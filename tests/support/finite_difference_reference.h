#ifndef SERIVANE_TESTS_SUPPORT_FINITE_DIFFERENCE_REFERENCE_H_
#define SERIVANE_TESTS_SUPPORT_FINITE_DIFFERENCE_REFERENCE_H_

#include <cmath>
#include <utility>
#include <vector>

namespace serivane {

// Building blocks of the reference schemes that the solver tests write out from the
// finite-difference definitions, independent of the solvers' own code.

// Dense Gaussian elimination with partial pivoting: the solution of A x = b (n small).
inline std::vector<double> denseSolve(std::vector<std::vector<double>> A, std::vector<double> b) {
  const int n = static_cast<int>(b.size());
  for (int c = 0; c < n; ++c) {
    int piv = c;
    for (int r = c + 1; r < n; ++r)
      if (std::fabs(A[r][c]) > std::fabs(A[piv][c])) piv = r;
    std::swap(A[c], A[piv]);
    std::swap(b[c], b[piv]);
    for (int r = c + 1; r < n; ++r) {
      const double f = A[r][c] / A[c][c];
      for (int k = c; k < n; ++k) A[r][k] -= f * A[c][k];
      b[r] -= f * b[c];
    }
  }
  std::vector<double> x(n);
  for (int r = n - 1; r >= 0; --r) {
    double s = b[r];
    for (int k = r + 1; k < n; ++k) s -= A[r][k] * x[k];
    x[r] = s / A[r][r];
  }
  return x;
}

// Three-point weights on a non-uniform axis with spacings hm (left) and hp (right): order 2 the
// second derivative (alpha, gamma), order 1 the first (beta, delta); which -1, 0, +1.
inline double derivWeight(int which, int order, double hm, double hp) {
  if (order == 2) {
    if (which < 0) return 2.0 / (hm * (hm + hp));
    if (which == 0) return -2.0 / (hm * hp);
    return 2.0 / (hp * (hm + hp));
  }
  if (which < 0) return -(hp / hm) / (hm + hp);
  if (which == 0) return ((hp - hm) / hm) / hp;
  return (hm / hp) / (hm + hp);
}

}  // namespace serivane

#endif  // SERIVANE_TESTS_SUPPORT_FINITE_DIFFERENCE_REFERENCE_H_
