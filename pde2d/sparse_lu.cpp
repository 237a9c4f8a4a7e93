#include "pde2d/sparse_lu.h"

#include <umfpack.h>

#include <stdexcept>

namespace serivane {

SparseLu::SparseLu() : control_(UMFPACK_CONTROL), info_(UMFPACK_INFO) {
  umfpack_di_defaults(control_.data());
}

SparseLu::~SparseLu() { release(); }

void SparseLu::release() {
  if (numeric_ != nullptr) umfpack_di_free_numeric(&numeric_);
  if (symbolic_ != nullptr) umfpack_di_free_symbolic(&symbolic_);
}

void SparseLu::factorize(const Matrix& A) {
  if (symbolic_ == nullptr || A.rows() != n_) {
    release();
    n_ = A.rows();
    const int n = static_cast<int>(n_);
    if (umfpack_di_symbolic(n,
                            n,
                            A.outerIndexPtr(),
                            A.innerIndexPtr(),
                            A.valuePtr(),
                            &symbolic_,
                            control_.data(),
                            info_.data()) != UMFPACK_OK) {
      throw std::runtime_error("The sparse LU analysis of the PDE operator failed");
    }
    // The substitution with refinement takes n integers and 5 n doubles of workspace.
    wi_.assign(static_cast<std::size_t>(n), 0);
    w_.assign(5 * static_cast<std::size_t>(n), 0.0);
  }
  if (numeric_ != nullptr) umfpack_di_free_numeric(&numeric_);
  // A positive status is a warning such as a singular operator: a failure here too.
  if (umfpack_di_numeric(A.outerIndexPtr(),
                         A.innerIndexPtr(),
                         A.valuePtr(),
                         symbolic_,
                         &numeric_,
                         control_.data(),
                         info_.data()) != UMFPACK_OK) {
    throw std::runtime_error("The sparse LU factorisation of the PDE operator failed");
  }
  A_ = &A;
}

void SparseLu::solve(const Eigen::VectorXd& b, Eigen::VectorXd& x) {
  if (numeric_ == nullptr || b.size() != n_) {
    throw std::logic_error("a sparse LU solve before its factorisation, or of the wrong size");
  }
  x.resize(n_);
  if (umfpack_di_wsolve(UMFPACK_A,
                        A_->outerIndexPtr(),
                        A_->innerIndexPtr(),
                        A_->valuePtr(),
                        x.data(),
                        b.data(),
                        numeric_,
                        control_.data(),
                        info_.data(),
                        wi_.data(),
                        w_.data()) != UMFPACK_OK) {
    throw std::runtime_error("The sparse LU solve of the PDE operator failed");
  }
}

}  // namespace serivane
