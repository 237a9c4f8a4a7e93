#ifndef SERIVANE_CORE_GRID_LIMITS_H_
#define SERIVANE_CORE_GRID_LIMITS_H_

#include <cstdint>

namespace serivane {

// The largest grids the 2-D pricer solves on. Every size arithmetic of the pricer and of the
// retrying pricers stays far inside 32-bit integers for sizes within these limits (a convergence
// run doubles them once), and the largest grid still fits the memory of an ordinary machine: the
// ADI solvers hold about 40 doubles per node, the sparse-direct ones their LU factors besides.
// The exported functions refuse larger sizes; the pricer itself refuses them at the start of a
// solve.
inline constexpr std::int32_t kMaxAssetIntervals = 50000;     // NS (the served node count)
inline constexpr std::int32_t kMaxVarianceIntervals = 50000;  // NV
inline constexpr std::int64_t kMaxGridNodes = 1000000;        // (NS + 1) (NV + 1)
inline constexpr std::int32_t kMaxTimeSteps = 100000;         // NT
// Grid nodes times time steps: about a minute of work for the fastest solvers.
inline constexpr std::int64_t kMaxGridWork = 2000000000;

// The work of the single-option pricer (GARCH_VanillaPDESolver), counted in units of about one
// node-step of an ADI solver (10 to 27 ns on one core, measured on grids of 2e4 to 1e6 nodes), so
// that the solvers of different cost share one limit. A solve of n nodes and NT time steps costs
//   ADI splittings (method ids 2-9, 11-13)    n (NT + 2)
//   ADI with a sparse-LU damped start (10, 14) kEulerLuStepWeight n NT + one factorisation
//                                              + kDirectStepWeight n per damping sub-step
//   sparse-direct BDF ladders (1, 15)          kDirectStepWeight n (NT + 6) + five factorisations
// where one sparse LU factorisation counts n^2 / kFactorNodesSquaredPerUnit. That is its cost at
// its worst: on a benign case it is far cheaper (0.3 s for 400 by 200 intervals), but where the
// pivots leave the diagonal (vL 100 with theta 1000 and a wide variance range, say) its fill
// grows like n^2, 1.2 to 2.3 ns n^2 measured (0.6 s for 200 by 100, 6 s for 400 by 172, 9 s for
// 250 by 250), and no cheaper count bounds the call. The convergence run (precision code 2) adds a
// solve on the doubled grid, the Richardson extrapolation in time (other codes) two such runs
// sharing the time steps. One call of the single-option pricer, the first solve and every re-solve
// of its retries together, stays within kMaxCallWork units: about 10 s on one core.
inline constexpr std::int64_t kMaxCallWork = 350000000;
inline constexpr std::int64_t kDirectStepWeight = 50;           // a sparse LU solve, per node
inline constexpr std::int64_t kEulerLuStepWeight = 2;           // an ADI step of methods 10, 14
inline constexpr std::int64_t kFactorNodesSquaredPerUnit = 10;  // a sparse LU factorisation

// An asset grid may reach at most this many times the larger of spot and strike: beyond it the
// squares of the asset values in the pricing equation leave the range of doubles long before the
// grid carries any price information.
inline constexpr double kMaxAssetRangeRatio = 1e8;

}  // namespace serivane

#endif  // SERIVANE_CORE_GRID_LIMITS_H_
