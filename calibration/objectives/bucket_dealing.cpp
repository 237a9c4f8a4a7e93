#include "calibration/objectives/bucket_dealing.h"

#include <omp.h>

#include <algorithm>

namespace serivane {

int pricingBucketCount() {
  return std::max(1, std::min(omp_get_max_threads(), kMaxPricingBuckets));
}

BucketDeal dealByCost(const std::vector<double>& costs, int nb, double totalCost) {
  nb = std::max(1, nb);
  BucketDeal deal;
  deal.buckets.resize(nb);
  deal.loads.assign(nb, 0.0);
  const double target = totalCost / nb;
  int cursor = 0;
  int refusals = 0;  // buckets in a row that were full for the current item
  for (std::size_t item = 0; item < costs.size();) {
    int joined = -1;
    if (deal.loads[cursor] < target) {
      joined = cursor;
    } else if (++refusals == nb) {
      joined = static_cast<int>(std::min_element(deal.loads.begin(), deal.loads.end()) -
                                deal.loads.begin());
    }
    cursor = (cursor + 1) % nb;
    if (joined < 0) continue;
    deal.buckets[joined].push_back(static_cast<int>(item));
    deal.loads[joined] += costs[item];
    refusals = 0;
    ++item;
  }
  return deal;
}

}  // namespace serivane
