#ifndef SERIVANE_PDE2D_SPARSE_LU_H_
#define SERIVANE_PDE2D_SPARSE_LU_H_

#include <Eigen/Core>
#include <Eigen/SparseCore>
#include <vector>

namespace serivane {

// The sparse LU of an implicit operator w I - dt L by UMFPACK (T. A. Davis, "Algorithm 832:
// UMFPACK V4.3, an unsymmetric-pattern multifrontal method", ACM TOMS 30 (2004)), with UMFPACK's
// default controls. The symbolic analysis is made once, at the first factorisation, and serves
// every later operator of the same sparsity pattern (the operators of one grid share it); each
// factorisation replaces the numeric factors; each solve is one forward and back substitution
// (with UMFPACK's iterative refinement) into the caller's vector, with its workspace held here, so
// that a time step allocates nothing. A failed or singular analysis, factorisation or solve raises
// std::runtime_error: the solve would otherwise give NaN prices without a word.
class SparseLu {
 public:
  using Matrix = Eigen::SparseMatrix<double, Eigen::ColMajor, int>;

  SparseLu();
  ~SparseLu();
  SparseLu(const SparseLu&) = delete;
  SparseLu& operator=(const SparseLu&) = delete;

  // Factorises A, a compressed square matrix. The solves read A (for the refinement): it must stay
  // alive and unchanged until the next factorisation.
  void factorize(const Matrix& A);

  // x = A^-1 b, for vectors of A's size (b and x distinct).
  void solve(const Eigen::VectorXd& b, Eigen::VectorXd& x);

 private:
  void release();

  const Matrix* A_ = nullptr;
  Eigen::Index n_ = 0;
  void* symbolic_ = nullptr;
  void* numeric_ = nullptr;
  std::vector<double> control_, info_;
  std::vector<int> wi_;
  std::vector<double> w_;
};

}  // namespace serivane

#endif  // SERIVANE_PDE2D_SPARSE_LU_H_
