// The Hundsdorfer-Verwer ADI scheme on the asset grid (method ids 2 and 4).
// W. Hundsdorfer, J. G. Verwer, "Numerical Solution of Time-Dependent Advection-Diffusion-Reaction
// Equations" (2003), ch. IV; K. J. in 't Hout, S. Foulon, "ADI finite difference schemes for option
// pricing in the Heston model with correlation", Int. J. Numer. Anal. Model. 7 (2010).
#include <cmath>

#include "core/pde_solve.h"
#include "pde2d/adi_frame.h"
#include "platform/cpu_clock.h"

namespace {

// theta = 1 - sqrt(2)/2 keeps the scheme second order and stable with the mixed term.
const double kHvTheta = 1.0 - std::sqrt(2.0) * 0.5;

}  // namespace

bool calcGARCHNUDirectNonNegHV(const PDESolveArgs& args) {
  AdiFrame f(args);
  const double start = threadCpuSeconds();
  f.setUp();
  f.runTimeLoop(kHvTheta, [&f](double t, double tNew) {
    f.douglasStages(t, tNew);
    const double gNew = f.slopeAtSmax(tNew);
    const double half = 0.5;
    // Y0^ = (U + Y0 + dt' F(Y2)) / 2 = Y0 + dt'/2 (F(Y2) - F(U)).
    f.Y2 = f.Y;
    const int NV = f.NV, N = f.N;
    for (int j = 0; j < NV; ++j) {
      const double* u = f.U[j];
      double* y0 = f.Y0[j];
      for (int i = 1; i <= N; ++i) y0[i] = half * (u[i] + y0[i]);
    }
    f.applyF(f.Y2, gNew, &f.Y0, half * f.subStep(), f.Y0);
    f.solveA1(f.Y2, f.Y0, 0.0, f.Y);
    f.solveA2(f.Y2, f.Y, f.Y);
  });
  f.extractResults(f.U, start);
  return true;
}
