// The modified Craig-Sneyd ADI scheme on the asset grid, theta = 1/3: with the strike list, the
// general variance exponent and an early-exercise projection that smooths the exercise boundary
// by a cell average (method ids 3 and 5), and for one strike on the nine-point mixed stencil, the
// exponent 1 by the square root and another p by the power function (method ids 7 and 9).
// K. J. in 't Hout, B. D. Welfert, "Unconditional stability of second-order ADI schemes applied
// to multi-dimensional diffusion equations with mixed derivative terms", Appl. Numer. Math. 59
// (2009); K. J. in 't Hout, S. Foulon, "ADI finite difference schemes for option pricing in the
// Heston model with correlation", Int. J. Numer. Anal. Model. 7 (2010).
#include <omp.h>

#include <valarray>

#include "core/qel_heston_vanilla.h"
#include "pde2d/adi_frame.h"
#include "pde2d/pde_solve.h"
#include "pde2d/scheme_weights.h"
#include "platform/cpu_clock.h"

namespace serivane {

namespace {

// The solver sets the OpenMP default thread count of its thread to this value on every entry and
// leaves it so.
constexpr int kMcsThreadCount = 8;

// Early exercise of a call: on each variance row, the nodes above the strike are raised to the
// raw payoff, and the node whose cell holds the estimated exercise boundary gets the cell average
// of the unprojected and projected profiles (strikeCellAdjust).
void projectCallRows(AdiFrame& f, DenseMatrix& level) {
  QelHestonVanilla& obj = f.obj;
  const int N = f.N;
  const double K = obj.K;
  std::valarray<double> A(0.0, f.nS + 1), B(0.0, f.nS + 1);
  for (int j = 0; j <= f.NV; ++j) {
    double* row = level[j];
    for (int i = 0; i <= N; ++i) A[i] = B[i] = row[i];
    int first = -1;
    for (int i = 0; i <= N; ++i) {
      if (obj.payoff[i] > A[i] && f.S[i] > K) {
        A[i] = obj.payoff[i];
        if (first < 0) first = i;
      }
    }
    if (first < 0) continue;
    if (first >= 1) {
      // The line through (S_(i*-1), A[i*-1]) with the slope towards the unprojected value at i*
      // meets the payoff line S - K at the boundary estimate.
      const double sPrev = obj.grid[first - 1];
      const double sigma = (B[first] - A[first - 1]) / (obj.grid[first] - sPrev);
      const double x = (A[first - 1] + K - sPrev * sigma) / (1.0 - sigma);
      strikeCellAdjust(obj, A, B, x, false, true);
    }
    for (int i = 0; i <= N; ++i) row[i] = A[i];
  }
}

// The MCS time loop on a set-up frame whose cross-term operator is built: the frame's MCS step.
// With zeroColumnInCross the argument of the cross-term correction includes the change of the
// S = 0 value (the nine-point mixed stencil reads it at i = 1); otherwise its column 0 stays 0.
template <class Exercise>
void runMcsScheme(AdiFrame& f, bool zeroColumnInCross, Exercise&& exercise) {
  f.runSchemeLoop(
      scheme_weights::kMcsTheta,
      [&f, zeroColumnInCross](double t, double tNew, bool damped) {
        f.mcsStep(t, tNew, damped, zeroColumnInCross);
      },
      exercise);
}

}  // namespace

bool calcGARCHNUDirectNonNegMCS(const PDESolveArgs& args) {
  // Documented behaviour of this solver: the OpenMP default thread count of the calling thread
  // becomes 8 and is not restored.
  omp_set_num_threads(kMcsThreadCount);
  FrameLayout layout;
  layout.convPrecision = 10;
  layout.putZeroFollowsPayoff = false;
  AdiFrame f(args, layout);
  const double start = threadCpuSeconds();
  f.setUp();
  f.buildCrossOperator();
  runMcsScheme(f, false, [&f](DenseMatrix& level) {
    if (!f.obj.american) return;
    if (f.obj.CallPut == 1) {
      // A put is floored at its intrinsic value K - S on every node: the call projection floors
      // only above the strike, where a put's payoff is 0, and would price an American put as a
      // European one.
      f.applyEarlyExercise(level);
    } else {
      projectCallRows(f, level);
    }
  });
  f.extractResults(f.U, start);
  return true;
}

bool calcGARCHNUDirectNonNegMCSSingleK(const PDESolveArgs& args) {
  FrameLayout layout;
  layout.convPrecision = 10;
  layout.putZeroFollowsPayoff = false;
  layout.unitExponent = true;
  layout.centralCross = true;
  layout.singleStrike = true;
  layout.convMaturity = false;
  AdiFrame f(args, layout);
  const double start = threadCpuSeconds();
  f.setUp();
  f.buildCrossOperator();
  // An American option is raised to its intrinsic value at every node after every step. The
  // Bermudan call's exerciseMode 2 is not read: the values beyond Smax follow the slope rule in
  // every stage.
  runMcsScheme(f, true, [&f](DenseMatrix& level) { f.applyEarlyExercise(level); });
  f.extractResults(f.U, start);
  return true;
}

}  // namespace serivane
