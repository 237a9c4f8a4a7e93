#ifndef SERIVANE_CALIBRATION_HESTON_GRID_H_
#define SERIVANE_CALIBRATION_HESTON_GRID_H_

#include <string>

namespace serivane {

// The outside pricing library and the spot-grid pricing behind VanillaHestonGrid.

// File name of the outside pricing library (HestonCall_exact), built beside the module.
inline constexpr char kOutsideLibraryName[] = "libmervane.so";
inline constexpr char kOutsideEntryName[] = "HestonCall_exact";

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
// engine per thread) or by the outside library found as loadOutsideLibrary(libraryFolder,
// libraryFile) says; then out[0] := the lower boundary value (K e^{-rT} - S[0] e^{-dT} for a put,
// 0 for a call). Throws std::runtime_error with the failure's message; out[0] is then not written.
// With the internal path the failure of the highest failing node is reported, whatever the thread
// count; every other node is priced.
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

#endif  // SERIVANE_CALIBRATION_HESTON_GRID_H_
