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
// Grid nodes times time steps: about a minute of work for the slowest solver.
inline constexpr std::int64_t kMaxGridWork = 2000000000;

// An asset grid may reach at most this many times the larger of spot and strike: beyond it the
// squares of the asset values in the pricing equation leave the range of doubles long before the
// grid carries any price information.
inline constexpr double kMaxAssetRangeRatio = 1e8;

}  // namespace serivane

#endif  // SERIVANE_CORE_GRID_LIMITS_H_
