#ifndef SERIVANE_PDE2D_OPERATOR_ASSEMBLY_H_
#define SERIVANE_PDE2D_OPERATOR_ASSEMBLY_H_

#include <Eigen/SparseCore>
#include <cstdint>
#include <vector>

#include "pde2d/sparse_lu.h"

namespace serivane {

class AdiFrame;
class QelHestonVanilla;

// The whole implicit operator of one time step of the backward pricing equation,
//
//   A = w I - dt L,
//
// as (row, column, value) triplets for Eigen's setFromTriplets. L is the spatial operator that the
// ADI frame applies in explicit and split form, derived once in pde2d/spatial_operator.h (the
// same three-point weights, the anti-diagonal mixed-derivative stencil with its Taylor remainder
// folded into the other coefficients, and the same boundary rules); w is the diagonal weight of the
// time scheme: opKind 0 backward Euler (1), 6 BDF2 (3/2), any other value BDF3 (11/6).
//
// Solution nodes are (i, j), i = 1..NS, j = 0..NV-1, numbered variance-major: node (i, j) is row
// j NS + i - 1. The S = 0 column (Dirichlet value) and the top variance row (a copy of row NV-1)
// are not solved for; entries toward the S = 0 column are left to the right-hand side (see
// boundaryWeightsS). The set of (row, column) positions depends only on NS and NV, never on the
// coefficients, dt or opKind (zero values included), so one symbolic LU analysis serves every
// operator of a solve.
//
// The weight vectors are indexed by node: alpha*, beta* (S axis) for i = 1..NS, gamma*, delta*
// (variance axis) for j = 1..NV-1; h holds NS + 2 spacings (h[NS+1] the ghost spacing), k holds
// NV + 1 (k[0] = k[1]). c0, c1, c2 are the one-sided variance drift weights at v = 0. Read from the
// pricer: r, d, theta, vL, volvol, rho, model, NS, NV, grid (asset nodes) and vGrid (vGrid[0] = 0).
// Triplets are appended; the caller clears the list. status is set to 0 (no failure of its own).
//
// Asset grid: a_S = v S^2 / 2, b_S = (r - d) S, cross numerator rho xi w(v) S; with model 1
// w = v sqrt(v), q = v^2 when the pricer's p is 1 and w = v^((p - 1/2) + 1), q = v^((p - 1/2) 2 +
// 1) for another p, otherwise (model 0) w = q = v.
void assembleOperatorS(const QelHestonVanilla& pricer,
                       std::vector<Eigen::Triplet<double>>& triplets,
                       const std::vector<double>& alphaM,
                       const std::vector<double>& alphaP,
                       const std::vector<double>& alpha0,
                       const std::vector<double>& betaM,
                       const std::vector<double>& betaP,
                       const std::vector<double>& beta0,
                       const std::vector<double>& h,
                       const std::vector<double>& k,
                       const std::vector<double>& gammaM,
                       const std::vector<double>& gammaP,
                       const std::vector<double>& gamma0,
                       const std::vector<double>& deltaM,
                       const std::vector<double>& deltaP,
                       const std::vector<double>& delta0,
                       double c0,
                       double c1,
                       double c2,
                       double dt,
                       int opKind,
                       std::int64_t& status);

// Log-asset grid x = ln S: a_S = v / 2, b_S = (r - d) - v / 2, cross numerator rho xi w(v); with
// model 1 w = v^(p + 1/2), q = v^(2p) (the pricer's exponent p), otherwise w = q = v. grid is not
// read. With unitExponent, model 1 with p = 1 takes w = v sqrt(v), q = v^2 (for the solvers whose
// other steps take the exponent 1 that way); another p is priced by the power function.
void assembleOperatorLogS(const QelHestonVanilla& pricer,
                          std::vector<Eigen::Triplet<double>>& triplets,
                          const std::vector<double>& alphaM,
                          const std::vector<double>& alphaP,
                          const std::vector<double>& alpha0,
                          const std::vector<double>& betaM,
                          const std::vector<double>& betaP,
                          const std::vector<double>& beta0,
                          const std::vector<double>& h,
                          const std::vector<double>& k,
                          const std::vector<double>& gammaM,
                          const std::vector<double>& gammaP,
                          const std::vector<double>& gamma0,
                          const std::vector<double>& deltaM,
                          const std::vector<double>& deltaP,
                          const std::vector<double>& delta0,
                          double c0,
                          double c1,
                          double c2,
                          double dt,
                          int opKind,
                          std::int64_t& status,
                          bool unitExponent = false);

// The coefficients of L on the columns that the assembly leaves out, per variance row j = 0..NV-1:
// the right-hand side of row (1, j) gets dt b zeroColumn[j] for the S = 0 value b (the axis
// neighbour (0, j) and the cross neighbour (0, j+1)), and that of row (NS, j) gets
// dt g farField[j] for the slope g = dU/dS at Smax (the ghost node beyond Smax).
struct BoundaryWeights {
  std::vector<double> zeroColumn;
  std::vector<double> farField;
};

// Asset grid: farField[j] = a_S alpha+_NS h_(NS+1) + (r - d) S_NS with a_S = v_j S_NS^2 / 2.
BoundaryWeights boundaryWeightsS(const QelHestonVanilla& pricer,
                                 const std::vector<double>& alphaM,
                                 const std::vector<double>& alphaP,
                                 const std::vector<double>& betaM,
                                 const std::vector<double>& h,
                                 const std::vector<double>& k);
// Log-asset grid: farField[j] = v_j / 2 alpha+_NS (sGhost - sLast) + ((r - d) - v_j / 2) sLast,
// with sLast = exp(x_NS) and sGhost the asset value of the ghost node; unitExponent as for the
// log-asset assembly.
BoundaryWeights boundaryWeightsLogS(const QelHestonVanilla& pricer,
                                    const std::vector<double>& alphaM,
                                    const std::vector<double>& alphaP,
                                    const std::vector<double>& betaM,
                                    const std::vector<double>& h,
                                    const std::vector<double>& k,
                                    double sLast,
                                    double sGhost,
                                    bool unitExponent = false);

// The same assembly and boundary weights on an ADI frame's grids and weight vectors, set up: the
// asset-grid operator, or on the log-asset axis the log-asset one (unitExponent as for
// assembleOperatorLogS).
void assembleFrameOperator(const AdiFrame& frame,
                           bool unitExponent,
                           double dt,
                           int opKind,
                           std::vector<Eigen::Triplet<double>>& triplets);
BoundaryWeights frameBoundaryWeights(const AdiFrame& frame, bool unitExponent);

// The damped start of the ADI variants that take backward-Euler sub-steps of the whole operator,
// cross term included: the ADI schemes damp the high-frequency errors of a kinked payoff only
// weakly, and a few fully implicit sub-steps take them out (R. Rannacher, "Finite element solution
// of diffusion problems with irregular data", Numer. Math. 43 (1984); D. M. Pooley, K. R. Vetzal,
// P. A. Forsyth, "Convergence remedies for non-smooth payoffs in option pricing", J. Comput.
// Finance 6 (2003)). Each sub-step solves
//
//   (I - dtE L) U_new = U + dtE (boundary terms)
//
// by sparse LU (T. A. Davis, "Algorithm 832: UMFPACK V4.3, an unsymmetric-pattern multifrontal
// method", ACM TOMS 30 (2004)). The operator is assembled on the frame's grids and weight vectors
// (asset or log-asset axis as the frame's layout says), analysed and factorised once, when the
// object is made; every sub-step costs one forward and back substitution. The object owns the
// matrix, the factorisation and the vectors and releases them when it goes. With unitExponent the
// log-asset operator takes the exponent 1 by the square root when the pricer's p is 1.
class SparseEulerStart {
 public:
  SparseEulerStart(AdiFrame& frame, double dtE, bool unitExponent);
  SparseEulerStart(const SparseEulerStart&) = delete;
  SparseEulerStart& operator=(const SparseEulerStart&) = delete;

  // One sub-step from the frame's U to its Y at time to expiry tNew: column 0 of Y gets the value
  // at the lowest asset node for tNew, the nodes i = 1..N of the rows j = 0..NV-1 the solution. Row
  // NV and the ghost column are not written.
  void step(double tNew);

 private:
  AdiFrame& f_;
  const double dtE_;
  SparseLu::Matrix A_;
  SparseLu lu_;
  Eigen::VectorXd b_, x_;
  BoundaryWeights bw_;
};

}  // namespace serivane

#endif  // SERIVANE_PDE2D_OPERATOR_ASSEMBLY_H_
