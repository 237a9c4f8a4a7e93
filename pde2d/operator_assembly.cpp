// Sparse assembly of the whole implicit operator w I - dt L of the stochastic-variance pricing
// equation on non-uniform grids. The finite differences are those of the ADI frame: three-point
// weights on non-uniform grids (W. Hundsdorfer, J. G. Verwer, "Numerical Solution of
// Time-Dependent Advection-Diffusion-Reaction Equations" (2003), ch. I.5) and the anti-diagonal
// mixed-derivative stencil with its Taylor remainder folded into the axis coefficients (K. J. in 't
// Hout, S. Foulon, "ADI finite difference schemes for option pricing in the Heston model with
// correlation", Int. J. Numer. Anal. Model. 7 (2010)).
#include "pde2d/operator_assembly.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "core/qel_heston_vanilla.h"
#include "pde2d/adi_frame.h"

namespace {

// Plain coefficients of L at one node: diffusion and convection along the asset axis and the
// variance axis, and the numerator of the cross coefficient.
struct Local {
  double aS, bS, aV, D, crossNum;
};

class Coefficients {
 public:
  Coefficients(const QelHestonVanilla& o, bool logS, bool unitExponent = false)
      : logS_(logS),
        unitExponent_(unitExponent),
        r_(o.r),
        rMinusD_(o.r - o.d),
        kappa_(o.theta),
        vL_(o.vL),
        halfXi2_(0.5 * o.volvol * o.volvol),
        xiRho_(o.volvol * o.rho),
        model1_(o.model == 1),
        p_(o.p),
        NS_(o.NS),
        NV_(o.NV),
        S_(o.grid),
        V_(o.vGrid) {
    if (NS_ < 2 || NV_ < 2 || V_.size() < static_cast<std::size_t>(NV_) + 1 ||
        (!logS && S_.size() < static_cast<std::size_t>(NS_) + 1)) {
      throw std::invalid_argument(
          "the operator needs the pricer's grids of NS + 1 and NV + 1 nodes");
    }
  }

  Local at(int i, int j) const {
    const double v = V_[j];
    double w, q;
    if (logS_ && !unitExponent_) {
      w = model1_ ? std::pow(v, (p_ - 0.5) + 1.0) : v;
      q = model1_ ? std::pow(v, (p_ - 0.5) * 2.0 + 1.0) : v;
    } else {
      // The asset-grid operator (and the log-asset one when asked) takes the exponent 1 of the
      // variance diffusion.
      w = model1_ ? v * std::sqrt(v) : v;
      q = model1_ ? v * v : v;
    }
    Local l;
    if (logS_) {
      l.aS = 0.5 * v;
      l.bS = rMinusD_ - 0.5 * v;
      l.crossNum = xiRho_ * w;
    } else {
      const double s = S_[i];
      l.aS = 0.5 * v * s * s;
      l.bS = rMinusD_ * s;
      l.crossNum = xiRho_ * w * s;
    }
    l.aV = halfXi2_ * q;
    l.D = kappa_ * (vL_ - v);
    return l;
  }

  bool logS() const { return logS_; }
  double r() const { return r_; }
  double rMinusD() const { return rMinusD_; }
  int NS() const { return NS_; }
  int NV() const { return NV_; }
  double V(int j) const { return V_[j]; }

