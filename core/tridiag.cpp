#include "core/tridiag.h"

#include <initializer_list>
#include <stdexcept>

namespace serivane {

void triDiagFactorize(std::int32_t N,
                      const double* a,
                      const double* b,
                      const double* c,
                      double* l,
                      double* u,
                      double* d) {
  if (N < 1) return;
  d[1] = b[1];
  for (std::int32_t i = 2; i <= N; ++i) {
    u[i - 1] = c[i - 1];
    l[i] = a[i] / d[i - 1];
    d[i] = b[i] - l[i] * c[i - 1];
  }
}

void triDiagSolve(
    std::int32_t N, const double* l, const double* u, const double* d, const double* r, double* x) {
  if (N < 1) return;
  // Forward elimination into x itself: r[i] is read before x[i] is written, so x may alias r.
  x[1] = r[1];
  for (std::int32_t i = 2; i <= N; ++i) x[i] = r[i] - l[i] * x[i - 1];
  // The reciprocal of each pivot does not depend on the recurrence, so its division runs beside
  // it: the dependency chain is one multiply-add per row instead of a division.
  x[N] /= d[N];
  for (std::int32_t i = N - 1; i >= 1; --i) {
    const double inv = 1.0 / d[i];
    x[i] = x[i] * inv - (u[i] * inv) * x[i + 1];
  }
}

namespace {

void requireSize(const std::valarray<double>& v, std::int32_t N) {
  // Every vector is indexed 1 .. N: it needs N + 1 entries.
  if (static_cast<long>(v.size()) < static_cast<long>(N) + 1) {
    throw std::invalid_argument("tridiagonal vector too short");
  }
}

}  // namespace

void triDiagFactorize(std::int32_t N,
                      const std::valarray<double>& a,
                      const std::valarray<double>& b,
                      const std::valarray<double>& c,
                      std::valarray<double>& l,
                      std::valarray<double>& u,
                      std::valarray<double>& d) {
  if (N < 1) return;
  for (const std::valarray<double>* v :
       std::initializer_list<const std::valarray<double>*>{&a, &b, &c, &l, &u, &d})
    requireSize(*v, N);
  triDiagFactorize(N, &a[0], &b[0], &c[0], &l[0], &u[0], &d[0]);
}

void triDiagSolve(std::int32_t N,
                  const std::valarray<double>& l,
                  const std::valarray<double>& u,
                  const std::valarray<double>& d,
                  const std::valarray<double>& r,
                  std::valarray<double>& x) {
  if (N < 1) return;
  for (const std::valarray<double>* v :
       std::initializer_list<const std::valarray<double>*>{&l, &u, &d, &r, &x})
    requireSize(*v, N);
  triDiagSolve(N, &l[0], &u[0], &d[0], &r[0], &x[0]);
}

}  // namespace serivane
