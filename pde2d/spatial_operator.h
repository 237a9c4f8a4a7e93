#ifndef SERIVANE_PDE2D_SPATIAL_OPERATOR_H_
#define SERIVANE_PDE2D_SPATIAL_OPERATOR_H_

#include <cmath>

namespace serivane {

class QelHestonVanilla;

// The spatial operator L of the backward pricing equation,
//
//   L U = 1/2 v S^2 U_SS + rho xi w(v) S U_Sv + 1/2 xi^2 q(v) U_vv + (r - d) S U_S
//         + kappa (vL - v) U_v - r U,
//
// on the non-uniform asset-by-variance grid, node by node: the one derivation from which the ADI
// frame takes its explicit stencil, its cross-term part and its one-directional systems, and the
// sparse assembly its whole-operator matrix and right-hand-side weights. Three-point weights on
// non-uniform grids (W. Hundsdorfer, J. G. Verwer, "Numerical Solution of Time-Dependent
// Advection-Diffusion-Reaction Equations" (2003), ch. I.5); the mixed derivative either on the
// anti-diagonal neighbours (i+1, j-1), (i-1, j+1) with the rest of its Taylor expansion folded into
// the axis coefficients, which keeps the corner weights non-negative for rho <= 0 (K. J. in 't
// Hout, S. Foulon, "ADI finite difference schemes for option pricing in the Heston model with
// correlation", Int. J. Numer. Anal. Model. 7 (2010)), or by the nine-point product of the central
// first-derivative stencils.
//
// Boundary rules: the last asset node i = N folds the ghost node beyond it into the centre and
// takes the known slope g = dU/dS there in place of its convection stencil; the top variance row
// j = NV - 1 folds U(i, NV) = U(i, NV - 1) into the centre and has no variance drift; the v = 0 row
// j = 0 takes the one-sided drift c0, c1, c2 in place of the variance stencil. All three drop the
// mixed term.

// What the solvers differ in.
struct OperatorForm {
  // Asset axis S, or log-asset axis x = ln S: a_S = v / 2, b_S = (r - d) - v / 2 and the cross
  // numerator rho xi w(v) without the factor S.
  bool logAsset = false;
  // Model 1 variance powers: with unitExponent w = v sqrt(v), q = v^2 (the exponent 1, by the
  // square root); otherwise w = v^wExponent, q = v^qExponent by the power function. Model 0 takes
  // w = q = v.
  bool unitExponent = true;
  double wExponent = 1.5, qExponent = 2.0;
  // The nine-point mixed stencil with nothing folded into the other coefficients, in place of the
  // anti-diagonal one.
  bool centralCross = false;
};

// The grid the operator is derived on: views of vectors that outlive the operator. Spacings
// h_i = X_i - X_(i-1), i = 1..N, h_(N+1) the ghost spacing; k_j = V_j - V_(j-1), j = 1..NV,
// k_0 = k_1. Three-point weights of the second (alpha, gamma) and first (beta, delta) derivatives
// on the asset axis for i = 1..N and on the variance axis for j = 1..NV - 1; c0, c1, c2 the
// one-sided drift weights of the v = 0 row.
// The three weights of one derivative on one axis: towards the lower neighbour, at the node,
// towards the upper neighbour.
struct StencilWeights {
  const double* minus = nullptr;
  const double* centre = nullptr;
  const double* plus = nullptr;
};

struct OperatorGrid {
  OperatorGrid() = default;
  // The one place the views are filled: alpha and beta the asset axis's second and first
  // derivatives, gamma and delta the variance axis's.
  OperatorGrid(int lastAssetNode,
               int varianceIntervals,
               const double* assetValues,
               const double* varianceNodes,
               const double* assetSpacings,
               const double* varianceSpacings,
               StencilWeights alpha,
               StencilWeights beta,
               StencilWeights gamma,
               StencilWeights delta,
               double zeroRowC0,
               double zeroRowC1,
               double zeroRowC2)
      : N(lastAssetNode),
        NV(varianceIntervals),
        S(assetValues),
        V(varianceNodes),
        h(assetSpacings),
        k(varianceSpacings),
        alphaM(alpha.minus),
        alpha0(alpha.centre),
        alphaP(alpha.plus),
        betaM(beta.minus),
        beta0(beta.centre),
        betaP(beta.plus),
        gammaM(gamma.minus),
        gamma0(gamma.centre),
        gammaP(gamma.plus),
        deltaM(delta.minus),
        delta0(delta.centre),
        deltaP(delta.plus),
        c0(zeroRowC0),
        c1(zeroRowC1),
        c2(zeroRowC2) {}

