// The small dense linear algebra of the Levenberg-Marquardt layer: the damped normal equations and
// the pseudo-inverse behind the covariance.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "levmar/levmar_internal.h"

#ifndef LM_NO_LAPACK
// LAPACK's Fortran symbols. The trailing size_t is the hidden length of the CHARACTER argument
// that gfortran passes; implementations that do not read it are unaffected by it.
extern "C" {
void dsytrf_(const char* uplo,
             const int* n,
             double* a,
             const int* lda,
             int* ipiv,
             double* work,
             const int* lwork,
             int* info,
             std::size_t uplo_len);
void dsytrs_(const char* uplo,
             const int* n,
             const int* nrhs,
             const double* a,
             const int* lda,
             const int* ipiv,
             double* b,
             const int* ldb,
             int* info,
             std::size_t uplo_len);
}
#endif

namespace levmar_internal {

namespace {

bool allFinite(const std::vector<double>& v) {
  for (double value : v)
    if (!std::isfinite(value)) return false;
  return true;
}

}  // namespace

LinearSolver defaultLinearSolver() {
#ifndef LM_NO_LAPACK
  return LinearSolver::kLapack;
#else
  return LinearSolver::kLu;
#endif
}

bool solveSymmetric(LinearSolver solver, int m, std::vector<double>& a, std::vector<double>& b) {
#ifndef LM_NO_LAPACK
  if (solver == LinearSolver::kLapack) return solveSymmetricLapack(m, a, b);
#endif
  (void)solver;
  return solveLu(m, a, b);
}

#ifndef LM_NO_LAPACK
// Bunch-Kaufman LDL^T with symmetric pivoting (E. Anderson et al., "LAPACK Users' Guide", 3rd ed.,
// SIAM 1999, section 2.4.2). The matrix is symmetric, so its row-major storage is also the
// column-major storage LAPACK reads; the upper triangle is used.
bool solveSymmetricLapack(int m, std::vector<double>& a, std::vector<double>& b) {
  if (!allFinite(a) || !allFinite(b)) return false;
  const char uplo = 'U';
  const int nrhs = 1;
  int info = 0;
  std::vector<int> ipiv(static_cast<std::size_t>(m));
  // Workspace query first: LAPACK reports the optimal blocked size in work[0].
  double optimal = 0.0;
  const int query = -1;
  dsytrf_(&uplo, &m, a.data(), &m, ipiv.data(), &optimal, &query, &info, 1);
  if (info != 0) return false;
  const int lwork = std::max(1, static_cast<int>(optimal));
  std::vector<double> work(static_cast<std::size_t>(lwork));
  dsytrf_(&uplo, &m, a.data(), &m, ipiv.data(), work.data(), &lwork, &info, 1);
  if (info != 0) return false;  // info > 0: an exactly zero diagonal block, singular
  dsytrs_(&uplo, &m, &nrhs, a.data(), &m, ipiv.data(), b.data(), &m, &info, 1);
  return info == 0 && allFinite(b);
}
#endif

// Gaussian elimination with partial pivoting (G. H. Golub, C. F. Van Loan, "Matrix Computations",
// 4th ed., Johns Hopkins 2013, algorithm 3.4.1), then forward and back substitution.
bool solveLu(int m, std::vector<double>& a, std::vector<double>& b) {
  if (!allFinite(a) || !allFinite(b)) return false;
  const std::size_t n = static_cast<std::size_t>(m);
  for (std::size_t k = 0; k < n; ++k) {
    std::size_t pivot = k;
    for (std::size_t i = k + 1; i < n; ++i)
      if (std::fabs(a[i * n + k]) > std::fabs(a[pivot * n + k])) pivot = i;
    if (a[pivot * n + k] == 0.0) return false;
    if (pivot != k) {
      for (std::size_t j = 0; j < n; ++j) std::swap(a[k * n + j], a[pivot * n + j]);
      std::swap(b[k], b[pivot]);
    }
    for (std::size_t i = k + 1; i < n; ++i) {
      const double factor = a[i * n + k] / a[k * n + k];
      a[i * n + k] = factor;
      for (std::size_t j = k + 1; j < n; ++j) a[i * n + j] -= factor * a[k * n + j];
      b[i] -= factor * b[k];
    }
  }
  for (std::size_t k = n; k-- > 0;) {
    double sum = b[k];
    for (std::size_t j = k + 1; j < n; ++j) sum -= a[k * n + j] * b[j];
    b[k] = sum / a[k * n + k];
  }
  return allFinite(b);
}

// Cyclic Jacobi eigenvalue method (Golub, Van Loan, "Matrix Computations", 4th ed., section
// 8.5.2, with the stable rotation of algorithm 8.5.1), then A^+ = V diag(1 / lambda) V^T over
// the eigenvalues above the rank threshold.
std::vector<double> pseudoInverseSymmetric(int m, const std::vector<double>& a, int* rank) {
  const std::size_t n = static_cast<std::size_t>(m);
  std::vector<double> d(a);
  std::vector<double> v(n * n, 0.0);
  for (std::size_t i = 0; i < n; ++i) v[i * n + i] = 1.0;
  // Sweeps converge quadratically; 100 is far beyond what any matrix of this size needs.
  constexpr int kMaxSweeps = 100;
  for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
    double off = 0.0;
    double total = 0.0;
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < n; ++j) {
        total += d[i * n + j] * d[i * n + j];
        if (i != j) off += d[i * n + j] * d[i * n + j];
      }
    if (off <=
        std::numeric_limits<double>::epsilon() * std::numeric_limits<double>::epsilon() * total)
      break;
    for (std::size_t p = 0; p + 1 < n; ++p)
      for (std::size_t q = p + 1; q < n; ++q) {
        const double apq = d[p * n + q];
        if (apq == 0.0) continue;
        const double tau = (d[q * n + q] - d[p * n + p]) / (2.0 * apq);
        const double t = (tau >= 0.0 ? 1.0 : -1.0) / (std::fabs(tau) + std::hypot(1.0, tau));
        const double c = 1.0 / std::hypot(1.0, t);
        const double s = t * c;
        // D := D R (columns p, q), then D := R^T D (rows p, q); V := V R.
        for (std::size_t k = 0; k < n; ++k) {
          const double dkp = d[k * n + p];
          const double dkq = d[k * n + q];
          d[k * n + p] = c * dkp - s * dkq;
          d[k * n + q] = s * dkp + c * dkq;
          const double vkp = v[k * n + p];
          const double vkq = v[k * n + q];
          v[k * n + p] = c * vkp - s * vkq;
          v[k * n + q] = s * vkp + c * vkq;
        }
        for (std::size_t k = 0; k < n; ++k) {
          const double dpk = d[p * n + k];
          const double dqk = d[q * n + k];
          d[p * n + k] = c * dpk - s * dqk;
          d[q * n + k] = s * dpk + c * dqk;
        }
      }
  }
  double largest = 0.0;
  for (std::size_t i = 0; i < n; ++i) largest = std::max(largest, d[i * n + i]);
  const double threshold = m * std::numeric_limits<double>::epsilon() * largest;
  std::vector<double> result(n * n, 0.0);
  int r = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const double lambda = d[k * n + k];
    if (!(lambda > threshold)) continue;
    ++r;
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < n; ++j) result[i * n + j] += v[i * n + k] * v[j * n + k] / lambda;
  }
  *rank = r;
  return result;
}

}  // namespace levmar_internal
