#include "pde2d/adi_frame.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <valarray>

#include "core/interpolation.h"
#include "core/qel_heston_vanilla.h"
#include "core/tridiag.h"
#include "pde2d/scheme_weights.h"
#include "platform/cpu_clock.h"

namespace serivane {

int dampingStepCount = 2;
double negValueRatioLimit = -0.005;
unsigned char convFileFlag = 0;

namespace {

// Default concentration of the variance grid (the asset grid's is kDefaultSConcentration).
constexpr double kDefaultVConcentration = 4.0;
// The square-root variance model always uses this variance concentration, the asset grid's
// default.
constexpr double kModel0VConcentration = kDefaultSConcentration;
// The monitor ignores negative values smaller than this: rounding noise around zero prices.
constexpr double kNegativeNoiseFloor = -1e-15;
// The monitor's neighbourhood of (S0, v0): 5% in S, half to one and a half v0 in v.
constexpr double kMonitorSWidth = 0.05;
// Points of the interpolation along each axis when the price is read off the grid.
constexpr int kInterpOrder = 6;

}  // namespace

AdiFrame::AdiFrame(const PDESolveArgs& a) : AdiFrame(a, FrameLayout()) {}

AdiFrame::AdiFrame(const PDESolveArgs& a, const FrameLayout& l)
    : obj(*a.object), args(a), layout(l) {
  if (convFileFlag) openLogForAppend(conv_, "Conv.txt");
}

void AdiFrame::setUp() {
  T = obj.T;
  Vmax = obj.calcVMax(obj.T + obj.tShift);
  if (args.wideVRange) Vmax *= 1.5;
  rMinusD = obj.r - obj.d;

  // Exercise dates: NT becomes a multiple of their count, with at least 5 steps between dates
  // for a plain run.
  if (layout.roundExerciseDates && obj.nExercise > 1) {
    const int n = obj.nExercise;
    const int m = (obj.precision == 3) ? 5 : 1;
    const int perDate = static_cast<int>(static_cast<double>(obj.NT) / n + 0.5);
    obj.NT = n * std::max(m, perDate);
  }
  // A solve without time steps would return the payoff as the price.
  if (obj.NT < 1) throw std::invalid_argument("the number of time steps must be positive");
  NT = obj.NT;
  dt = T / NT;

  const double sDefault =
      layout.sConcentrationFromObject ? obj.sConcentration : kDefaultSConcentration;
  double sConc = args.sConcentration == 0.0 ? sDefault : args.sConcentration;
  double vConc = args.vConcentration == 0.0 ? kDefaultVConcentration : args.vConcentration;
  if (obj.model == 0) vConc = kModel0VConcentration;

  std::valarray<double> sNodes;
  if (sConc <= 0.0) {
    obj.buildSGridPlain(sNodes, args.wideSGrid);
  } else if (layout.logAsset) {
    obj.buildLogSGrid(sNodes, sConc, args.wideSGrid);
  } else {
    obj.buildSGridAtStrike(sNodes, sConc, args.wideSGrid);
  }
  obj.grid = sNodes;
  nS = static_cast<std::int32_t>(sNodes.size());
  N = nS - 1;
  // The end formulas and the 6-point interpolation need a few nodes on each axis.
  if (N < 5) throw std::invalid_argument("the asset grid needs at least 6 nodes");
  X.assign(std::begin(sNodes), std::end(sNodes));
  S = X;
  h.assign(N + 2, 0.0);
  for (int i = 1; i <= N; ++i) h[i] = X[i] - X[i - 1];
  if (layout.logAsset) {
    for (double& s : S) s = std::exp(s);
    // Quadratic extrapolation of the spacing of the log-asset nodes.
    h[N + 1] = 3.0 * h[N] - 3.0 * h[N - 1] + h[N - 2];
    sGhost = std::exp(X[N] + h[N + 1]);
  } else {
    h[N + 1] = 2.0 * h[N] - h[N - 1];  // extrapolated linearly, not repeated
    sGhost = S[N] + h[N + 1];
  }

  std::valarray<double> vNodes;
  if (obj.useSinhVGrid) {
    obj.buildVGridSinh(obj.v0, obj.NV, Vmax, vConc, vNodes);
  } else {
    obj.buildVGridHybrid(obj.v0, obj.NV, Vmax, vConc, vNodes);
  }
  NV = static_cast<std::int32_t>(vNodes.size()) - 1;
  if (NV < 5) throw std::invalid_argument("the variance grid needs at least 6 nodes");
  vNodes[0] = 0.0;
  obj.vGrid = vNodes;
  V.assign(std::begin(vNodes), std::end(vNodes));
  k.assign(NV + 1, 0.0);
  for (int j = 1; j <= NV; ++j) k[j] = V[j] - V[j - 1];
  k[0] = k[1];

  if (layout.logAsset) {
    obj.setPayoffLogS();
    obj.smoothPayoffLogS();
  } else {
    obj.setPayoffS();
    obj.smoothPayoffS();
  }
  // On the expiry day the values are the payoff itself: no step follows that the smoothing of
  // the strike cell would serve.
  if (atExpiry()) obj.values = obj.payoff;

  stride = N + 1;
  U = DenseMatrix(NV + 1, stride, 0.0);
  Y = DenseMatrix(NV + 1, stride, 0.0);
  Y0 = DenseMatrix(NV + 1, stride, 0.0);
  Y2 = DenseMatrix(NV + 1, stride, 0.0);
  for (int j = 0; j <= NV; ++j) {
    for (int i = 0; i <= N; ++i) {
      U[j][i] = obj.values[i];
      Y[j][i] = obj.values[i];
    }
  }
  buildCoefficients();
}

void AdiFrame::buildCoefficients() {
  for (auto* v : {&alphaM, &alpha0, &alphaP, &betaM, &beta0, &betaP}) v->assign(N + 1, 0.0);
  for (int i = 1; i <= N; ++i) {
    const double hm = h[i], hp = h[i + 1];
    alphaM[i] = 2.0 / (hm * (hm + hp));
    alpha0[i] = -2.0 / (hm * hp);
    alphaP[i] = 2.0 / (hp * (hm + hp));
    betaM[i] = -(hp / hm) / (hm + hp);
    beta0[i] = ((hp - hm) / hm) / hp;
    betaP[i] = (hm / hp) / (hm + hp);
  }
  for (auto* v : {&gammaM, &gamma0, &gammaP, &deltaM, &delta0, &deltaP}) v->assign(NV + 1, 0.0);
  for (int j = 1; j < NV; ++j) {
    const double km = k[j], kp = k[j + 1];
    gammaM[j] = 2.0 / (km * (km + kp));
    gamma0[j] = -2.0 / (km * kp);
    gammaP[j] = 2.0 / (kp * (km + kp));
    deltaM[j] = -(kp / km) / (km + kp);
    delta0[j] = ((kp - km) / km) / kp;
    deltaP[j] = (km / kp) / (km + kp);
  }
  // One-sided second-order variance drift at v = 0.
  const double D0 = obj.theta * (obj.vL - V[0]);
  const double k1 = V[1] - V[0], k2 = V[2] - V[1];
  c0 = -(2.0 * k1 + k2) * D0 / (k1 * (k1 + k2));
  c1 = (k1 + k2) * D0 / (k1 * k2);
  c2 = -k1 * D0 / (k2 * (k1 + k2));

  const std::size_t size = static_cast<std::size_t>(NV) * stride;
  fWeights_.reset(size, layout.centralCross);
  gCoef_.assign(NV, 0.0);
  const SpatialOperator op = spatialOperator();
  for (int j = 0; j < NV; ++j) {
    const OperatorRow row = op.row(j);
    const std::size_t at = static_cast<std::size_t>(j) * stride;
    // The last node apart: the loop over the others carries no test of its boundary rule.
    const int last = op.grid().N;
    for (int i = 1; i < last; ++i) fWeights_.store(at + i, op.weights(row, i));
    const NodeWeights w = op.weights(row, last);
    fWeights_.store(at + last, w);
    gCoef_[j] = w.slope;
  }
  stencil_ = fWeights_.view();
  stencil_.gCoef = gCoef_.data();
  stencil_.c2 = c2;
}

void StencilArrays::reset(std::size_t size, bool fourCorners) {
  fourCorners_ = fourCorners;
  for (auto* v : {&w_, &c_, &e_, &s_, &n_, &se_}) v->resize(size);
  for (auto* v : {&sw_, &nw_, &ne_}) v->resize(fourCorners ? size : 0);
}

void StencilArrays::store(std::size_t at, const NodeWeights& w) {
  w_[at] = w.west;
  c_[at] = w.centre;
  e_[at] = w.east;
  s_[at] = w.south;
  n_[at] = w.north;
  se_[at] = w.se;
  if (fourCorners_) {
    sw_[at] = w.sw;
    nw_[at] = w.nw;
    ne_[at] = w.ne;
  }
}

adi_kernels::Stencil StencilArrays::view() const {
  adi_kernels::Stencil st;
  st.w = w_.data();
  st.c = c_.data();
  st.e = e_.data();
  st.s = s_.data();
  st.n = n_.data();
  st.se = se_.data();
  st.nw = fourCorners_ ? nw_.data() : se_.data();
  if (fourCorners_) {
    st.sw = sw_.data();
    st.ne = ne_.data();
  }
  return st;
}

OperatorGrid AdiFrame::operatorGrid() const {
  OperatorGrid g(N,
                 NV,
                 S.data(),
                 V.data(),
                 h.data(),
                 k.data(),
                 {alphaM.data(), alpha0.data(), alphaP.data()},
                 {betaM.data(), beta0.data(), betaP.data()},
                 {gammaM.data(), gamma0.data(), gammaP.data()},
                 {deltaM.data(), delta0.data(), deltaP.data()},
                 c0,
                 c1,
                 c2);
  g.sLast = S[N];
  g.sGhost = sGhost;
  return g;
}

SpatialOperator AdiFrame::spatialOperator() const {
  OperatorForm form;
  form.logAsset = layout.logAsset;
  // The exponent 1 by the square root only where the pricer's p is 1: another p is always priced.
  form.unitExponent = layout.unitExponent && obj.p == 1.0;
  form.wExponent = obj.p + 0.5;
  form.qExponent = 2.0 * obj.p;
  form.centralCross = layout.centralCross;
  return SpatialOperator(obj, form, operatorGrid());
}

void AdiFrame::setUpImplicitSystems(double schemeTheta, double dtSub) {
  const SpatialOperator op = spatialOperator();
  const double td = schemeTheta * dtSub;
  a1ThetaDt_ = td;
  dtSub_ = dtSub;
  schemeTheta_ = schemeTheta;
  setUpAssetSystems(op, td);
  setUpVarianceSystem(op, td);
}

// A1: the S direction, one system per variance row, nodes i = 1..N.
void AdiFrame::setUpAssetSystems(const SpatialOperator& op, double td) {
  const double r = op.r();
  // Buffers keep their size from one call to the next (no allocation when the time loop sets up
  // the full scheme after the damped start).
  const std::size_t size = static_cast<std::size_t>(NV) * stride;
  for (auto* v : {&a1Lower_, &a1DiagM1_, &a1Upper_}) v->assign(size, 0.0);
  // Factors by groups of rows, the rows beyond the last one neutral (l = u/d = 0, 1/d = 1).
  constexpr int lanes = adi_kernels::kA1Lanes;
  const std::size_t groupSize = static_cast<std::size_t>(stride) * lanes;
  const std::size_t groups = (static_cast<std::size_t>(NV) + lanes - 1) / lanes;
  a1L_.assign(groups * groupSize, 0.0);
  a1UD_.assign(groups * groupSize, 0.0);
  a1InvD_.assign(groups * groupSize, 1.0);
  a1Work_.assign(groupSize, 0.0);
  a1Pad_.assign(stride, 0.0);
  a1Zero_.assign(NV, 0.0);
  // The rows' systems, interleaved by groups as their factors are; lanes beyond the last row
  // get the neutral system (lo = up = 0, di = 1).
  for (auto* v : {&sysLo_, &sysDi_, &sysUp_, &sysD_}) v->assign(groupSize, 0.0);
  double *lo = sysLo_.data(), *di = sysDi_.data(), *up = sysUp_.data(), *dd = sysD_.data();
  for (std::size_t g = 0; g < groups; ++g) {
    for (int q = 0; q < lanes; ++q) {
      const int j = static_cast<int>(g) * lanes + q;
      if (j >= NV) {
        for (int i = 1; i <= N; ++i) {
          lo[i * lanes + q] = 0.0;
          di[i * lanes + q] = 1.0;
          up[i * lanes + q] = 0.0;
        }
        continue;
      }
      const double v = V[j];
      for (int i = 1; i <= N; ++i) {
        const double am = alphaM[i], a0 = alpha0[i], ap = alphaP[i];
        const double bm = betaM[i], b0 = beta0[i], bp = betaP[i];
        double a, b;
        op.plainAsset(v, i, a, b);
        const int at = i * lanes + q;
        if (i == N) {
          lo[at] = -td * a * am;
          di[at] = 1.0 - td * ((a0 + ap) * a - 0.5 * r);
          up[at] = 0.0;
        } else {
          lo[at] = -td * (b * bm + a * am);
          di[at] = 1.0 - td * (a * a0 - 0.5 * r + b * b0);
          up[at] = -td * (b * bp + a * ap);
        }
      }
      a1Zero_[j] = -lo[lanes + q];
      lo[lanes + q] = 0.0;  // the S = 0 value is held fixed
      const std::size_t row = static_cast<std::size_t>(j) * stride;
      for (int i = 1; i <= N; ++i) {
        const int at = i * lanes + q;
        a1Lower_[row + i] = lo[at];
        a1DiagM1_[row + i] = di[at] - 1.0;
        a1Upper_[row + i] = up[at];
      }
    }
    const std::size_t first = g * groupSize;
    adi_kernels::factorizeSDirectionGroup(
        N, lo, di, up, dd, &a1L_[first], &a1UD_[first], &a1InvD_[first]);
  }
  sDir_.lower = a1Lower_.data();
  sDir_.diagM1 = a1DiagM1_.data();
  sDir_.upper = a1Upper_.data();
  sDir_.l = a1L_.data();
  sDir_.ud = a1UD_.data();
  sDir_.invD = a1InvD_.data();
}

// A2: the variance direction, nodes j = 0..NV-1, one system for every asset node. Stored 1-based
// for the tridiagonal routines: entry j + 1 is variance node j.
void AdiFrame::setUpVarianceSystem(const SpatialOperator& op, double td) {
  const double r = op.r();
  const int M = NV;
  const std::size_t sysSize = static_cast<std::size_t>(std::max(stride, M + 1));
  for (auto* v : {&sysLo_, &sysDi_, &sysUp_, &sysL_, &sysU_, &sysD_}) v->assign(sysSize, 0.0);
  double *vlo = sysLo_.data(), *vdi = sysDi_.data(), *vup = sysUp_.data();
  double *vl = sysL_.data(), *vu = sysU_.data(), *vd = sysD_.data();
  for (int j = 0; j < NV; ++j) {
    const OperatorRow opRow = op.row(j);
    const double a = opRow.aV, Dj = opRow.D;
    if (j == 0) {
      vlo[1] = 0.0;
      vdi[1] = 1.0 - td * (c0 - 0.5 * r);
      vup[1] = -td * c1;
    } else if (j == NV - 1) {
      vlo[j + 1] = -td * a * gammaM[j];
      vdi[j + 1] = 1.0 - td * ((gamma0[j] + gammaP[j]) * a - 0.5 * r);
      vup[j + 1] = 0.0;
    } else {
      vlo[j + 1] = -td * (a * gammaM[j] + Dj * deltaM[j]);
      vdi[j + 1] = 1.0 - td * (a * gamma0[j] - 0.5 * r + Dj * delta0[j]);
      vup[j + 1] = -td * (a * gammaP[j] + Dj * deltaP[j]);
    }
  }
  // Row 0 couples nodes 0, 1 and 2; the entry on node 2 is eliminated with row 1.
  a2E_ = -td * c2;
  a2Diag0M1_ = vdi[1] - 1.0;
  a2Upper0_ = vup[1];
  vdi[1] -= a2E_ * vlo[2] / vup[2];
  vup[1] -= a2E_ * vdi[2] / vup[2];
  triDiagFactorize(M, vlo, vdi, vup, vl, vu, vd);
  for (auto* v : {&a2Lower_, &a2DiagM1_, &a2Upper_, &a2L_, &a2UD_, &a2InvD_}) v->assign(NV, 0.0);
  for (int j = 0; j < NV; ++j) {
    a2Lower_[j] = vlo[j + 1];
    a2DiagM1_[j] = vdi[j + 1] - 1.0;
    a2Upper_[j] = vup[j + 1];
    a2L_[j] = vl[j + 1];
    a2InvD_[j] = 1.0 / vd[j + 1];
    a2UD_[j] = (j + 1 < M ? vu[j + 1] : 0.0) / vd[j + 1];
  }
  vDir_.lower = a2Lower_.data();
  vDir_.diagM1 = a2DiagM1_.data();
  vDir_.upper = a2Upper_.data();
  vDir_.diag0M1 = a2Diag0M1_;
  vDir_.upper0 = a2Upper0_;
  vDir_.e = a2E_;
  vDir_.l = a2L_.data();
  vDir_.ud = a2UD_.data();
  vDir_.invD = a2InvD_.data();
}

double AdiFrame::slopeAtSmax(double t) const {
  return obj.CallPut == 1 ? 0.0 : std::exp(-obj.d * t);
}

double AdiFrame::valueAtZero(double t) const {
  if (obj.CallPut != 1) return 0.0;
  if (layout.putZeroFollowsPayoff && obj.values[0] == 0.0) return 0.0;
  // An American put at S = 0 is exercised at once, unless a negative rate makes waiting for K at
  // expiry worth more.
  if (obj.american) return std::max(obj.K, obj.K * std::exp(-obj.r * t));
  // The lowest node of the log-asset axis lies above S = 0: the discounted forward intrinsic value.
  if (layout.logAsset) return obj.K * std::exp(-obj.r * t) - S[0] * std::exp(-obj.d * t);
  return obj.K * std::exp(-obj.r * t);
}

void AdiFrame::applyF(const DenseMatrix& in,
                      double g,
                      const DenseMatrix* base,
                      double scale,
                      DenseMatrix& out) const {
  adi_kernels::applyStencil(
      stencil_, N, NV, stride, in.data(), g, base ? base->data() : nullptr, scale, out.data());
}

void AdiFrame::solveA1(const DenseMatrix& prev,
                       const DenseMatrix& rhs,
                       double boundaryJump,
                       DenseMatrix& out,
                       const DenseMatrix* zeroNew) const {
  // Right-hand sides rhs - theta dt' A1 prev, row by row (lower_1 and upper_N are zero).
  adi_kernels::sDirectionRhs(sDir_,
                             N,
                             NV,
                             stride,
                             prev.data(),
                             rhs.data(),
                             a1ThetaDt_ * boundaryJump,
                             gCoef_.data(),
                             out.data());
  if (zeroNew) {
    for (int j = 0; j < NV; ++j) out[j][1] += a1Zero_[j] * ((*zeroNew)[j][0] - prev[j][0]);
  }
  adi_kernels::sDirectionSolve(sDir_, N, NV, stride, out.data(), a1Work_.data(), a1Pad_.data());
}

void AdiFrame::solveA2(const DenseMatrix& prev, const DenseMatrix& in, DenseMatrix& out) const {
  // Row 0 is reduced with row 1 as its matrix was, then the shared system is solved across all
  // asset nodes: every sweep runs over contiguous rows.
  adi_kernels::vDirectionSolve(vDir_, N, NV, stride, prev.data(), in.data(), out.data());
}

void AdiFrame::buildCrossOperator() {
  // Work levels of the MCS step, allocated here and not in the time loop.
  if (mcsDiff_.nRows() != NV + 1 || mcsDiff_.nCols() != stride) {
    mcsDiff_ = DenseMatrix(NV + 1, stride, 0.0);
    mcsWork_ = DenseMatrix(NV + 1, stride, 0.0);
  }
  crossWeights_.reset(static_cast<std::size_t>(NV) * stride, layout.centralCross);
  // Only the rows and nodes where F keeps the mixed term.
  const SpatialOperator op = spatialOperator();
  for (int j = 1; j < NV - 1; ++j) {
    const OperatorRow row = op.row(j);
    const std::size_t at = static_cast<std::size_t>(j) * stride;
    for (int i = 1; i < N; ++i) crossWeights_.store(at + i, op.crossWeights(row, i));
  }
  crossStencil_ = crossWeights_.view();
}

void AdiFrame::applyCrossF0(const DenseMatrix& in,
                            const DenseMatrix& base,
                            double scale,
                            DenseMatrix& out) const {
  if (!crossWeights_.built(static_cast<std::size_t>(NV) * stride)) {
    throw std::logic_error("the cross-term operator is applied before it is built");
  }
  adi_kernels::applyCross(crossStencil_, N, NV, stride, in.data(), base.data(), scale, out.data());
}

void AdiFrame::douglasStages(double t, double tNew) {
  const double gOld = slopeAtSmax(t), gNew = slopeAtSmax(tNew);
  setZeroColumn(Y, valueAtZero(tNew));
  applyF(U, gOld, &U, dtSub_, Y0);
  solveA1(U, Y0, gNew - gOld, Y, layout.lowerValueJump ? &Y : nullptr);
  solveA2(U, Y, Y);
}

void AdiFrame::hvStep(double t, double tNew) {
  douglasStages(t, tNew);
  const double gNew = slopeAtSmax(tNew);
  const double half = 0.5;
  // Y2 moves into its own level and the level it leaves takes the step's result, with the S = 0
  // value the Douglas stages wrote. Row NV is not carried over: F and A2 give it zero weight, and
  // the final level gets it from row NV - 1.
  std::swap(Y, Y2);
  setZeroColumn(Y, valueAtZero(tNew));
  // Y0^ = (U + Y0 + dt' F(Y2)) / 2 = Y0 + dt'/2 (F(Y2) - F(U)), the average taken in the F sweep.
  adi_kernels::applyStencilAveraged(
      stencil_, N, NV, stride, Y2.data(), gNew, U.data(), half * dtSub_, Y0.data());
  solveA1(Y2, Y0, 0.0, Y);
  solveA2(Y2, Y, Y);
}

void AdiFrame::mcsStep(double t, double tNew, bool damped, bool zeroColumnInCross) {
  const double gOld = slopeAtSmax(t), gNew = slopeAtSmax(tNew);
  const double dts = dtSub_, theta = schemeTheta_;
  // Y0 = U + dt' F(U), kept in Y0 for the second explicit correction; then
  // (I - theta dt' A1) Y1 = Y0 - theta dt' A1 U and (I - theta dt' A2) Y2 = Y1 - theta dt' A2 U,
  // both with the changes of the boundary values over the step.
  setZeroColumn(Y, valueAtZero(tNew));
  applyF(U, gOld, &U, dts, Y0);
  solveA1(U, Y0, gNew - gOld, Y, &Y);
  solveA2(U, Y, Y);
  if (damped) return;  // a Douglas step with theta = 1

  if (mcsDiff_.nRows() != NV + 1 || mcsDiff_.nCols() != stride) {
    mcsDiff_ = DenseMatrix(NV + 1, stride, 0.0);
    mcsWork_ = DenseMatrix(NV + 1, stride, 0.0);
  }
  DenseMatrix& Dm = mcsDiff_;
  DenseMatrix& Xm = mcsWork_;
  const int first = zeroColumnInCross ? 0 : 1;
  // Cross-term correction: Y0^ = Y0 + theta dt' F0(Y2 - U).
  Y2 = Y;
  for (int j = 0; j < NV; ++j) {
    const double* y2 = Y2[j];
    const double* u = U[j];
    double* dd = Dm[j];
    if (first > 0) dd[0] = 0.0;
    for (int i = first; i <= N; ++i) dd[i] = y2[i] - u[i];
  }
  applyCrossF0(Dm, Y0, theta * dts, Xm);
  // Second explicit correction: Y0~ = Y0^ + (1/2 - theta) dt' (F(Y2) - F(U)), with
  // dt' F(U) = Y0 - U not evaluated again.
  const double half = 0.5 - theta;
  for (int j = 0; j < NV; ++j) {
    const double* y0 = Y0[j];
    const double* u = U[j];
    double* x = Xm[j];
    for (int i = 1; i <= N; ++i) x[i] -= half * (y0[i] - u[i]);
  }
  applyF(Y2, gNew, &Xm, half * dts, Xm);
  // Implicit corrections again, both against the level at the start of the step.
  solveA1(U, Xm, gNew - gOld, Y, &Y);
  solveA2(U, Y, Y);
}

void AdiFrame::runHvScheme(bool earlyExerciseFloor) {
  runSchemeLoop(
      scheme_weights::kHvTheta,
      [this](double t, double tNew, bool damped) {
        if (damped) {
          douglasStages(t, tNew);
        } else {
          hvStep(t, tNew);
        }
      },
      [this, earlyExerciseFloor](DenseMatrix& level) {
        if (earlyExerciseFloor) applyEarlyExercise(level);
      });
}

void AdiFrame::setZeroColumn(DenseMatrix& level, double value) const {
  for (int j = 0; j <= NV; ++j) level[j][0] = value;
}

void AdiFrame::applyEarlyExercise(DenseMatrix& level) const {
  if (!obj.american) return;
  const bool put = (obj.CallPut == 1);
  for (int j = 0; j <= NV; ++j) {
    double* row = level[j];
    for (int i = 0; i <= N; ++i) {
      const double intrinsic = put ? obj.K - S[i] : S[i] - obj.K;
      if (intrinsic > row[i]) row[i] = intrinsic;
    }
  }
}

void AdiFrame::monitorLevel(const DenseMatrix& level, DenseMatrix& R, NegativeMonitor& mon) const {
  const double v0 = obj.v0, S0 = obj.S0;
  const bool multi = obj.multiStrike && !layout.singleStrike;
  const bool perStrike = multi && layout.perStrikeMonitor;
  // Per-strike minima m_k around the scaled spots E_k = K S0 / K_k (perStrikeMonitor).
  if (perStrike) {
    for (double Kk : obj.strikes) mon.scaledSpot.push_back(obj.K * S0 / Kk);
    mon.strikeMin.assign(mon.scaledSpot.size(), 0.0);
  }
  for (int i = 0; i <= N; ++i) {
    const bool nearS = std::fabs(S0 - S[i]) / S0 < kMonitorSWidth;
    for (int j = 0; j <= NV; ++j) {
      const double u = level[j][i];
      R[i][j] = u;
      const bool nearV = V[j] > 0.5 * v0 && V[j] < 1.5 * v0;
      if (!multi && nearS && nearV && u < mon.minValue) {
        mon.minValue = u;
        mon.S = layout.logNodeInMonitor ? X[i] : S[i];
        mon.v = V[j];
      }
      if (perStrike && nearV) {
        for (std::size_t m = 0; m < mon.scaledSpot.size(); ++m) {
          const double E = mon.scaledSpot[m];
          if (std::fabs(E - S[i]) / E < kMonitorSWidth && u < mon.strikeMin[m]) {
            mon.strikeMin[m] = u;
          }
        }
      }
    }
  }
}

double AdiFrame::exerciseValue(double s) const {
  return obj.CallPut == 1 ? std::max(obj.K - s, 0.0) : std::max(s - obj.K, 0.0);
}

double AdiFrame::listValueAtExpiry(double Ki, double s) const {
  // The put solved at the smallest strike, scaled to Ki and turned into the call above the spot
  // by put-call parity, is the exercise value of the put at Ki (at or below the spot) or of the
  // call (above it). A call solve keeps the same conversion, written out exactly.
  if (obj.CallPut == 1) return Ki > obj.S0 ? std::max(s - Ki, 0.0) : std::max(Ki - s, 0.0);
  const double call = std::max(s - Ki, 0.0);
  return Ki > obj.S0 ? call + (s - Ki) : call;
}

double AdiFrame::valueAtV0(Grid2D_interp& interp, double s) const {
  // On the expiry day the value at any asset level is the exercise value, exactly: the
  // interpolation would round it and, across the strike, smear its kink.
  if (atExpiry()) return exerciseValue(s);
  return interp.interp(layout.logAsset ? std::log(s) : s, obj.v0);
}

double AdiFrame::nodeValueAtV0(Grid2D_interp& interp, int i) const {
  if (atExpiry()) return obj.payoff[i];
  return interp.interp(X[i], obj.v0);
}

void AdiFrame::fillResultVectors(Grid2D_interp& interp) {
  PDESolveResults& res = *args.results;
  obj.values.resize(nS);
  // Every result vector is replaced by nS zeros, also when only vector 0 is filled: nothing of
  // an earlier solve stays behind in the others.
  for (int k2 = 0; k2 < 5; ++k2) res[k2] = std::valarray<double>(0.0, nS);
  if (!args.fullResults) {
    for (int i = 0; i <= N; ++i) {
      const double v = nodeValueAtV0(interp, i);
      res[0][i] = v <= 2e-9 ? 0.0 : v;
    }
  } else {
    obj.grid = std::valarray<double>(X.data(), nS);
    for (int i = 0; i <= N; ++i) {
      obj.values[i] = nodeValueAtV0(interp, i);
      res[0][i] = layout.logNodesInResults ? X[i] : S[i];
      res[1][i] = obj.values[i];
    }
  }
}

double AdiFrame::priceStrikesPerStrikeMonitor(Grid2D_interp& interp, const NegativeMonitor& mon) {
  // One put solve at the smallest strike K: the reported value comes from the unscaled values
  // at the scaled spots and their monitors, then homogeneity and put-call parity give every
  // strike's price, and a price that is not positive asks for a retry.
  const double K = obj.K, r = obj.r, d = obj.d, S0 = obj.S0;
  const std::size_t nK = obj.strikes.size();
  double reported = 0.0;
  obj.strikePrices = std::valarray<double>(0.0, nK);
  for (std::size_t m = 0; m < nK; ++m) {
    const double P = valueAtV0(interp, mon.scaledSpot[m]);
    const double mk = mon.strikeMin[m];
    if (mk < kNegativeNoiseFloor && mk / P < negValueRatioLimit && mk < reported) reported = mk;
    obj.strikePrices[m] = P;
  }
  if (reported == 0.0 && nK > 0) reported = obj.strikePrices[0];
  const double disc = std::exp(-r * T), growth = std::exp((r - d) * T);
  for (std::size_t m = 0; m < nK; ++m) {
    const double Kk = obj.strikes[m];
    if (atExpiry()) {
      // Exact values: a value of 0 is the option's, not a lost solve.
      obj.strikePrices[m] = listValueAtExpiry(Kk, S0);
      continue;
    }
    double P = (Kk / K) * obj.strikePrices[m];
    if (Kk > S0) P += disc * (growth * S0 - Kk);
    if (P <= 0.0) reported = -1.0;
    obj.strikePrices[m] = P;
  }
  obj.strikeIVs = obj.strikePrices;
  return reported;
}

double AdiFrame::priceStrikesByHomogeneity(Grid2D_interp& interp, double& runningMin) {
  // One put solve at the smallest strike K prices every strike by homogeneity, the calls by
  // put-call parity.
  const double K = obj.K, r = obj.r, d = obj.d, S0 = obj.S0;
  const std::size_t nK = obj.strikes.size();
  double reported = 0.0;
  obj.strikePrices = std::valarray<double>(0.0, nK);
  const double disc = std::exp(-r * T), growth = std::exp((r - d) * T);
  runningMin = 0.0;
  for (std::size_t m = 0; m < nK; ++m) {
    const double Ki = obj.strikes[m];
    const double x = K * S0 / Ki;
    if (atExpiry()) {
      // Exact values, none negative: the strip monitor has nothing to find.
      obj.strikePrices[m] = listValueAtExpiry(Ki, S0);
      continue;
    }
    double P = (Ki / K) * valueAtV0(interp, x);
    if (Ki > S0) P += disc * (growth * S0 - Ki);
    if (obj.stripFlag) {
      if (P <= 0.0) reported = P;
      for (int b = 0; b <= N; ++b) {
        const double xb = S[b] * K / Ki;
        if (std::fabs(x - xb) / x < kMonitorSWidth) {
          double vb = (Ki / K) * valueAtV0(interp, xb);
          if (Ki > S0) vb += disc * (growth * S[b] - Ki);
          if (vb < runningMin) runningMin = vb;
        }
      }
      if (runningMin < kNegativeNoiseFloor && runningMin / P < negValueRatioLimit &&
          runningMin < reported) {
        reported = runningMin;
      }
    }
    obj.strikePrices[m] = P;
  }
  if (reported == 0.0 && nK > 0) reported = obj.strikePrices[0];
  obj.strikeIVs = obj.strikePrices;
  return reported;
}

void AdiFrame::extractResults(DenseMatrix& level, double cpuStart) {
  // Row NV is not solved for: it takes row NV - 1 of the final level (dU/dv = 0 at Vmax).
  std::copy(level[NV - 1], level[NV - 1] + stride, level[NV]);

  DenseMatrix R(nS, NV + 1, 0.0);
  const bool multi = obj.multiStrike && !layout.singleStrike;
  NegativeMonitor mon;
  monitorLevel(level, R, mon);
  const double cpuTime = threadCpuSeconds() - cpuStart;
  *args.cpuTime = cpuTime;

  const std::vector<double> sCopy(X), vCopy(V);
  Grid2D_interp interp(sCopy, vCopy, R, kInterpOrder, kInterpOrder);
  fillResultVectors(interp);

  double price = 0.0, reported = 0.0;
  double maxNearbyNegVal = mon.minValue;
  if (!multi) {
    price = valueAtV0(interp, obj.S0);
    obj.floorAtExercise(price);
    reported = price;
    if (maxNearbyNegVal < kNegativeNoiseFloor && maxNearbyNegVal / price < negValueRatioLimit) {
      reported = maxNearbyNegVal;
    }
  } else if (layout.perStrikeMonitor) {
    reported = priceStrikesPerStrikeMonitor(interp, mon);
  } else {
    reported = priceStrikesByHomogeneity(interp, maxNearbyNegVal);
  }

  if (args.fullResults) {
    PDESolveResults& res = *args.results;
    if (layout.logAsset && !layout.logNodesInResults) {
      obj.calcGreeksLogS(res[2], res[3]);
    } else {
      obj.calcGreeksS(res[2], res[3]);
    }
  }

  obj.summary[0] = Vmax;
  obj.summary[1] = multi ? 0.0 : price;
  obj.summary[2] = reported;
  obj.summary[3] = static_cast<double>(NT);
  obj.summary[4] = multi ? 0.0 : price;

  if (convFileFlag) {
    writeConvRecord(multi ? 0.0 : price, maxNearbyNegVal, mon.S, mon.v, cpuTime);
  }
}

void AdiFrame::writeConvRecord(
    double price, double maxNearbyNegVal, double Sneg, double vneg, double cpuTime) {
  if (!logIsOpen(conv_)) return;
  const int m = obj.strikeNodeIndex, iv = obj.iToV0;
  // Smax and dS0 on the grid's own axis (ln S on the log-asset axis).
  const double dS0 = (m + 1 <= N && m >= 0) ? X[m + 1] - X[m] : 0.0;
  const double dv0 = (iv + 1 <= NV && iv >= 0) ? V[iv + 1] - V[iv] : 0.0;
  conv_.precision(layout.convPrecision);
  conv_ << "NS used: " << obj.NS << '\t' << "Nv used: " << obj.NV << '\t' << "Price: " << price
        << "  maxNearbyNegVal = " << maxNearbyNegVal << "  Sneg = " << Sneg << "  vneg = " << vneg
        << " v0: " << obj.v0 << " vL: " << obj.vL << " MR: " << obj.theta << " vv: " << obj.volvol
        << " rho: " << obj.rho << " K: " << obj.K;
  if (layout.convMaturity) conv_ << " T: " << obj.T;
  conv_ << "   Smax = " << X[N] << "   dS0 = " << dS0 << "   Vmax = " << Vmax << "   dv0 = " << dv0
        << "  iToV0" << iv << "   NT used: " << NT << "   Time: " << cpuTime << layout.convSuffix
        << "\n";
}

}  // namespace serivane
