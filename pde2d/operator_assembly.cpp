// Sparse assembly of the whole implicit operator w I - dt L of the stochastic-variance pricing
// equation on non-uniform grids. The node weights of L come from the spatial operator that the ADI
// frame applies (pde2d/spatial_operator.h), with the anti-diagonal mixed stencil.
#include "pde2d/operator_assembly.h"

#include <algorithm>
#include <stdexcept>

#include "core/qel_heston_vanilla.h"
#include "pde2d/adi_frame.h"
#include "pde2d/scheme_weights.h"
#include "pde2d/spatial_operator.h"

namespace serivane {

namespace {

// The sparse operator's form: the asset-grid operator (and the log-asset one with unitExponent)
// takes the exponent 1 by the square root when the pricer's p is 1; otherwise the operator takes
// the pricer's p, with the exponents written (p - 1/2) + 1 and (p - 1/2) 2 + 1.
OperatorForm sparseForm(const QelHestonVanilla& o, bool logS, bool unitExponent) {
  OperatorForm form;
  form.logAsset = logS;
  form.unitExponent = (!logS || unitExponent) && o.p == 1.0;
  form.wExponent = (o.p - 0.5) + 1.0;
  form.qExponent = (o.p - 0.5) * 2.0 + 1.0;
  return form;
}

void checkSizes(const QelHestonVanilla& o,
                bool logS,
                const std::vector<double>& sAxis,
                const std::vector<double>& h,
                const std::vector<double>& vAxis,
                const std::vector<double>& k) {
  const int NS = o.NS, NV = o.NV;
  if (NS < 2 || NV < 2 || o.vGrid.size() < static_cast<std::size_t>(NV) + 1 ||
      (!logS && o.grid.size() < static_cast<std::size_t>(NS) + 1)) {
    throw std::invalid_argument("the operator needs the pricer's grids of NS + 1 and NV + 1 nodes");
  }
  const std::size_t ns = static_cast<std::size_t>(NS), nv = static_cast<std::size_t>(NV);
  if (sAxis.size() < ns + 1 || h.size() < ns + 2 || vAxis.size() < nv || k.size() < nv + 1) {
    throw std::invalid_argument("the operator's weight vectors do not match the grid sizes");
  }
}

// The pricer's grids (NS, NV, grid on the asset axis, vGrid) with the weight vectors and the v = 0
// drift weights passed in.
OperatorGrid pricerGrid(const QelHestonVanilla& o,
                        bool logS,
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
                        double c0 = 0.0,
                        double c1 = 0.0,
                        double c2 = 0.0) {
  for (const auto* v : {&alphaM, &alphaP, &alpha0, &betaM, &betaP, &beta0}) {
    checkSizes(o, logS, *v, h, gammaM, k);
  }
  for (const auto* v : {&gammaP, &gamma0, &deltaM, &deltaP, &delta0}) {
    checkSizes(o, logS, alphaM, h, *v, k);
  }
  return OperatorGrid(o.NS,
                      o.NV,
                      logS ? nullptr : &o.grid[0],
                      &o.vGrid[0],
                      h.data(),
                      k.data(),
                      {alphaM.data(), alpha0.data(), alphaP.data()},
                      {betaM.data(), beta0.data(), betaP.data()},
                      {gammaM.data(), gamma0.data(), gammaP.data()},
                      {deltaM.data(), delta0.data(), deltaP.data()},
                      c0,
                      c1,
                      c2);
}

// The centre weight of L as the whole-operator matrix sums it: term by term, the variance diffusion
// first on the top row (the stencil groups the terms otherwise; the two differ in the last bit).
double assembledCentre(const CentreTerms& t, bool top) {
  const double axes = top ? (t.vDiffusion + t.sDiffusion) + t.sConvection
                          : (t.sDiffusion + t.sConvection) + t.vDiffusion;
  return ((axes + t.vDrift) + t.cross) + t.reaction;
}

// Appends w I - dt L row by row. A neighbour outside the solution nodes is left out: the S = 0
// column (the right-hand side carries it), the ghost column beyond Smax and the rows -1 and NV
// (both folded into the centre by the operator's boundary rules), and with NV = 2 the one-sided
// drift's entry on row 2.
void appendOperator(const SpatialOperator& op,
                    double dt,
                    int opKind,
                    std::vector<Eigen::Triplet<double>>& out) {
  if (op.form().centralCross) {
    throw std::logic_error("the sparse operator takes the anti-diagonal mixed stencil");
  }
  const OperatorGrid& g = op.grid();
  const int NS = g.N, NV = g.NV;
  const double w = scheme_weights::diagonalWeight(opKind);
  const auto idx = [NS](int i, int j) { return j * NS + i - 1; };
  // Every position is appended, zero values included: the pattern depends on NS and NV only.
  out.reserve(out.size() + static_cast<std::size_t>(7) * NS * NV);
  for (int j = 0; j < NV; ++j) {
    const OperatorRow row = op.row(j);
    for (int i = 1; i <= NS; ++i) {
      const int r = idx(i, j);
      const auto off = [&](int ni, int nj, double ell) {
        if (ni >= 1) out.emplace_back(r, idx(ni, nj), -dt * ell);
      };
      const NodeWeights l = op.weights(row, i);
      if (j >= 1 && j <= NV - 2 && i < NS) {
        off(i + 1, j - 1, l.se);
        off(i - 1, j + 1, l.nw);
      }
      if (j >= 1) off(i, j - 1, l.south);
      off(i - 1, j, l.west);
      if (i < NS) off(i + 1, j, l.east);
      if (j == 0 && NV > 2) off(i, 2, g.c2);
      out.emplace_back(r, r, w - dt * assembledCentre(l.terms, j == NV - 1));
      if (j < NV - 1) off(i, j + 1, l.north);
    }
  }
}

BoundaryWeights boundaryWeightsOf(const SpatialOperator& op) {
  const OperatorGrid& g = op.grid();
  BoundaryWeights b;
  b.zeroColumn.assign(g.NV, 0.0);
  b.farField.assign(g.NV, 0.0);
  for (int j = 0; j < g.NV; ++j) {
    const OperatorRow row = op.row(j);
    // The axis neighbour (0, j) and the cross neighbour (0, j+1).
    const NodeWeights first = op.weights(row, 1);
    b.zeroColumn[j] = first.west + first.nw;
    b.farField[j] = op.weights(row, g.N).slope;
  }
  return b;
}

BoundaryWeights boundaryWeights(const QelHestonVanilla& pricer,
                                bool logS,
                                const std::vector<double>& alphaM,
                                const std::vector<double>& alphaP,
                                const std::vector<double>& betaM,
                                const std::vector<double>& h,
                                const std::vector<double>& k,
                                double sLast,
                                double sGhost,
                                bool unitExponent) {
  // Only the weights of the last and first asset nodes' west and slope terms are read; the
  // others stand in for the vectors the boundary weights do not need.
  OperatorGrid g =
      pricerGrid(pricer, logS, alphaM, alphaP, alphaM, betaM, betaM, betaM, h, k, k, k, k, k, k, k);
  g.sLast = sLast;
  g.sGhost = sGhost;
  return boundaryWeightsOf(SpatialOperator(pricer, sparseForm(pricer, logS, unitExponent), g));
}

}  // namespace

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
                       std::int64_t& status) {
  status = 0;
  const OperatorGrid g = pricerGrid(pricer,
                                    false,
                                    alphaM,
                                    alphaP,
                                    alpha0,
                                    betaM,
                                    betaP,
                                    beta0,
                                    h,
                                    k,
                                    gammaM,
                                    gammaP,
                                    gamma0,
                                    deltaM,
                                    deltaP,
                                    delta0,
                                    c0,
                                    c1,
                                    c2);
  appendOperator(SpatialOperator(pricer, sparseForm(pricer, false, true), g), dt, opKind, triplets);
}

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
                          bool unitExponent) {
  status = 0;
  const OperatorGrid g = pricerGrid(pricer,
                                    true,
                                    alphaM,
                                    alphaP,
                                    alpha0,
                                    betaM,
                                    betaP,
                                    beta0,
                                    h,
                                    k,
                                    gammaM,
                                    gammaP,
                                    gamma0,
                                    deltaM,
                                    deltaP,
                                    delta0,
                                    c0,
                                    c1,
                                    c2);
  appendOperator(
      SpatialOperator(pricer, sparseForm(pricer, true, unitExponent), g), dt, opKind, triplets);
}