  int N = 0;                  // last asset node
  int NV = 0;                 // variance intervals; rows 0..NV - 1 are solved for
  const double* S = nullptr;  // asset values S_0..S_N (asset axis only)
  const double* V = nullptr;  // variance nodes V_0 = 0..V_NV
  const double* h = nullptr;
  const double* k = nullptr;
  const double *alphaM = nullptr, *alpha0 = nullptr, *alphaP = nullptr;
  const double *betaM = nullptr, *beta0 = nullptr, *betaP = nullptr;
  const double *gammaM = nullptr, *gamma0 = nullptr, *gammaP = nullptr;
  const double *deltaM = nullptr, *delta0 = nullptr, *deltaP = nullptr;
  double c0 = 0.0, c1 = 0.0, c2 = 0.0;
  // Log-asset axis: the asset values of the last node and of the ghost node (the slope term).
  double sLast = 0.0, sGhost = 0.0;
};

// The quantities of one variance row j.
struct OperatorRow {
  int j = 0;
  double v = 0.0;   // V_j
  double w = 0.0;   // w(V_j), mixed term
  double aV = 0.0;  // 1/2 xi^2 q(V_j), variance diffusion
  double D = 0.0;   // kappa (vL - V_j), variance drift
};

// The coefficients of L at one node after the boundary rules.
struct NodeCoefficients {
  double plainAS = 0.0, plainBS = 0.0;  // a_S, b_S without the mixed-term corrections
  double c = 0.0;                       // anti-diagonal mixed coefficient (0 where dropped)
  // The Taylor remainder of the anti-diagonal pair, folded into a_S, b_S, a_v, b_v.
  double dAS = 0.0, dBS = 0.0, dAV = 0.0, dBV = 0.0;
  double aS = 0.0, bS = 0.0, aV = 0.0, bV = 0.0;  // corrected; bV = 0 on the top row
  double m = 0.0;  // nine-point mixed coefficient rho xi w(v) S (0 where dropped)
};

// The terms of a node's centre weight: the S diffusion and convection, the variance diffusion (c0
// on the v = 0 row) and drift, the mixed term's 2c and the reaction -r.
struct CentreTerms {
  double sDiffusion = 0.0, sConvection = 0.0, vDiffusion = 0.0, vDrift = 0.0;
  double cross = 0.0, reaction = 0.0;
};

// Weights of one node's equation on its neighbours.
struct NodeWeights {
  // centre = ((S terms) + (2c - r)) + (variance terms), the sum the ADI stencil takes; the sparse
  // assembly sums the terms in its own order.
  double west = 0.0, centre = 0.0, east = 0.0, south = 0.0, north = 0.0;
  CentreTerms terms;
  double sw = 0.0, se = 0.0, nw = 0.0, ne = 0.0;  // anti-diagonal: se = nw = -c, sw = ne = 0
  double slope = 0.0;                             // i = N: weight of the slope g at Smax
};

class SpatialOperator {
 public:
  // Reads r, d, theta (kappa), vL, volvol, rho and model from the pricer.
  SpatialOperator(const QelHestonVanilla& pricer,
                  const OperatorForm& form,
                  const OperatorGrid& grid);

