#ifndef SERIVANE_CORE_TRIDIAG_H_
#define SERIVANE_CORE_TRIDIAG_H_

#include <cstdint>
#include <valarray>

namespace serivane {

// LU factorisation of the tridiagonal system a[i] x[i-1] + b[i] x[i] + c[i] x[i+1] = r[i],
// i = 1 .. N, kept apart from its use so that one factorisation serves many right-hand sides.
// All vectors are indexed 1 .. N (entry 0 is not referenced). No pivoting: the systems of the PDE
// solvers are diagonally dominant; a zero pivot gives infinities or NaN, it is not checked.
//
// Factors: l (multipliers, entries 2 .. N), u (the super-diagonal, entries 1 .. N-1) and d (pivots,
// entries 1 .. N).
void triDiagFactorize(std::int32_t N,
                      const double* a,
                      const double* b,
                      const double* c,
                      double* l,
                      double* u,
                      double* d);
// Solves with the factors; writes x[1 .. N]. Allocates nothing, and x may be the same array as r.
void triDiagSolve(
    std::int32_t N, const double* l, const double* u, const double* d, const double* r, double* x);

void triDiagFactorize(std::int32_t N,
                      const std::valarray<double>& a,
                      const std::valarray<double>& b,
                      const std::valarray<double>& c,
                      std::valarray<double>& l,
                      std::valarray<double>& u,
                      std::valarray<double>& d);
void triDiagSolve(std::int32_t N,
                  const std::valarray<double>& l,
                  const std::valarray<double>& u,
                  const std::valarray<double>& d,
                  const std::valarray<double>& r,
                  std::valarray<double>& x);

}  // namespace serivane

#endif  // SERIVANE_CORE_TRIDIAG_H_
