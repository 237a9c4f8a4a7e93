#ifndef SERIVANE_CALIBRATION_PRICING_SOLVE_WORK_H_
#define SERIVANE_CALIBRATION_PRICING_SOLVE_WORK_H_

#include <cstdint>

#include "core/grid_limits.h"

namespace serivane {

// The work, in the units of kMaxCallWork, of one solve of the 2-D pricer whose grids hold NS by NV
// intervals and NT time steps, by method methodID in run mode runMode (4 and 5 also solve the
// doubled grid; see core/grid_limits.h). Saturates at INT64_MAX; sizes below 1 count as 1.
std::int64_t pdeSolveWork(
    std::int32_t NS, std::int32_t NV, std::int32_t NT, std::int32_t methodID, std::int32_t runMode);

}  // namespace serivane

#endif  // SERIVANE_CALIBRATION_PRICING_SOLVE_WORK_H_
