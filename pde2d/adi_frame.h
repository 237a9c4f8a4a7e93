#ifndef SERIVANE_PDE2D_ADI_FRAME_H_
#define SERIVANE_PDE2D_ADI_FRAME_H_

#include <cstdint>
#include <fstream>
#include <memory>
#include <utility>
#include <vector>

#include "core/dense_matrix.h"
#include "core/held_logs.h"
#include "core/qel_heston_vanilla.h"
#include "pde2d/adi_kernels.h"
#include "pde2d/pde_solve.h"
#include "pde2d/scheme_weights.h"
#include "pde2d/spatial_operator.h"

namespace serivane {

class Grid2D_interp;

// The frame that the ADI solver variants share for the backward pricing equation
//
//   U_t = 1/2 v S^2 U_SS + rho xi w(v) S U_Sv + 1/2 xi^2 q(v) U_vv + (r - d) S U_S
//         + kappa (vL - v) U_v - r U,
//
// with w(v) = v^(p + 1/2), q(v) = v^(2p) for the variance diffusion (model 1) and w = q = v for the
// square-root variance (model 0), solved in time to expiry from the payoff at t = 0 to t = T on a
// non-uniform asset-by-variance grid.
//
// Levels are DenseMatrix objects of NV + 1 rows (variance nodes j = 0..NV) by N + 1 columns (asset
// nodes i = 0..N), so that a row at fixed variance is contiguous. Column 0 carries the Dirichlet
// value at S = 0; row NV is not solved for (dU/dv = 0 at Vmax). The ghost node beyond Smax and
// the copy of row NV - 1 into row NV that the boundary conditions require are folded into the
// stencil weights, so the operator never reads them.
//
// The frame owns: the grids and their spacings, the explicit operator F (as per-node stencil
// weights computed once per solve), the one-directional implicit systems A1 (one per variance
// row) and A2 (one system shared by all asset nodes) factorised once per scheme set-up, the
// boundary data, early exercise, the result extraction with the non-negativity monitor and the
// strike list, and the convergence record. A variant adds only its time step.
//
// The sparse-direct solvers share the set-up and the extraction; FrameLayout selects their
// differences, among them the log-asset axis x = ln S, on which the operator has a_S = v / 2,
// b_S = (r - d) - v / 2 and the cross numerator rho xi w(v).

// How the frame lays out the asset axis and reads the result off it.
struct FrameLayout {
  bool logAsset = false;                  // nodes x = ln S; S = exp(x) for payoff-free uses
  bool roundExerciseDates = true;         // NT rounded to a multiple of nExercise
  bool sConcentrationFromObject = false;  // an sConcentration of 0 takes obj.sConcentration
  int convPrecision = 16;                 // significant digits of the convergence record
  const char* convSuffix = "";            // written at the end of the convergence record
  // A put's S = 0 value is 0 when the smoothed terminal value there is 0; without this test the
  // put always gets the discounted strike (K for an American put).
  bool putZeroFollowsPayoff = true;
  // Single-strike variants: model 1 with p = 1 takes w = v sqrt(v), q = v^2 by the square root
  // (another p is priced by the power function, as without the flag), the mixed derivative is the
  // nine-point product of the central first-derivative stencils with no corrections folded into
  // the other coefficients, the strike list is not read, and the convergence record has no
  // maturity field.
  bool unitExponent = false;
  bool centralCross = false;
  bool singleStrike = false;
  bool convMaturity = true;
  // The damped start-up writes "Turning damping off;" to the convergence record when it ends.
  bool convDampingMessage = true;
  // The first S correction of every step carries the change of the lowest-node value over the
  // step at i = 1 (the log-asset HV variants, where that value moves with S_0 e^(-d t)).
  bool lowerValueJump = false;
  // The monitor records Sneg as the log node x_i instead of the asset value S_i.
  bool logNodeInMonitor = false;
  // Result vector 0 holds the log nodes x_i and delta and gamma are derivatives with respect to
  // x = ln S (calcGreeksS on the log nodes) instead of asset values and derivatives in S.
  bool logNodesInResults = false;
  // Strike list on the log-asset axis: one monitor per strike over the copy of the final level
  // (window around K S0 / K_k), the unscaled strike values for the reported price and -1 when a
  // converted strike value is not positive; the strip flag is not read.
  bool perStrikeMonitor = false;
};

// An allocator whose resize leaves new doubles unwritten: for arrays that are written in full
// before they are read, so that no pass of zeros precedes the pass that fills them.
template <class T>
struct UnfilledAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UnfilledAllocator<U>;
  };
  UnfilledAllocator() = default;
  template <class U>
  UnfilledAllocator(const UnfilledAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

// The weight arrays of a stencil laid out like a level (rows 0..NV-1), handed to the kernels as
// views. The anti-diagonal mixed stencil weighs both of its corners alike and keeps one array for
// them (se); the nine-point one keeps all four corners. The arrays are not cleared: the kernels
// read only the nodes that the builder stores.
class StencilArrays {
 public:
  // size values per array, not yet written.
  void reset(std::size_t size, bool fourCorners);
  // The weights of node at (row offset plus i).
  void store(std::size_t at, const NodeWeights& w);
  bool built(std::size_t size) const { return c_.size() == size; }
  // The views; gCoef and c2 are left to the caller.
  adi_kernels::Stencil view() const;

 private:
  using Array = std::vector<double, UnfilledAllocator<double>>;
  bool fourCorners_ = false;
  Array w_, c_, e_, s_, n_, se_, sw_, nw_, ne_;
};

class AdiFrame {
 public:
  explicit AdiFrame(const PDESolveArgs& args);
  AdiFrame(const PDESolveArgs& args, const FrameLayout& layout);
  AdiFrame(const AdiFrame&) = delete;
  AdiFrame& operator=(const AdiFrame&) = delete;

  // Set-up of one solve: variance bound, exercise-date rounding of NT, grids, terminal values,
  // coefficient vectors and the stencil of F. Leaves U holding the smoothed payoff (the payoff
  // itself on the expiry day).
  void setUp();

  // The expiry day (after setUp: a horizon of 0, or one so short that its time step is 0): the
  // solve takes no time step, its values are the payoff and every price read off the grid is the
  // exercise value at its asset level. Every time loop returns at once (a step of length 0 would
  // divide 0 by 0 in the implicit systems).
  bool atExpiry() const { return dt == 0.0; }
  // The exercise value at asset level s: max(K - s, 0) for a put, max(s - K, 0) for a call.
  double exerciseValue(double s) const;
  // On the expiry day, the value at asset level s of strike Ki of the strike list, exactly as the
  // list converts the solve at the smallest strike (by homogeneity, and by put-call parity above
  // the spot).
  double listValueAtExpiry(double Ki, double s) const;

  // Builds and factorises (I - theta dt' A1) and (I - theta dt' A2).
  void setUpImplicitSystems(double schemeTheta, double dtSub);

  // Boundary data of a step from t to t': the slope dU/dS at Smax (0 for a put) and the value
  // at S = 0.
  double slopeAtSmax(double t) const;
  double valueAtZero(double t) const;

  // out(i, j) = base(i, j) + scale * F(in)(i, j) for i = 1..N, j = 0..NV - 1, with slope g at
  // Smax. With base null, out = scale * F(in). out may be the same level as base (not as in).
  void applyF(const DenseMatrix& in,
              double g,
              const DenseMatrix* base,
              double scale,
              DenseMatrix& out) const;

  // The S corrections: for every row j, solves (I - theta dt' A1) out = rhs - theta dt' A1 prev,
  // where rhs is given in `rhs`; boundaryJump adds theta dt' (g_new - g_old) times the slope
  // coefficient at i = N (zero to leave it out). With zeroNew given, the change of the S = 0
  // value over the step, zeroNew(0, j) - prev(0, j), enters at i = 1 through the lower entry of
  // A1 that the held S = 0 value takes out of the system. out may be rhs or zeroNew.
  void solveA1(const DenseMatrix& prev,
               const DenseMatrix& rhs,
               double boundaryJump,
               DenseMatrix& out,
               const DenseMatrix* zeroNew = nullptr) const;
  // The variance corrections, all asset nodes at once: (I - theta dt' A2) out = in - theta dt'
  // A2 prev. out may be in.
  void solveA2(const DenseMatrix& prev, const DenseMatrix& in, DenseMatrix& out) const;

  // The cross-term part F0 of F: every term proportional to the mixed-derivative coefficient c,
  // that is the anti-diagonal stencil with the Taylor remainder folded into the S and variance
  // weights (with centralCross, the nine-point mixed stencil alone). buildCrossOperator computes
  // its stencil once per solve (after setUp); applyCrossF0 sets out(i, j) = base(i, j) + scale *
  // F0(in)(i, j) for i = 1..N, j = 0..NV - 1. F0 is zero at i = N, on row 0 (c = 0 at v = 0) and on
  // row NV - 1, where F drops the mixed term. out may be base (not in).
  void buildCrossOperator();
  void applyCrossF0(const DenseMatrix& in,
                    const DenseMatrix& base,
                    double scale,
                    DenseMatrix& out) const;

  // Stages of one Douglas step from t to tNew with the current scheme (theta, dt'): the S = 0
  // value into Y, Y0 = U + dt' F(U), the S corrections into Y, then the variance corrections,
  // leaving Y2 in Y. Every ADI variant starts its step with them; with theta = 1 they are the
  // damped start-up step.
  void douglasStages(double t, double tNew);
  // One full Hundsdorfer-Verwer step from t to tNew with the current scheme: the Douglas stages,
  // then Y0^ = Y0 + dt'/2 (F(Y2) - F(U)) and the two corrections against Y2.
  void hvStep(double t, double tNew);
  // The HV time loop: Douglas sub-steps while damped, then full HV steps with theta = 1 -
  // sqrt(2)/2; with earlyExerciseFloor every step ends with the intrinsic-value rule.
  void runHvScheme(bool earlyExerciseFloor);

  // How the damped start-up steps: Douglas sub-steps (theta = 1) on the ADI systems, which are set
  // up again for the full scheme when it ends; or sub-steps of their own (the backward-Euler
  // sub-steps by sparse LU), with the ADI systems set up once, for the full scheme.
  enum class DampedStart { kDouglas, kOwnSteps };

  // The time loop with the damped start-up: while damping is active (the object's `damping`
  // flag), dampingStepCount sub-steps of dt / dampingStepCount replace the first full step; then
  // full steps with the scheme weight fullStepTheta up to step NT. step(t, tNew, damped) runs every
  // step, damped sub-steps included, and writes the new level into Y; exercise(level) is applied to
  // it after every step; then the new level becomes U.
  template <class Step, class Exercise>
  void runSchemeLoop(double fullStepTheta,
                     Step&& step,
                     Exercise&& exercise,
                     DampedStart start = DampedStart::kDouglas);

  // One modified Craig-Sneyd step from t to tNew with the current scheme (theta, dt'), on a frame
  // whose cross-term operator is built: the Douglas stages, the cross-term correction Y0^ = Y0 +
  // theta dt' F0(Y2 - U), the second explicit correction Y0~ = Y0^ + (1/2 - theta) dt' (F(Y2) -
  // F(U)) with F(Y2) at the new slope, then the two implicit corrections against U. Both S
  // corrections carry the changes of the S = 0 value and of the slope over the step. With damped
  // the step ends after the Douglas stages. With zeroColumnInCross the argument of F0 includes
  // the change of the S = 0 value (read by the nine-point mixed stencil at i = 1); otherwise its
  // column 0 is 0.
  void mcsStep(double t, double tNew, bool damped, bool zeroColumnInCross = false);

  // The sub-step and the weight theta of the current scheme.
  double subStep() const { return dtSub_; }
  double schemeTheta() const { return schemeTheta_; }

  // Writes the S = 0 value into column 0 of every row 0..NV.
  void setZeroColumn(DenseMatrix& level, double value) const;
  // Early exercise: raises every node to the intrinsic value when the option is American.
  void applyEarlyExercise(DenseMatrix& level) const;

  // Result extraction from the final level: object grid, values, vGrid, summary, strike list,
  // result vectors and the convergence record. cpuStart is the solver's start on the CPU clock.
  void extractResults(DenseMatrix& level, double cpuStart);

  // Opens "Conv.txt" when convFileFlag is set; the stream stays closed (and records are lost)
  // otherwise or when the file cannot be opened.
  std::ofstream& convStream() { return conv_; }

  // Grid and problem data, public for the variants.
  QelHestonVanilla& obj;
  const PDESolveArgs& args;
  const FrameLayout layout;
  std::int32_t N = 0;       // last asset node index (nS - 1)
  std::int32_t nS = 0;      // asset nodes
  std::int32_t NV = 0;      // variance intervals
  std::int32_t NT = 0;      // time steps after rounding
  std::int32_t stride = 0;  // row length of a level: N + 1
  double T = 0.0;
  double dt = 0.0;
  double Vmax = 0.0;
  double rMinusD = 0.0;
  std::vector<double> X;     // asset-axis nodes: S, or x = ln S on the log-asset axis
  std::vector<double> S, V;  // asset values (exp(X) on the log-asset axis) and variance nodes
  std::vector<double> h;     // h[i] = X_i - X_(i-1), i = 1..N, h[N+1] the ghost spacing
  double sGhost = 0.0;       // asset value of the ghost node beyond the last one
  std::vector<double> k;     // k[j] = V_j - V_(j-1), j = 1..NV, k[0] = k[1]

  // Levels of the time loop.
  DenseMatrix U, Y, Y0, Y2;

  // Coefficient vectors, computed once per solve. Three-point weights of the second (alpha) and
  // first (beta) derivatives on the asset axis, i = 1..N (i = N with the ghost spacing), and the
  // same on the variance axis (gamma, delta), j = 1..NV-1 (zero at j = 0); the one-sided drift
  // weights c0, c1, c2 of the v = 0 row.
  std::vector<double> alphaM, alpha0, alphaP, betaM, beta0, betaP;
  std::vector<double> gammaM, gamma0, gammaP, deltaM, delta0, deltaP;
  double c0 = 0.0, c1 = 0.0, c2 = 0.0;

  // The grids and weight vectors above as the spatial operator's grid (after setUp), and the
  // operator of this frame: its axis, variance exponent (the pricer's p; by the square root where
  // unitExponent is set and p is 1) and mixed stencil.
  OperatorGrid operatorGrid() const;
  SpatialOperator spatialOperator() const;

 private:
  void buildCoefficients();
  // The two halves of setUpImplicitSystems, with td = theta dt'.
  void setUpAssetSystems(const SpatialOperator& op, double td);
  void setUpVarianceSystem(const SpatialOperator& op, double td);
  // The parts of extractResults: the copy of the final level with its monitor of negative values
  // (the most negative value near the spot at variances around v0 for one option, or the one near
  // each strike's scaled spot with perStrikeMonitor), the value at v0 interpolated along the
  // grid's own axis, the result vectors, and the strike list's prices (returning the reported
  // value) with the per-strike monitors or by homogeneity with the strip monitor.
  struct NegativeMonitor {
    double minValue = 0.0, S = 0.0, v = 0.0;
    std::vector<double> scaledSpot, strikeMin;
  };
  void monitorLevel(const DenseMatrix& level, DenseMatrix& R, NegativeMonitor& mon) const;
  double valueAtV0(Grid2D_interp& interp, double s) const;
  // The same at the grid's node i.
  double nodeValueAtV0(Grid2D_interp& interp, int i) const;
  void fillResultVectors(Grid2D_interp& interp);
  double priceStrikesPerStrikeMonitor(Grid2D_interp& interp, const NegativeMonitor& mon);
  double priceStrikesByHomogeneity(Grid2D_interp& interp, double& runningMin);
  void writeConvRecord(
      double price, double maxNearbyNegVal, double Sneg, double vneg, double cpuTime);

  std::ofstream conv_;
  double dtSub_ = 0.0;
  double schemeTheta_ = 0.0;
  // Work levels of the MCS step: the difference Y2 - U and the corrected explicit level.
  DenseMatrix mcsDiff_, mcsWork_;

  // Stencil of F, and the weight of the slope g at i = N per row j.
  StencilArrays fWeights_;
  std::vector<double> gCoef_;
  // Stencil of the cross-term part F0 (buildCrossOperator).
  StencilArrays crossWeights_;
  adi_kernels::Stencil crossStencil_;

  // A1: per row j, the matrix (lower, diag - 1, upper) for the right-hand sides, and the factors
  // (l, u/d, 1/d) for the solves, interleaved by groups of rows (adi_kernels::SDirection).
  std::vector<double> a1Lower_, a1DiagM1_, a1Upper_, a1L_, a1UD_, a1InvD_;
  double a1ThetaDt_ = 0.0;
  std::vector<double> a1Zero_;  // per row j: theta dt' times the weight of the S = 0 node at i = 1
  // Work of the S-direction solves, sized once per solve: the forward sweep of one group of rows
  // and the zero row that the lanes beyond the last row run in.
  mutable std::vector<double> a1Work_, a1Pad_;
  // One row's tridiagonal system and factors while A1 and A2 are set up.
  std::vector<double> sysLo_, sysDi_, sysUp_, sysL_, sysU_, sysD_;
  // A2, shared by all asset nodes; row 0 keeps its original coefficients and the eliminated
  // second upper entry for the right-hand side.
  std::vector<double> a2Lower_, a2DiagM1_, a2Upper_, a2L_, a2UD_, a2InvD_;
  double a2E_ = 0.0, a2Diag0M1_ = 0.0, a2Upper0_ = 0.0;

  // The same operators as views for the kernels of the time step.
  adi_kernels::Stencil stencil_;
  adi_kernels::SDirection sDir_;
  adi_kernels::VDirection vDir_;
};

template <class Step, class Exercise>
void AdiFrame::runSchemeLoop(double fullStepTheta,
                             Step&& step,
                             Exercise&& exercise,
                             DampedStart start) {
  if (atExpiry()) return;
  bool damped = obj.damping && dampingStepCount > 0;
  const bool douglas = start == DampedStart::kDouglas;
  const double dtDamped = damped ? dt / dampingStepCount : dt;
  if (damped && douglas) {
    setUpImplicitSystems(scheme_weights::kDampedTheta, dtDamped);
  } else {
    setUpImplicitSystems(fullStepTheta, dt);
  }
  int s = 0;
  double t = 0.0;
  for (;;) {
    if (damped && s == dampingStepCount) {
      damped = false;
      if (logIsOpen(conv_) && layout.convDampingMessage)
        conv_ << "Turning damping off;"
              << "\n";
      if (douglas) setUpImplicitSystems(fullStepTheta, dt);
      s = 1;
      t = dt;
    }
    if (!damped && s >= NT) break;
    // Times as multiples of the step, so that the last one is T exactly.
    const double tNew = damped ? (s + 1) * dtDamped : (s + 1) * dt;
    step(t, tNew, damped);
    exercise(Y);
    std::swap(U, Y);
    ++s;
    t = tNew;
  }
}

}  // namespace serivane

#endif  // SERIVANE_PDE2D_ADI_FRAME_H_
