#ifndef SERIVANE_CORE_VARIANCE_BOUNDS_H_
#define SERIVANE_CORE_VARIANCE_BOUNDS_H_

namespace serivane {

// The variance range that the path of dv = kappa (vL - v) dt + xi v dW from v0 up to the horizon t
// needs at the quantile level q: at least half of the start term's quantile and a fifth of the
// path's upper bound, at least 3 max(v0, vL) and at most 1e5 max(v0, vL) (variance_bounds.cpp
// derives it). 0 when none can be had (q outside (0, 1), t, v0 or vL not positive, xi negative).
double pathCoverageNeed(double q, double t, double v0, double vL, double kappa, double xi);

}  // namespace serivane

#endif  // SERIVANE_CORE_VARIANCE_BOUNDS_H_
