#include "calibration/pricing/solve_work.h"

#include <algorithm>
#include <limits>

#include "pde2d/solver_methods.h"

namespace serivane {

namespace {

// a + b and a b for non-negative work counts, saturating at INT64_MAX.
constexpr std::int64_t kWorkMax = std::numeric_limits<std::int64_t>::max();
std::int64_t addWork(std::int64_t a, std::int64_t b) { return a > kWorkMax - b ? kWorkMax : a + b; }
std::int64_t mulWork(std::int64_t a, std::int64_t b) {
  if (a == 0 || b == 0) return 0;
  return a > kWorkMax / b ? kWorkMax : a * b;
}

// One dispatch of a solver on (ns + 1) (nv + 1) nodes and nt steps (see core/grid_limits.h).
std::int64_t dispatchWork(std::int64_t ns,
                          std::int64_t nv,
                          std::int64_t nt,
                          std::int32_t methodID) {
  const std::int64_t nodes = mulWork(ns + 1, nv + 1);
  const std::int64_t factor = mulWork(nodes, nodes) / kFactorNodesSquaredPerUnit;
  if (isBdfMethod(methodID)) {
    // The ladder's four quarter and two half steps come before the NT steps; five operators.
    return addWork(mulWork(kDirectStepWeight, mulWork(nodes, nt + 6)), mulWork(5, factor));
  }
  if (methodID == 10 || methodID == 14) {
    // One factorisation of the whole operator and two backward-Euler sub-steps in the damped start.
    return addWork(addWork(mulWork(kEulerLuStepWeight, mulWork(nodes, nt)), factor),
                   mulWork(2 * kDirectStepWeight, nodes));
  }
  return mulWork(nodes, nt + 2);
}

}  // namespace

std::int64_t pdeSolveWork(std::int32_t NS,
                          std::int32_t NV,
                          std::int32_t NT,
                          std::int32_t methodID,
                          std::int32_t runMode) {
  const std::int64_t ns = std::max<std::int32_t>(NS, 1), nv = std::max<std::int32_t>(NV, 1);
  const std::int64_t nt = std::max<std::int32_t>(NT, 1);
  if (runMode == 5) {
    return addWork(dispatchWork(ns, nv, nt, methodID), dispatchWork(2 * ns, 2 * nv, nt, methodID));
  }
  if (runMode == 4) {
    // Two convergence runs, with NT / 2.2 and the remaining steps.
    const std::int64_t nt1 = std::max<std::int64_t>(static_cast<std::int64_t>(nt / 2.2), 1);
    const std::int64_t nt2 = std::max<std::int64_t>(nt - nt1, 1);
    return addWork(
        addWork(dispatchWork(ns, nv, nt1, methodID), dispatchWork(2 * ns, 2 * nv, nt1, methodID)),
        addWork(dispatchWork(ns, nv, nt2, methodID), dispatchWork(2 * ns, 2 * nv, nt2, methodID)));
  }
  return dispatchWork(ns, nv, nt, methodID);
}

}  // namespace serivane
