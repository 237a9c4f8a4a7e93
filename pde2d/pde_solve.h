#ifndef SERIVANE_PDE2D_PDE_SOLVE_H_
#define SERIVANE_PDE2D_PDE_SOLVE_H_

#include "core/qel_heston_vanilla.h"

namespace serivane {

// The common argument list of the 2-D solver variants. The reserved arguments of the historical
// list (read by no solver) are left out.
struct PDESolveArgs {
  QelHestonVanilla* object;
  PDESolveResults* results;
  double* cpuTime;              // out: the solver's own CPU seconds
  bool fullResults = true;      // fill the five result vectors along the asset grid
  bool wideSGrid = false;       // passed to the asset-grid builder as `wide`
  bool wideVRange = false;      // the upper variance bound is multiplied by 1.5
  double sConcentration = 0.0;  // 0: the solver's default (kDefaultSConcentration)
  double vConcentration = 0.0;  // 0: the solver's default (4.0)
};

// Process-wide solver settings, read by the 2-D solvers and written nowhere (defined in
// adi_frame.cpp).
extern int dampingStepCount;        // damped sub-steps that replace the first full step (2)
extern double negValueRatioLimit;   // ratio limit of the non-negativity monitor (-0.005)
extern unsigned char convFileFlag;  // appends each solve's record to "Conv.txt" when set (0)

// The 2-D solver variants, selected by methodID in QelHestonVanilla::dispatchSolver. Each prices
// args.object and returns true. Every variant prices model 1 with the object's exponent p (the
// single-strike and the log-asset HV and MCS variants, and the sparse assembly on the asset grid,
// take p = 1 by the square root: w = v sqrt(v), q = v^2).
bool calcGARCHNUDirectNonNegHV(const PDESolveArgs& args);
// Modified Craig-Sneyd scheme on the asset grid (method ids 3 and 5, 5 with the damped start-up),
// strike list and general variance exponent. Sets the OpenMP default thread count of the calling
// thread to 8 on entry and does not restore it.
bool calcGARCHNUDirectNonNegMCS(const PDESolveArgs& args);
// The same scheme for one strike K with the nine-point mixed stencil (method ids 7 and 9); the
// strike list is not read and nothing is floored after a step.
bool calcGARCHNUDirectNonNegMCSSingleK(const PDESolveArgs& args);
// The HV scheme for one strike K with the nine-point mixed stencil, on the asset grid (method ids 6
// and 8) and on the log-asset grid (method id 11); the strike list is not read and nothing is
// floored after a step.
bool calcGARCHNUDirectNonNegHVSingleK(const PDESolveArgs& args);
bool calcGARCHNUDirectNonNegHVLogSSingleK(const PDESolveArgs& args);
// The HV scheme on the log-asset grid with the strike list (method id 12); result vector 0 holds ln
// S and vectors 2 and 3 derivatives with respect to ln S.
bool calcGARCHNUDirectNonNegHVLogS(const PDESolveArgs& args);
// The MCS scheme on the log-asset grid with the strike list: with the Douglas damped start-up
// (method id 13; result vector 0 holds ln S and vectors 2 and 3 derivatives with respect to ln S)
// and with backward-Euler damped sub-steps of the whole operator by sparse LU (method id 14;
// results along S, always the full set).
bool calcGARCHNUDirectNonNegMCSLogS(const PDESolveArgs& args);
bool calcGARCHNUDirectNonNegMCSEulerLULogS(const PDESolveArgs& args);
// The HV scheme on the asset grid with backward-Euler damped sub-steps of the whole operator by
// sparse LU (method id 10); nothing is floored after a step.
bool calcGARCHNUDirectNonNegHVEulerLU(const PDESolveArgs& args);
// Sparse-direct BDF ladders on the asset grid (method id 1, with Bermudan restarts) and on the
// log-asset grid (method id 15).
bool calcGARCHNUDirectNonNeg4Fct(const PDESolveArgs& args);
bool calcGARCHNUDirectNonNeg4FctLogS(const PDESolveArgs& args);

}  // namespace serivane

#endif  // SERIVANE_PDE2D_PDE_SOLVE_H_
