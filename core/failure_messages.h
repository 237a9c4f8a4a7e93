#ifndef SERIVANE_CORE_FAILURE_MESSAGES_H_
#define SERIVANE_CORE_FAILURE_MESSAGES_H_

namespace serivane {

// The failure texts that callers recognise by comparing messages: the thrower and every matcher
// read them here. The texts, odd spellings included, are established: logs and hosts show them.

// Brent's root finder, when the two ends do not bracket a root; the dispatcher ends the implied
// volatility inversion quietly on it.
inline constexpr char kBracketMessage[] = "Root must be bracketed in Brent solver";
// An allocation failure as the dispatcher throws it on; the retry ladders retry it.
inline constexpr char kAllocationMessage[] = "bad allocation";
// A zero value on a coarse variance grid; the retry ladders restart on it.
inline constexpr char kInstabilityMessage[] = "Possible instability issue";
// A price that came through the solves as an infinity or a NaN.
inline constexpr char kNonFiniteMessage[] = "The price is not a finite number";
// An implied volatility was asked for, and no volatility in [1e-6, 2] gives the price.
inline constexpr char kNoImpliedVolMessage[] = "No implied volatility in [1e-6, 2] gives the price";

// Grid failures; the retrying pricers catch them and try other grids. The log-grid text keeps its
// historical spelling, since callers compare messages.
inline constexpr char kGridProblemMessage[] =
    "There was a problem while generating the PDE grid for this vanilla option.";
inline constexpr char kLogGridProblemMessage[] =
    "There was a problem while generating the PDE grid for this vanila option.";
// Raised inside the variance bounds when a law-based bound leaves v0 too close to the top; it
// never leaves them (a simpler bound takes over).
inline constexpr char kCoverageMessage[] = "Insufficient grid coverage";

}  // namespace serivane

#endif  // SERIVANE_CORE_FAILURE_MESSAGES_H_