 private:
  bool logS_;
  bool unitExponent_;
  double r_, rMinusD_, kappa_, vL_, halfXi2_, xiRho_;
  bool model1_;
  double p_;
  int NS_, NV_;
  const std::valarray<double>& S_;
  const std::valarray<double>& V_;
};

void checkSizes(const Coefficients& c,
                const std::vector<double>& sAxis,
                const std::vector<double>& h,
                const std::vector<double>& vAxis,
                const std::vector<double>& k) {
  const std::size_t ns = static_cast<std::size_t>(c.NS()), nv = static_cast<std::size_t>(c.NV());
  if (sAxis.size() < ns + 1 || h.size() < ns + 2 || vAxis.size() < nv || k.size() < nv + 1) {
    throw std::invalid_argument("the operator's weight vectors do not match the grid sizes");
  }
}

void assemble(const QelHestonVanilla& pricer,
              bool logS,
              std::vector<Eigen::Triplet<double>>& out,
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
  const Coefficients co(pricer, logS, unitExponent);
  for (const auto* v : {&alphaM, &alphaP, &alpha0, &betaM, &betaP, &beta0}) {
    checkSizes(co, *v, h, gammaM, k);
  }
  for (const auto* v : {&gammaP, &gamma0, &deltaM, &deltaP, &delta0}) {
    checkSizes(co, alphaM, h, *v, k);
  }
  const int NS = co.NS(), NV = co.NV();
  const double r = co.r();
  const double w = opKind == 0 ? 1.0 : (opKind == 6 ? 1.5 : 11.0 / 6.0);
  const auto idx = [NS](int i, int j) { return j * NS + i - 1; };
  // Every position is appended, zero values included: the pattern depends on NS and NV only.
  out.reserve(out.size() + static_cast<std::size_t>(7) * NS * NV);
  int row = 0;
  const auto off = [&](int i, int j, double ell) {
    if (i < 1) return;  // the S = 0 column goes to the right-hand side
    out.emplace_back(row, idx(i, j), -dt * ell);
  };
  const auto centre = [&](double ell) { out.emplace_back(row, row, w - dt * ell); };

  // 1. Interior and v = 0 rows, with the cross term.
  for (int j = 0; j <= NV - 2; ++j) {
    const double km = k[j], kp = k[j + 1];
    for (int i = 1; i <= NS - 1; ++i) {
      row = idx(i, j);
      const double hm = h[i], hp = h[i + 1];
      const Local l = co.at(i, j);
      const double c = l.crossNum / (km * hp + hm * kp);
      const double aS = l.aS + 0.5 * (hm * hm + hp * hp) * c;
      const double bS = l.bS + (hp - hm) * c;
      const double aV = l.aV + 0.5 * (km * km + kp * kp) * c;
      const double bV = l.D + (kp - km) * c;
      if (j >= 1) {
        off(i + 1, j - 1, -c);
        off(i - 1, j + 1, -c);
        off(i, j - 1, aV * gammaM[j] + bV * deltaM[j]);
      }
      off(i - 1, j, aS * alphaM[i] + bS * betaM[i]);
      off(i + 1, j, aS * alphaP[i] + bS * betaP[i]);
      if (j == 0) {
        // v = 0: no S diffusion and no cross entries (both vanish with v_0 = 0), the one-sided
        // variance drift.
        if (NV > 2) off(i, 2, c2);
        centre(bS * beta0[i] + c0 - r);
        off(i, 1, c1);
      } else {
        centre(aS * alpha0[i] + bS * beta0[i] + aV * gamma0[j] + bV * delta0[j] + 2.0 * c - r);
        off(i, j + 1, aV * gammaP[j] + bV * deltaP[j]);
      }
    }
  }
  // 2. S-max rows: ghost node equal to node NS (alpha+ folded into the centre), no S convection.
  for (int j = 0; j <= NV - 2; ++j) {
    row = idx(NS, j);
    const Local l = co.at(NS, j);
    off(NS - 1, j, l.aS * alphaM[NS]);
    if (j >= 1) {
      off(NS, j - 1, l.aV * gammaM[j] + l.D * deltaM[j]);
      centre(l.aS * (alphaP[NS] + alpha0[NS]) + l.aV * gamma0[j] + l.D * delta0[j] - r);
      off(NS, j + 1, l.aV * gammaP[j] + l.D * deltaP[j]);
    } else {
      if (NV > 2) off(NS, 2, c2);
      centre(c0 - r);
      off(NS, 1, c1);
    }
  }
  // 3. Top variance rows: dU/dv = 0 at Vmax (gamma+ folded into the centre), no v convection.
  const int jt = NV - 1;
  for (int i = 1; i <= NS - 1; ++i) {
    row = idx(i, jt);
    const Local l = co.at(i, jt);
    off(i - 1, jt, l.aS * alphaM[i] + l.bS * betaM[i]);
    off(i + 1, jt, l.aS * alphaP[i] + l.bS * betaP[i]);
    centre(l.aV * (gammaP[jt] + gamma0[jt]) + l.aS * alpha0[i] + l.bS * beta0[i] - r);
    off(i, jt - 1, l.aV * gammaM[jt]);
  }
  // 4. The corner (NS, NV-1).
  {
    row = idx(NS, jt);
    const Local l = co.at(NS, jt);
    off(NS, jt - 1, l.aV * gammaM[jt]);
    off(NS - 1, jt, l.aS * alphaM[NS]);
    centre(l.aS * (alpha0[NS] + alphaP[NS]) + l.aV * (gammaP[jt] + gamma0[jt]) - r);
  }
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
  const Coefficients co(pricer, logS, unitExponent);
  checkSizes(co, alphaM, h, k, k);
  checkSizes(co, alphaP, h, k, k);
  checkSizes(co, betaM, h, k, k);
  const int NS = co.NS(), NV = co.NV();
  BoundaryWeights b;
  b.zeroColumn.assign(NV, 0.0);
  b.farField.assign(NV, 0.0);
  for (int j = 0; j < NV; ++j) {
    const Local l = co.at(1, j);
    if (j <= NV - 2 && NS > 1) {
      // Corrected coefficients and the cross neighbour (0, j+1).
      const double hm = h[1], hp = h[2], km = k[j], kp = k[j + 1];
      const double c = l.crossNum / (km * hp + hm * kp);
      const double aS = l.aS + 0.5 * (hm * hm + hp * hp) * c;
      const double bS = l.bS + (hp - hm) * c;
      b.zeroColumn[j] = aS * alphaM[1] + bS * betaM[1] - c;
    } else {
      b.zeroColumn[j] = l.aS * alphaM[1] + l.bS * betaM[1];
    }
    const Local f = co.at(NS, j);
    if (logS) {
      b.farField[j] = f.aS * alphaP[NS] * (sGhost - sLast) + (co.rMinusD() - 0.5 * co.V(j)) * sLast;
    } else {
      b.farField[j] = f.aS * alphaP[NS] * h[NS + 1] + f.bS;
    }
  }
  return b;
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
  assemble(pricer,
           false,
           triplets,
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
           c2,
           dt,
           opKind,
           status,
           false);
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
  assemble(pricer,
           true,
           triplets,
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
           c2,
           dt,
           opKind,
           status,
           unitExponent);
}

BoundaryWeights boundaryWeightsS(const QelHestonVanilla& pricer,
                                 const std::vector<double>& alphaM,
                                 const std::vector<double>& alphaP,
                                 const std::vector<double>& betaM,
                                 const std::vector<double>& h,
                                 const std::vector<double>& k) {
  return boundaryWeights(pricer, false, alphaM, alphaP, betaM, h, k, 0.0, 0.0, false);
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

SparseEulerStart::SparseEulerStart(AdiFrame& f, double dtE, bool unitExponent) : f_(f), dtE_(dtE) {
  const QelHestonVanilla& o = f.obj;
  const int N = f.N, NV = f.NV;
  if (o.NS != N || o.NV != NV) {
    throw std::logic_error("the pricer's grid sizes do not match the solver's grids");
  }
  const bool logS = f.layout.logAsset;
  const Eigen::Index n = static_cast<Eigen::Index>(N) * NV;
  std::vector<Eigen::Triplet<double>> triplets;
  std::int64_t status = 0;  // the assembly has no failure of its own
  constexpr int kBackwardEuler = 0;
  if (logS) {
    assembleOperatorLogS(o,
                         triplets,
                         f.alphaM,
                         f.alphaP,
                         f.alpha0,
                         f.betaM,
                         f.betaP,
                         f.beta0,
                         f.h,
                         f.k,
                         f.gammaM,
                         f.gammaP,
                         f.gamma0,
                         f.deltaM,
                         f.deltaP,
                         f.delta0,
                         f.c0,
                         f.c1,
                         f.c2,
                         dtE,
                         kBackwardEuler,
                         status,
                         unitExponent);
    bw_ = boundaryWeightsLogS(
        o, f.alphaM, f.alphaP, f.betaM, f.h, f.k, f.S[N], f.sGhost, unitExponent);
  } else {
    assembleOperatorS(o,
                      triplets,
                      f.alphaM,
                      f.alphaP,
                      f.alpha0,
                      f.betaM,
                      f.betaP,
                      f.beta0,
                      f.h,
                      f.k,
                      f.gammaM,
                      f.gammaP,
                      f.gamma0,
                      f.deltaM,
                      f.deltaP,
                      f.delta0,
                      f.c0,
                      f.c1,
                      f.c2,
                      dtE,
                      kBackwardEuler,
                      status);
    bw_ = boundaryWeightsS(o, f.alphaM, f.alphaP, f.betaM, f.h, f.k);
  }
  A_.resize(n, n);
  A_.setFromTriplets(triplets.begin(), triplets.end());  // duplicates summed
  A_.makeCompressed();
  // A failed analysis or a singular operator would otherwise give NaN prices without a word: the
  // status of UMFPACK is examined and a failure raised.
  lu_.analyzePattern(A_);
  if (lu_.info() != Eigen::Success) {
    throw std::runtime_error("The sparse LU analysis of the PDE operator failed");
  }
  lu_.factorize(A_);
  if (lu_.info() != Eigen::Success) {
    throw std::runtime_error("The sparse LU factorisation of the PDE operator failed");
  }
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
  x_ = lu_.solve(b_);
  if (lu_.info() != Eigen::Success) {
    throw std::runtime_error("The sparse LU solve of the PDE operator failed");
  }
  const double* xp = x_.data();
  for (int j = 0; j < NV; ++j) {
    std::copy(xp + static_cast<std::ptrdiff_t>(j) * N,
              xp + static_cast<std::ptrdiff_t>(j + 1) * N,
              f.Y[j] + 1);
  }
}
