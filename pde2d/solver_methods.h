#ifndef SERIVANE_PDE2D_SOLVER_METHODS_H_
#define SERIVANE_PDE2D_SOLVER_METHODS_H_

#include "pde2d/pde_solve.h"

namespace serivane {

// What a method id (QelHestonVanilla::methodID) stands for. Every caller that decides by method id
// reads it here: the dispatcher, the run mode 4 extrapolation and the retry ladders.

enum class SchemeFamily {
  kBdfLadder,           // sparse-direct BDF ladder
  kHundsdorferVerwer,   // HV splitting
  kModifiedCraigSneyd,  // MCS splitting
};

struct SolverMethod {
  int id;
  bool (*entry)(const PDESolveArgs&);  // the solver variant that the dispatcher runs
  bool damped;  // the dispatcher sets the object's damping flag before the solve
  SchemeFamily family;
};

inline constexpr SolverMethod kSolverMethods[] = {
    {1, calcGARCHNUDirectNonNeg4Fct, false, SchemeFamily::kBdfLadder},
    {2, calcGARCHNUDirectNonNegHV, false, SchemeFamily::kHundsdorferVerwer},
    {3, calcGARCHNUDirectNonNegMCS, false, SchemeFamily::kModifiedCraigSneyd},
    {4, calcGARCHNUDirectNonNegHV, true, SchemeFamily::kHundsdorferVerwer},
    {5, calcGARCHNUDirectNonNegMCS, true, SchemeFamily::kModifiedCraigSneyd},
    {6, calcGARCHNUDirectNonNegHVSingleK, false, SchemeFamily::kHundsdorferVerwer},
    {7, calcGARCHNUDirectNonNegMCSSingleK, false, SchemeFamily::kModifiedCraigSneyd},
    {8, calcGARCHNUDirectNonNegHVSingleK, true, SchemeFamily::kHundsdorferVerwer},
    {9, calcGARCHNUDirectNonNegMCSSingleK, true, SchemeFamily::kModifiedCraigSneyd},
    {10, calcGARCHNUDirectNonNegHVEulerLU, true, SchemeFamily::kHundsdorferVerwer},
    {11, calcGARCHNUDirectNonNegHVLogSSingleK, false, SchemeFamily::kHundsdorferVerwer},
    {12, calcGARCHNUDirectNonNegHVLogS, false, SchemeFamily::kHundsdorferVerwer},
    {13, calcGARCHNUDirectNonNegMCSLogS, false, SchemeFamily::kModifiedCraigSneyd},
    {14, calcGARCHNUDirectNonNegMCSEulerLULogS, true, SchemeFamily::kModifiedCraigSneyd},
    {15, calcGARCHNUDirectNonNeg4FctLogS, false, SchemeFamily::kBdfLadder},
};

// The entry of methodID, or nullptr for an id that names no solver (nothing is priced then).
inline const SolverMethod* findSolverMethod(int methodID) {
  for (const SolverMethod& m : kSolverMethods) {
    if (m.id == methodID) return &m;
  }
  return nullptr;
}

// The sparse-direct BDF ladders (1 and 15), the most robust solvers.
inline bool isBdfMethod(int methodID) {
  const SolverMethod* m = findSolverMethod(methodID);
  return m != nullptr && m->family == SchemeFamily::kBdfLadder;
}

// The ADI splittings (2 to 14).
inline bool isAdiMethod(int methodID) {
  const SolverMethod* m = findSolverMethod(methodID);
  return m != nullptr && m->family != SchemeFamily::kBdfLadder;
}

// The order in time that run mode 4 extrapolates for a European option: 3 for the BDF ladders,
// 2 otherwise (an American option is extrapolated with order 1 whatever the method).
inline int richardsonTimeOrder(int methodID) { return isBdfMethod(methodID) ? 3 : 2; }

// The method id the retry ladders escalate a negative value to.
inline constexpr int kMostRobustMethodID = 15;

}  // namespace serivane

#endif  // SERIVANE_PDE2D_SOLVER_METHODS_H_