BoundaryWeights boundaryWeightsS(const QelHestonVanilla& pricer,
                                 const std::vector<double>& alphaM,
                                 const std::vector<double>& alphaP,
                                 const std::vector<double>& betaM,
                                 const std::vector<double>& h,
                                 const std::vector<double>& k) {
  return boundaryWeights(pricer, false, alphaM, alphaP, betaM, h, k, 0.0, 0.0, true);
}

BoundaryWeights boundaryWeightsLogS(const QelHestonVanilla& pricer,
                                    const std::vector<double>& alphaM,
                                    const std::vector<double>& alphaP,
                                    const std::vector<double>& betaM,
                                    const std::vector<double>& h,
                                    const std::vector<double>& k,
                                    double sLast,
                                    double sGhost,
                                    bool unitExponent) {
  return boundaryWeights(pricer, true, alphaM, alphaP, betaM, h, k, sLast, sGhost, unitExponent);
}

void assembleFrameOperator(const AdiFrame& f,
                           bool unitExponent,
                           double dt,
                           int opKind,
                           std::vector<Eigen::Triplet<double>>& triplets) {
  const bool logS = f.layout.logAsset;
  appendOperator(SpatialOperator(f.obj, sparseForm(f.obj, logS, unitExponent), f.operatorGrid()),
                 dt,
                 opKind,
                 triplets);
}

