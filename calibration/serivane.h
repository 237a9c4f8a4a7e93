/* The functions the Serivane module exports to a host that loads it (libserivane64.so, or the
   Windows module). C linkage; plain C types only. No function lets an error escape: each returns
   the failure value written beside its prototype instead. */
#ifndef SERIVANE_CALIBRATION_SERIVANE_H_
#define SERIVANE_CALIBRATION_SERIVANE_H_

#include <stdint.h>

/* QEL_API marks an exported function; everything else in the module is hidden. QEL_CALL is the
   calling convention: stdcall in the 32-bit builds, whose exports carry decorated names
   (_ImpliedVol@52: a leading underscore, "@" and the bytes of the arguments; the list is
   calibration/export_names.h), the platform's default in the 64-bit builds, which export the plain
   names. On 32-bit Linux a host finds the exports by their decorated names with dlsym (GNU tools
   cannot link against a name that holds "@") and calls them through pointers of these types, e.g.
   decltype(&ImpliedVol) in C++. */
#if defined(_WIN32)
#if defined(SERIVANE_BUILDING_MODULE)
#define QEL_API __declspec(dllexport)
#else
#define QEL_API __declspec(dllimport)
#endif
#if defined(_WIN64)
#define QEL_CALL
#else
#define QEL_CALL __stdcall
#endif
#elif defined(__i386__)
/* A stdcall caller may hand over a stack aligned to 4 bytes only; the module's SSE2 code wants 16:
   each export realigns its stack on entry. */
#if defined(SERIVANE_BUILDING_MODULE)
#define QEL_API __attribute__((visibility("default"), force_align_arg_pointer))
#else
#define QEL_API __attribute__((visibility("default")))
#endif
#define QEL_CALL __attribute__((stdcall))
#else
#define QEL_API __attribute__((visibility("default")))
#define QEL_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Price of one vanilla option under the stochastic-volatility model by the 2-D PDE pricer, with
   grid escalation and retries on failed solves (logged to "GARCH_PDESolverLog.txt" in the
   module's folder). S spot, K strike, T years to expiry, r rate and d dividend yield (both
   continuous), v0 start variance, vL long-run variance, theta mean-reversion speed, volvol
   volatility of variance, rho correlation; NS, NV, NT asset intervals, variance intervals, time
   steps; CallPut 0 call, 1 put; EuroAmer 0 European, 1 American, 2 Bermudan; precision 1 plain
   solve, 2 convergence run on two grids, any other value Richardson extrapolation in time;
   methodID solver 1 to 15; ivWanted non-zero returns the implied volatility instead of the price;
   sRangeParam asset-range parameter; varRange coverage probability of the variance range, or
   minus an explicit upper variance bound; volvolWidening non-zero widens the asset range for a
   large volvol; model 0 square-root variance, 1 variance diffusion volvol * v.
   Failure value: 0.0 (no positive value could be had, or an error, which is logged). */
QEL_API double QEL_CALL GARCH_VanillaPDESolver(double S,
                                               double K,
                                               double T,
                                               double r,
                                               double d,
                                               double v0,
                                               double vL,
                                               double theta,
                                               double volvol,
                                               double rho,
                                               int32_t NS,
                                               int32_t NV,
                                               int32_t NT,
                                               int32_t CallPut,
                                               int32_t EuroAmer,
                                               int32_t precision,
                                               int32_t methodID,
                                               int32_t ivWanted,
                                               double sRangeParam,
                                               double varRange,
                                               int32_t volvolWidening,
                                               int32_t model);

/* Black-Scholes-Merton implied volatility of an option price, sought in [1e-6, 2.0] to machine
   precision. isPut 0 call, non-zero put.
   Failure value: -999.0 (the price lies outside the prices at the two ends of that range, or the
   root finder fails). */
QEL_API double QEL_CALL
ImpliedVol(double price, double S, double K, double T, double r, double d, int32_t isPut);

/* European option price under the Heston model by its semi-closed form (adaptive Gauss-Lobatto
   integration to full double accuracy, at most 1,000,000 integrand evaluations). S spot (0 is
   priced as 1e-12), K strike, r rate and d dividend yield (both continuous), v0 start variance,
   vL long-run variance, theta mean-reversion speed, volvol volatility of variance (0 is priced as
   1e-10), rho correlation, T years to expiry; put 0 call, any other value put.
   Failure value: -999.0 (the pricing failed; a record with the message and the inputs is
   appended to "GARCH_PDESolverLog.txt" in the module's folder). */
QEL_API double QEL_CALL VanillaHeston(double S,
                                      double K,
                                      double r,
                                      double d,
                                      double v0,
                                      double vL,
                                      double theta,
                                      double volvol,
                                      double rho,
                                      double T,
                                      int32_t put);

/* Calibration objective for a host's optimiser: the root-mean-square difference between the
   Black-Scholes-Merton implied volatilities of the VanillaHeston prices at these parameters and
   the market implied volatilities of the counted quotes in "OptionsData.txt" (module's folder).
   Each call appends one line "Objective function:" ... to "Results.txt" in the current folder.
   Failure values: 10000.0 when "OptionsData.txt" cannot be opened (no line written); -999.0 when
   the file holds fewer whole records than its count, a negative or unreadable count, a count of 0,
   or a quote whose implied volatility cannot be found (no line written). */
QEL_API double QEL_CALL
HESTON_VanillaCalibration(double v0, double vL, double theta, double volvol, double rho);

#ifdef __cplusplus
}
#endif

#endif /* SERIVANE_CALIBRATION_SERIVANE_H_ */
