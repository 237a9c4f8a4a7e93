/* The functions the Serivane module exports to a host that loads it (libserivane64.so, or the
   Windows module). C linkage; plain C types only. No function lets an error escape: each returns
   the failure value written beside its prototype instead. */
#ifndef SERIVANE_CALIBRATION_SERIVANE_H_
#define SERIVANE_CALIBRATION_SERIVANE_H_

#include <stdint.h>

/* QEL_API marks an exported function; everything else in the module is hidden. QEL_CALL is the
   calling convention: stdcall in the 32-bit Windows build (decorated names), the platform's
   default elsewhere. */
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

#ifdef __cplusplus
}
#endif

#endif /* SERIVANE_CALIBRATION_SERIVANE_H_ */