BoundaryWeights frameBoundaryWeights(const AdiFrame& f, bool unitExponent) {
  const bool logS = f.layout.logAsset;
  return boundaryWeightsOf(
      SpatialOperator(f.obj, sparseForm(f.obj, logS, unitExponent), f.operatorGrid()));
}

SparseEulerStart::SparseEulerStart(AdiFrame& f, double dtE, bool unitExponent) : f_(f), dtE_(dtE) {
  const QelHestonVanilla& o = f.obj;
  const int N = f.N, NV = f.NV;
  if (o.NS != N || o.NV != NV) {
    throw std::logic_error("the pricer's grid sizes do not match the solver's grids");
  }
  const Eigen::Index n = static_cast<Eigen::Index>(N) * NV;
  std::vector<Eigen::Triplet<double>> triplets;
  assembleFrameOperator(f, unitExponent, dtE, scheme_weights::kOpBackwardEuler, triplets);
  bw_ = frameBoundaryWeights(f, unitExponent);
  A_.resize(n, n);
  A_.setFromTriplets(triplets.begin(), triplets.end());  // duplicates summed
  A_.makeCompressed();
  lu_.factorize(A_);
  b_.setZero(n);
  x_.setZero(n);
}

void SparseEulerStart::step(double tNew) {
  AdiFrame& f = f_;
  const int N = f.N, NV = f.NV;
  const double g = f.slopeAtSmax(tNew);
  const double zeroValue = f.valueAtZero(tNew);
  f.setZeroColumn(f.Y, zeroValue);
  double* bp = b_.data();
  for (int j = 0; j < NV; ++j) {
    const double* u = f.U[j];
    double* out = bp + static_cast<std::ptrdiff_t>(j) * N;  // node (i, j) is out[i - 1]
    for (int i = 1; i <= N; ++i) out[i - 1] = u[i];
    // The columns that the operator leaves out: the lowest-node value and the far-field slope.
    out[0] += dtE_ * zeroValue * bw_.zeroColumn[j];
    out[N - 1] += dtE_ * g * bw_.farField[j];
  }
  lu_.solve(b_, x_);
  const double* xp = x_.data();
  for (int j = 0; j < NV; ++j) {
    std::copy(xp + static_cast<std::ptrdiff_t>(j) * N,
              xp + static_cast<std::ptrdiff_t>(j + 1) * N,
              f.Y[j] + 1);
  }
}

}  // namespace serivane