  const OperatorForm& form() const { return form_; }
  const OperatorGrid& grid() const { return grid_; }
  double r() const { return r_; }

  OperatorRow row(int j) const;
  NodeCoefficients coefficients(const OperatorRow& row, int i) const;
  // The plain a_S and b_S alone (what the one-directional systems use): of the row they need
  // only its variance v, not its powers of v.
  void plainAsset(double v, int i, double& aS, double& bS) const {
    if (form_.logAsset) {
      aS = 0.5 * v;
      bS = rMinusD_ - 0.5 * v;
    } else {
      aS = 0.5 * v * grid_.S[i] * grid_.S[i];
      bS = rMinusD_ * grid_.S[i];
    }
  }
  // L at node (i, j), i = 1..N, j = 0..NV - 1. At j = 0 the weight c2 of (i, 2) is the grid's; at
  // i = N east is 0 and the ghost node enters through slope.
  NodeWeights weights(const OperatorRow& row, int i) const;
  // The part of L proportional to the mixed coefficient, at the interior nodes i = 1..N - 1,
  // j = 1..NV - 2: the anti-diagonal stencil with its Taylor remainder, or the nine-point stencil.
  NodeWeights crossWeights(const OperatorRow& row, int i) const;

 private:
  // The nodes that keep the mixed term: neither the last asset node nor the v = 0 or top row.
  bool isInterior(int i, int j) const { return i < grid_.N && j > 0 && j < grid_.NV - 1; }

