// The Hundsdorfer-Verwer ADI scheme on the asset grid (the variance exponent 1 by the square root,
// another p by the power function) with a damped start of backward-Euler sub-steps of the whole
// operator, cross term included, by sparse LU (method id 10). The implicit ADI systems are
// factorised once; an American option is raised to its intrinsic value at every node after every
// step.
// W. Hundsdorfer, J. G. Verwer, "Numerical Solution of Time-Dependent Advection-Diffusion-Reaction
// Equations" (2003), ch. IV; K. J. in 't Hout, S. Foulon, "ADI finite difference schemes for option
// pricing in the Heston model with correlation", Int. J. Numer. Anal. Model. 7 (2010).
#include <memory>

#include "pde2d/adi_frame.h"
#include "pde2d/operator_assembly.h"
#include "pde2d/pde_solve.h"
#include "pde2d/scheme_weights.h"
#include "platform/cpu_clock.h"

namespace serivane {

bool calcGARCHNUDirectNonNegHVEulerLU(const PDESolveArgs& args) {
  FrameLayout layout;
  layout.unitExponent = true;
  AdiFrame f(args, layout);
  const double start = threadCpuSeconds();
  f.setUp();
  std::unique_ptr<SparseEulerStart> euler;
  if (f.obj.damping && dampingStepCount > 0) {
    euler = std::make_unique<SparseEulerStart>(f, f.dt / dampingStepCount, false);
  }
  f.runSchemeLoop(
      scheme_weights::kHvTheta,
      [&f, &euler](double t, double tNew, bool damped) {
        if (damped) {
          euler->step(tNew);
        } else {
          f.hvStep(t, tNew);
        }
      },
      [&f](DenseMatrix& level) { f.applyEarlyExercise(level); },
      AdiFrame::DampedStart::kOwnSteps);
  f.extractResults(f.U, start);
  return true;
}

}  // namespace serivane
