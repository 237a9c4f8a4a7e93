#include "pde2d/spatial_operator.h"

#include <cmath>

#include "core/qel_heston_vanilla.h"

SpatialOperator::SpatialOperator(const QelHestonVanilla& o,
                                 const OperatorForm& form,
                                 const OperatorGrid& grid)
    : form_(form),
      grid_(grid),
      r_(o.r),
      rMinusD_(o.r - o.d),
      kappa_(o.theta),
      vL_(o.vL),
      halfXi2_(0.5 * (o.volvol * o.volvol)),
      xiRho_(o.volvol * o.rho),
      model1_(o.model == 1) {}

OperatorRow SpatialOperator::row(int j) const {
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

NodeCoefficients SpatialOperator::coefficients(const OperatorRow& row, int i) const {
  const OperatorGrid& g = grid_;
  const int j = row.j;
  const bool lg = form_.logAsset;
  const bool top = (j == g.NV - 1);
  const bool interior = isInterior(i, j);
  const double v = row.v;
  const double hm = g.h[i], hp = g.h[i + 1], km = g.k[j], kp = g.k[j + 1];
  NodeCoefficients n;
  n.plainAS = lg ? 0.5 * v : 0.5 * v * g.S[i] * g.S[i];
  n.plainBS = lg ? rMinusD_ - 0.5 * v : rMinusD_ * g.S[i];
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

NodeWeights SpatialOperator::weights(const OperatorRow& row, int i) const {
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

NodeWeights SpatialOperator::crossWeights(const OperatorRow& row, int i) const {
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