  OperatorForm form_;
  OperatorGrid grid_;
  double r_, rMinusD_, kappa_, vL_, halfXi2_, xiRho_;
  bool model1_;
};

// Defined here so that the loops over the nodes inline them.

inline OperatorRow SpatialOperator::row(int j) const {
  OperatorRow row;
  const double v = grid_.V[j];
  double q = v;
  row.j = j;
  row.v = v;
  row.w = v;
  if (model1_ && form_.unitExponent) {
    row.w = v * std::sqrt(v);
    q = v * v;
  } else if (model1_) {
    row.w = std::pow(v, form_.wExponent);
    q = std::pow(v, form_.qExponent);
  }
  row.aV = halfXi2_ * q;
  row.D = kappa_ * (vL_ - v);
  return row;
}

inline NodeCoefficients SpatialOperator::coefficients(const OperatorRow& row, int i) const {
  const OperatorGrid& g = grid_;
  const int j = row.j;
  const bool lg = form_.logAsset;
  const bool top = (j == g.NV - 1);
  const bool interior = isInterior(i, j);
  const double hm = g.h[i], hp = g.h[i + 1], km = g.k[j], kp = g.k[j + 1];
  NodeCoefficients n;
  plainAsset(row.v, i, n.plainAS, n.plainBS);
  const double crossNum = lg ? xiRho_ * row.w : xiRho_ * row.w * g.S[i];
  if (interior && !form_.centralCross) n.c = crossNum / (hp * km + hm * kp);
  if (interior && form_.centralCross) n.m = crossNum;
  const double c = n.c;
  n.dAS = 0.5 * (hm * hm + hp * hp) * c;
  n.dBS = (hp - hm) * c;
  n.dAV = 0.5 * (km * km + kp * kp) * c;
  n.dBV = (kp - km) * c;
  n.aS = n.plainAS + n.dAS;
  n.bS = n.plainBS + n.dBS;
  n.aV = row.aV + n.dAV;
  n.bV = top ? 0.0 : row.D + n.dBV;
  return n;
}

inline NodeWeights SpatialOperator::weights(const OperatorRow& row, int i) const {
  const OperatorGrid& g = grid_;
  const int j = row.j;
  const NodeCoefficients n = coefficients(row, i);
  const double aS = n.aS, bS = n.bS, aV = n.aV, bV = n.bV, c = n.c;
  const double am = g.alphaM[i], a0 = g.alpha0[i], ap = g.alphaP[i];
  const double bm = g.betaM[i], b0 = g.beta0[i], bp = g.betaP[i];
  NodeWeights w;
  CentreTerms& t = w.terms;
  if (i == g.N) {
    // Ghost U(N+1) = U(N) + g h_(N+1) and the known slope g in the drift term; on the log-asset
    // axis U_x = S U_S = S g.
    w.west = aS * am;
    t.sDiffusion = aS * (a0 + ap);
    w.slope = form_.logAsset ? aS * ap * (g.sGhost - g.sLast) + n.plainBS * g.sLast
                             : aS * ap * g.h[i + 1] + n.plainBS;
  } else {
    w.west = aS * am + bS * bm;
    t.sDiffusion = aS * a0;
    t.sConvection = bS * b0;
    w.east = aS * ap + bS * bp;
  }
  t.cross = 2.0 * c;
  t.reaction = -r_;
  if (j == 0) {
    t.vDiffusion = g.c0;
    w.north = g.c1;
  } else if (j == g.NV - 1) {
    // U(i, NV) = U(i, NV - 1): dU/dv = 0 at Vmax.
    w.south = aV * g.gammaM[j] + bV * g.deltaM[j];
    t.vDiffusion = aV * (g.gamma0[j] + g.gammaP[j]);
    t.vDrift = bV * (g.delta0[j] + g.deltaP[j]);
  } else {
    w.south = aV * g.gammaM[j] + bV * g.deltaM[j];
    t.vDiffusion = aV * g.gamma0[j];
    t.vDrift = bV * g.delta0[j];
    w.north = aV * g.gammaP[j] + bV * g.deltaP[j];
  }
  w.centre = ((t.sDiffusion + t.sConvection) + (t.cross + t.reaction)) + (t.vDiffusion + t.vDrift);
  w.se = -c;
  w.nw = -c;
  if (form_.centralCross && isInterior(i, j)) {
    const NodeWeights x = crossWeights(row, i);
    w.west += x.west;
    w.centre += x.centre;
    w.east += x.east;
    w.south += x.south;
    w.north += x.north;
    w.sw = x.sw;
    w.se = x.se;
    w.nw = x.nw;
    w.ne = x.ne;
  }
  return w;
}

inline NodeWeights SpatialOperator::crossWeights(const OperatorRow& row, int i) const {
  const OperatorGrid& g = grid_;
  const int j = row.j;
  const NodeCoefficients n = coefficients(row, i);
  const double bm = g.betaM[i], b0 = g.beta0[i], bp = g.betaP[i];
  const double dm = g.deltaM[j], d0 = g.delta0[j], dp = g.deltaP[j];
  NodeWeights x;
  if (form_.centralCross) {
    // rho xi S w(v) U_Sv by the product of the central first-derivative stencils.
    const double m = n.m;
    x.west = m * bm * d0;
    x.centre = m * b0 * d0;
    x.east = m * bp * d0;
    x.south = m * b0 * dm;
    x.north = m * b0 * dp;
    x.sw = m * bm * dm;
    x.se = m * bp * dm;
    x.nw = m * bm * dp;
    x.ne = m * bp * dp;
    return x;
  }
  const double sDiff = n.dAS, sConv = n.dBS, vDiff = n.dAV, vConv = n.dBV;
  x.west = sDiff * g.alphaM[i] + sConv * bm;
  x.east = sDiff * g.alphaP[i] + sConv * bp;
  x.south = vDiff * g.gammaM[j] + vConv * dm;
  x.north = vDiff * g.gammaP[j] + vConv * dp;
  x.centre = sDiff * g.alpha0[i] + sConv * b0 + vDiff * g.gamma0[j] + vConv * d0 + 2.0 * n.c;
  x.se = -n.c;
  x.nw = -n.c;
  return x;
}

}  // namespace serivane

#endif  // SERIVANE_PDE2D_SPATIAL_OPERATOR_H_
