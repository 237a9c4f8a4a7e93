#ifndef SERIVANE_CALIBRATION_EXPORTS_HESTON_GRID_H_
#define SERIVANE_CALIBRATION_EXPORTS_HESTON_GRID_H_

#include <cstdint>
#include <string>

namespace serivane {

// The outside pricing library and the spot-grid pricing behind VanillaHestonGrid.

// File name of the outside pricing library (HestonCall_exact), built beside the module.
inline constexpr char kOutsideLibraryName[] = "libmervane.so";
inline constexpr char kOutsideEntryName[] = "HestonCall_exact";

// Integrand evaluations one internal grid may use over all its nodes, counted in their pricing
// order (N down to 1): about six seconds of one core. An ordinary node takes some 5,000 to 20,000,
// a node the engine cannot price up to 4,000,000 (both integrals at their limit, each integrated
// twice).
inline constexpr std::uint64_t kGridEvaluationBudget = 30000000;

// Nodes one grid may have on the outside library's path. Its work per node is its own and not
// counted here: some 0.1 ms for an ordinary node, up to about 20 ms where its quadrature runs
// through all its levels; 400 such nodes take about eight seconds of one core.
inline constexpr int kMaxOutsideNodes = 400;

// The outside library, looked up in `folder` first and then along the system's search path, and
// kept loaded for the life of the process. Throws std::runtime_error
// "The outside pricing library <file name> could not be loaded: <loader's text>".
void* loadOutsideLibrary(const std::string& folder, const std::string& fileName);

// One option value through the outside library's HestonCall_exact: e^{-dT} c for a call (put 0),
// the put by parity K e^{-rT} - S e^{-dT} + e^{-dT} c otherwise, c being the call value before the
// dividend discount. Parameters in the program's naming (theta the mean-reversion speed). Throws
// std::runtime_error "The outside pricing library has no entry point HestonCall_exact" when the
// entry cannot be found (or `module` is null): nothing is called through a missing entry.
double hestonCallExactPrice(void* module,
                            double S,
                            double K,
                            double T,
                            double r,
                            double d,
                            double v0,
                            double vL,
                            double theta,
                            double volvol,
                            double rho,
                            int put);

// out[i] for the spot S[i], i = N down to 1, by the analytic engine (internal, in parallel, one
// engine per thread, each node with VanillaHeston's settings) or by the outside library found as
// loadOutsideLibrary(libraryFolder, libraryFile) says; then out[0] := the lower boundary value
// (K e^{-rT} - S[0] e^{-dT} for a put, 0 for a call). Throws std::runtime_error with the failure's
// message; out[0] is then not written. The nodes are priced as if in the order N down to 1, and
// the pricing stops at the first node of that order that fails (the highest failing node, whatever
// the thread count): its engine error, "The price at spot node <i> is not a finite number", or,
// for the outside library, "The price at spot node <i>, <value>, lies outside the no-arbitrage
// bounds [<lower>, <upper>]" (a value within a relative 1e-9 of the discounted spot plus strike
// of a bound is put on it). The outside library prices at most kMaxOutsideNodes nodes: above,
// std::invalid_argument "Invalid argument N = <N>: with the outside pricing library N must be at
// most 400", before the library is looked for. Internally the evaluations are counted as well: "The
// spot grid needs more than 30000000 integrand evaluations: the budget ran out at spot node <i>"
// when the nodes N down to i take more than kGridEvaluationBudget.
void priceHestonGrid(const double* S,
                     double* out,
                     double K,
                     double r,
                     double d,
                     double v0,
                     double vL,
                     double theta,
                     double volvol,
                     double rho,
                     double T,
                     int put,
                     int N,
                     bool internal,
                     const std::string& libraryFolder,
                     const std::string& libraryFile);

}  // namespace serivane

#endif  // SERIVANE_CALIBRATION_EXPORTS_HESTON_GRID_H_
