// The Hundsdorfer-Verwer ADI scheme on the log-asset grid x = ln S with the strike list (method
// id 12): the anti-diagonal mixed stencil with its Taylor remainder folded into the other
// coefficients, the variance exponent 1 by the square root (another p by the power function), an
// American option raised to its intrinsic value after every step. The results are along x: vector
// 0 holds the log nodes and delta and gamma are derivatives with respect to ln S.
// W. Hundsdorfer, J. G. Verwer, "Numerical Solution of Time-Dependent Advection-Diffusion-Reaction
// Equations" (2003), ch. IV; K. J. in 't Hout, S. Foulon, "ADI finite difference schemes for option
// pricing in the Heston model with correlation", Int. J. Numer. Anal. Model. 7 (2010).
#include "pde2d/adi_frame.h"
#include "pde2d/pde_solve.h"
#include "platform/cpu_clock.h"

namespace serivane {

bool calcGARCHNUDirectNonNegHVLogS(const PDESolveArgs& args) {
  FrameLayout layout;
  layout.logAsset = true;
  layout.convPrecision = 10;
  layout.unitExponent = true;
  layout.lowerValueJump = true;
  layout.logNodeInMonitor = true;
  layout.logNodesInResults = true;
  layout.perStrikeMonitor = true;
  AdiFrame f(args, layout);
  const double start = threadCpuSeconds();
  f.setUp();
  f.runHvScheme(true);
  f.extractResults(f.U, start);
  return true;
}

}  // namespace serivane
