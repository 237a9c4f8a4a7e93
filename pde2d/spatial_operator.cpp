#include "pde2d/spatial_operator.h"

#include <cmath>

#include "core/qel_heston_vanilla.h"

namespace serivane {

SpatialOperator::SpatialOperator(const QelHestonVanilla& o,
                                 const OperatorForm& form,
                                 const OperatorGrid& grid)
    : form_(form),
      grid_(grid),
      r_(o.r),
      rMinusD_(o.r - o.d),
      kappa_(o.theta),
      vL_(o.vL),
      halfXi2_(0.5 * (o.volvol * o.volvol)),
      xiRho_(o.volvol * o.rho),
      model1_(o.model == 1) {}

}  // namespace serivane
