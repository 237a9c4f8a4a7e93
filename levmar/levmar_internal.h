#ifndef SERIVANE_LEVMAR_LEVMAR_INTERNAL_H_
#define SERIVANE_LEVMAR_LEVMAR_INTERNAL_H_

// The pieces behind levmar.h, visible to the layer's own tests: both linear solvers, the
// pseudo-inverse used for the covariance, and the two routines with the linear solver chosen by
// the caller, so that the LAPACK path and the LU path are exercised in one build.

#include <vector>

#include "levmar/levmar.h"

namespace levmar_internal {

// Solver of the small symmetric systems (J^T J + mu I) dp = J^T e.
enum class LinearSolver {
#ifndef LM_NO_LAPACK
  kLapack,  // Bunch-Kaufman factorisation, LAPACK dsytrf/dsytrs
#endif
  kLu,  // the layer's own LU with partial pivoting
};

// LAPACK where it is built in, else the LU solve.
LinearSolver defaultLinearSolver();

// Solves a x = b for the symmetric m x m matrix a (row-major; both triangles filled). a is
// overwritten by the factors, b by the solution. Returns false when the matrix is singular (a
// zero pivot) or the solution is not finite; b is then unspecified.
bool solveSymmetric(LinearSolver solver, int m, std::vector<double>& a, std::vector<double>& b);

#ifndef LM_NO_LAPACK
bool solveSymmetricLapack(int m, std::vector<double>& a, std::vector<double>& b);
#endif
bool solveLu(int m, std::vector<double>& a, std::vector<double>& b);

// Moore-Penrose pseudo-inverse of the symmetric positive semi-definite m x m matrix a (row-major)
// by cyclic Jacobi rotations; eigenvalues at or below m * machine epsilon * the largest one count
// as zero. Returns the pseudo-inverse and stores the numerical rank in *rank.
std::vector<double> pseudoInverseSymmetric(int m, const std::vector<double>& a, int* rank);

using ModelFunction = void (*)(double* p, double* hx, int m, int n, void* adata);
using BatchModelFunction = levmar_batch_func;

// dlevmar_dif and dlevmar_bc_dif with an explicit linear solver; with a batch model the points of
// each finite-difference Jacobian go to it in one call (dlevmar_dif_batch, dlevmar_bc_dif_batch),
// and with an ahead model they may go with the point before them (dlevmar_dif_ahead,
// dlevmar_bc_dif_ahead).
int levmarDif(ModelFunction func,
              double* p,
              double* x,
              int m,
              int n,
              int itmax,
              const double* opts,
              double* info,
              double* covar,
              void* adata,
              LinearSolver solver,
              BatchModelFunction batch = nullptr,
              const levmar_ahead_model* ahead = nullptr);

int levmarBcDif(ModelFunction func,
                double* p,
                double* x,
                int m,
                int n,
                const double* lb,
                const double* ub,
                const double* dscl,
                int itmax,
                const double* opts,
                double* info,
                double* covar,
                void* adata,
                LinearSolver solver,
                BatchModelFunction batch = nullptr,
                const levmar_ahead_model* ahead = nullptr);

}  // namespace levmar_internal

#endif  // SERIVANE_LEVMAR_LEVMAR_INTERNAL_H_
