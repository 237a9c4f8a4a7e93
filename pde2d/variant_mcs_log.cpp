// The modified Craig-Sneyd ADI scheme on the log-asset grid x = ln S, theta = 1/3, with the strike
// list, the variance exponent 1 by the square root and another p by the power function: with the
// Douglas damped start-up (method id 13; the results along x: vector 0 holds the log nodes, delta
// and gamma are derivatives with respect to ln S), and with backward-Euler damped sub-steps of the
// whole operator by sparse LU (method id 14; the results along S). An American option is raised to
// its intrinsic value at every node after every step.
// K. J. in 't Hout, B. D. Welfert, "Unconditional stability of second-order ADI schemes applied
// to multi-dimensional diffusion equations with mixed derivative terms", Appl. Numer. Math. 59
// (2009); K. J. in 't Hout, S. Foulon, "ADI finite difference schemes for option pricing in the
// Heston model with correlation", Int. J. Numer. Anal. Model. 7 (2010).
#include <memory>

#include "core/dense_matrix.h"
#include "pde2d/adi_frame.h"
#include "pde2d/operator_assembly.h"
#include "pde2d/pde_solve.h"
#include "pde2d/scheme_weights.h"
#include "platform/cpu_clock.h"

namespace serivane {

namespace {

// The log-asset frame of both variants: the lowest node lies above S = 0, so a put there carries
// K e^(-r t) - S_0 e^(-d t) (K when American) without a test of the payoff, and its change over a
// step enters both x corrections.
FrameLayout mcsLogLayout() {
  FrameLayout layout;
  layout.logAsset = true;
  layout.convPrecision = 10;
  layout.unitExponent = true;
  layout.putZeroFollowsPayoff = false;
  layout.lowerValueJump = true;
  layout.logNodeInMonitor = true;
  return layout;
}

}  // namespace

bool calcGARCHNUDirectNonNegMCSLogS(const PDESolveArgs& args) {
  FrameLayout layout = mcsLogLayout();
  layout.logNodesInResults = true;
  layout.convSuffix = " by calcGARCHNUDirectNonNegMCSLogS";
  AdiFrame f(args, layout);
  const double start = threadCpuSeconds();
  f.setUp();
  f.buildCrossOperator();
  f.runSchemeLoop(
      scheme_weights::kMcsTheta,
      [&f](double t, double tNew, bool damped) { f.mcsStep(t, tNew, damped); },
      [&f](DenseMatrix& level) { f.applyEarlyExercise(level); });
  f.extractResults(f.U, start);
  return true;
}

bool calcGARCHNUDirectNonNegMCSEulerLULogS(const PDESolveArgs& args) {
  // The results are always the full set along S: the asset nodes, the values at v0 and delta and
  // gamma in S.
  PDESolveArgs full = args;
  full.fullResults = true;
  AdiFrame f(full, mcsLogLayout());
  const double start = threadCpuSeconds();
  f.setUp();
  f.buildCrossOperator();
  // Without the damping flag no sparse operator is built and every step is an MCS step.
  std::unique_ptr<SparseEulerStart> euler;
  if (f.obj.damping && dampingStepCount > 0) {
    euler = std::make_unique<SparseEulerStart>(f, f.dt / dampingStepCount, true);
  }
  f.runSchemeLoop(
      scheme_weights::kMcsTheta,
      [&f, &euler](double t, double tNew, bool damped) {
        if (damped) {
          euler->step(tNew);
        } else {
          f.mcsStep(t, tNew, false);
        }
      },
      [&f](DenseMatrix& level) { f.applyEarlyExercise(level); },
      AdiFrame::DampedStart::kOwnSteps);
  f.extractResults(f.U, start);
  return true;
}

}  // namespace serivane
