// The Hundsdorfer-Verwer ADI scheme for one strike with the mixed derivative by the nine-point
// product of the central first-derivative stencils, the variance exponent 1 by the square root
// (another p by the power function): on the asset grid (method ids 6 and 8, 8 with the damped
// start-up) and on the log-asset grid x = ln S (method id 11). An American option is raised to its
// intrinsic value at every node after every step.
// W. Hundsdorfer, J. G. Verwer, "Numerical Solution of Time-Dependent Advection-Diffusion-Reaction
// Equations" (2003), ch. IV; K. J. in 't Hout, S. Foulon, "ADI finite difference schemes for option
// pricing in the Heston model with correlation", Int. J. Numer. Anal. Model. 7 (2010).
#include "pde2d/adi_frame.h"
#include "pde2d/pde_solve.h"
#include "platform/cpu_clock.h"

namespace serivane {

namespace {

FrameLayout singleStrikeLayout() {
  FrameLayout layout;
  layout.convPrecision = 10;
  layout.unitExponent = true;
  layout.centralCross = true;
  layout.singleStrike = true;
  layout.convDampingMessage = false;
  return layout;
}

bool solveHvSingleStrike(const PDESolveArgs& args, const FrameLayout& layout) {
  AdiFrame f(args, layout);
  const double start = threadCpuSeconds();
  f.setUp();
  f.runHvScheme(true);
  f.extractResults(f.U, start);
  return true;
}

}  // namespace

bool calcGARCHNUDirectNonNegHVSingleK(const PDESolveArgs& args) {
  FrameLayout layout = singleStrikeLayout();
  layout.convMaturity = false;
  return solveHvSingleStrike(args, layout);
}

bool calcGARCHNUDirectNonNegHVLogSSingleK(const PDESolveArgs& args) {
  FrameLayout layout = singleStrikeLayout();
  layout.logAsset = true;
  // The lowest log node lies above S = 0: a put there always carries K e^(-r t) - S_0 e^(-d t)
  // (K when American), and its change over a step enters the first x correction.
  layout.putZeroFollowsPayoff = false;
  layout.lowerValueJump = true;
  layout.logNodeInMonitor = true;
  return solveHvSingleStrike(args, layout);
}

}  // namespace serivane
