// The Hundsdorfer-Verwer ADI scheme on the asset grid (method ids 2 and 4).
// W. Hundsdorfer, J. G. Verwer, "Numerical Solution of Time-Dependent Advection-Diffusion-Reaction
// Equations" (2003), ch. IV; K. J. in 't Hout, S. Foulon, "ADI finite difference schemes for option
// pricing in the Heston model with correlation", Int. J. Numer. Anal. Model. 7 (2010).
#include "pde2d/adi_frame.h"
#include "pde2d/pde_solve.h"
#include "platform/cpu_clock.h"

namespace serivane {

bool calcGARCHNUDirectNonNegHV(const PDESolveArgs& args) {
  AdiFrame f(args);
  const double start = threadCpuSeconds();
  f.setUp();
  // The frame's HV step after the damped start-up, with the early-exercise floor after each step.
  f.runHvScheme(true);
  f.extractResults(f.U, start);
  return true;
}

}  // namespace serivane
