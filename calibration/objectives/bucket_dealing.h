#ifndef SERIVANE_CALIBRATION_OBJECTIVES_BUCKET_DEALING_H_
#define SERIVANE_CALIBRATION_OBJECTIVES_BUCKET_DEALING_H_

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <vector>

namespace serivane {

// Cost-balanced dealing of pricing work over the buckets (iterations) of a parallel loop, shared
// by the calibration's model function and the host objectives.

// The most buckets a pricing loop deals its work into.
inline constexpr int kMaxPricingBuckets = 20;

// Buckets of a pricing loop: min(omp_get_max_threads(), kMaxPricingBuckets), at least 1.
int pricingBucketCount();

// Work items (by index) dealt into nb buckets, and the cost each bucket received.
struct BucketDeal {
  std::vector<std::vector<int>> buckets;
  std::vector<double> loads;
};

// Deals items 0, 1, ... (already sorted by descending cost) over nb buckets with target
// totalCost / nb: a cursor starts at bucket 0 and moves on cyclically after every attempt; a
// bucket whose load has reached the target is passed over and the same item tries the next one,
// otherwise the item joins it. When every bucket has reached the target with items left (only
// rounding, or costs that are not positive finite numbers, can do that) the item joins the
// lightest bucket instead of circling for ever.
BucketDeal dealByCost(const std::vector<double>& costs, int nb, double totalCost);

// Runs task(k) for k = 0 .. count-1 over min(pricingBucketCount(), count) threads that take the
// next k from one shared counter: with the tasks in descending order of cost, the heaviest start
// first and the light ones fill the gaps, so no thread idles while work is left (a static deal
// of buckets leaves threads waiting whenever its cost estimates are off). task must not throw,
// and must write only results of its own k: which thread runs a task is not fixed.
template <class Task>
void runHeaviestFirst(int count, Task&& task) {
  if (count <= 0) return;
  std::atomic<int> next{0};
  const int threads = std::max(1, std::min(pricingBucketCount(), count));
#pragma omp parallel num_threads(threads)
  {
    for (int k = next.fetch_add(1, std::memory_order_relaxed); k < count;
         k = next.fetch_add(1, std::memory_order_relaxed)) {
      task(k);
    }
  }
}

}  // namespace serivane

#endif  // SERIVANE_CALIBRATION_OBJECTIVES_BUCKET_DEALING_H_
