#ifndef SERIVANE_HESTON_ANALYTIC_BUDGETED_PRICING_H_
#define SERIVANE_HESTON_ANALYTIC_BUDGETED_PRICING_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "heston_analytic/analytic_heston_engine.h"

namespace serivane {

// Where a list of analytic prices stopped: at item `item` (the list's length when every item was
// priced), because that item failed or, with overBudget, because the integrand evaluations of the
// items 0 .. item together came to more than the budget.
struct OrderedPricingStop {
  long item = 0;
  bool overBudget = false;
};

// Prices the items 0 .. n-1 of a list with analytic engines (each thread of the parallel loop has
// its own, at the given accuracy and evaluation limit per integral) and reports the stop of the
// same list priced one item after the other: the first item that fails, or the first at which the
// evaluations of the items so far exceed `budget`. That answer does not depend on the thread
// count: each item's outcome and evaluation count depend on the item alone, and the stop is found
// by walking the items in order once the parallel loop is over, pricing there any item before the
// stop that the loop skipped.
//
// The loop hands the items out in their order, one at a time, and once a failure has been
// recorded, or the evaluations of all threads together exceed the budget, no thread starts another
// item. Items after the stop may have been priced (their results are the caller's to ignore): the
// items the other threads had under way, and those they started while the thread of the failing
// item had not yet recorded it.
//
// priceItem(engine, k, evaluations) prices item k and returns true with the integrand evaluations
// it used, or records the failure itself and returns false. It must not throw: it runs inside the
// parallel loop. The caller sees the items of its own results up to the stop only.
template <class PriceItem>
OrderedPricingStop priceInOrderWithinBudget(long n,
                                            std::uint64_t budget,
                                            double accuracy,
                                            std::uint64_t evaluationsPerIntegral,
                                            const PriceItem& priceItem) {
  if (n <= 0) return {0, false};
  enum : char { kNotPriced = 0, kPriced = 1, kFailed = 2 };
  std::vector<char> state(static_cast<std::size_t>(n), kNotPriced);
  std::vector<std::uint64_t> evaluations(static_cast<std::size_t>(n), 0);
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> spent{0};
#pragma omp parallel
  {
    // A thread without an engine (its allocation failed) prices nothing; the walk below does its
    // items.
    std::unique_ptr<AnalyticHestonEngine> engine;
    try {
      engine = std::make_unique<AnalyticHestonEngine>(accuracy, evaluationsPerIntegral);
    } catch (...) {
    }
#pragma omp for schedule(dynamic, 1)
    for (long k = 0; k < n; ++k) {
      if (engine == nullptr || stop.load(std::memory_order_relaxed)) continue;
      const std::size_t at = static_cast<std::size_t>(k);
      std::uint64_t used = 0;
      const bool ok = priceItem(*engine, k, used);
      evaluations[at] = used;
      state[at] = ok ? kPriced : kFailed;
      if (!ok || spent.fetch_add(used, std::memory_order_relaxed) + used > budget) {
        stop.store(true, std::memory_order_relaxed);
      }
    }
  }
  // The items in their order, as one thread would have priced them.
  std::unique_ptr<AnalyticHestonEngine> engine;
  std::uint64_t total = 0;
  for (long k = 0; k < n; ++k) {
    const std::size_t at = static_cast<std::size_t>(k);
    if (state[at] == kNotPriced) {
      if (engine == nullptr) {
        engine = std::make_unique<AnalyticHestonEngine>(accuracy, evaluationsPerIntegral);
      }
      std::uint64_t used = 0;
      state[at] = priceItem(*engine, k, used) ? kPriced : kFailed;
      evaluations[at] = used;
    }
    if (state[at] == kFailed) return {k, false};
    total += evaluations[at];
    if (total > budget) return {k, true};
  }
  return {n, false};
}

}  // namespace serivane

#endif  // SERIVANE_HESTON_ANALYTIC_BUDGETED_PRICING_H_
