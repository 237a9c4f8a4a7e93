/* The functions the Serivane module exports to a host that loads it (libserivane64.so, or the
   Windows module). C linkage; plain C types only. No function lets an error escape: each returns
   the failure value written beside its prototype instead. */
#ifndef SERIVANE_CALIBRATION_EXPORTS_SERIVANE_H_
#define SERIVANE_CALIBRATION_EXPORTS_SERIVANE_H_

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

/* QEL_API marks an exported function; everything else in the module is hidden. QEL_CALL is the
   calling convention: stdcall in the 32-bit builds, whose exports carry decorated names
   (_ImpliedVol@52: a leading underscore, "@" and the bytes of the arguments; the list is
   calibration/exports/export_names.h), the platform's default in the 64-bit builds, which export
   the plain names. On 32-bit Linux a host finds the exports by their decorated names with dlsym
   (GNU tools cannot link against a name that holds "@") and calls them through pointers of these
   types, e.g. decltype(&ImpliedVol) in C++. */
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

/* The string results' type (see "String results" below). */
#if defined(_WIN32)
#include <oleauto.h>
typedef BSTR QelString;
#elif defined(__cplusplus)
typedef char16_t* QelString;
#else
typedef uint16_t* QelString;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Argument limits. Every export checks its arguments on entry; a non-finite double, or a value
   outside these ranges, makes it return its failure value at once (with its failure record, where
   it writes one, naming the argument). Names as in calibration/exports/export_args.h and
   core/grid_limits.h:
     S, K                   finite, in (0, kMaxPriceLevel = 1e12]
     T                      [0, kMaxMaturityYears = 100]
     r, d                   [-kMaxAbsRate, kMaxAbsRate], kMaxAbsRate = 0.5
     v0, vL                 [0, kMaxVariance = 100]
     theta                  [-kMaxAbsSpeed, kMaxAbsSpeed], kMaxAbsSpeed = 1000; the 2-D pricer's
                            exports (GARCH_VanillaPDESolver, QelOptionPricer's params[3], the PDE
                            objectives) [kMinPdeSpeed = 0, kMaxAbsSpeed]: a negative speed
                            drives the variance away from vL without bound and no variance grid
                            holds its law
     volvol                 [0, kMaxVolvol = 100]
     rho                    [-1, 1]
     market volatility      [0, kMaxVolatility = 10] (quotes of "OptionsData.txt")
     varRange               [-kMaxVariance, kMaxVarRange = 10]
     sRangeParam            finite (a grid reaching beyond kMaxAssetRangeRatio = 1e8 times
                            max(S, K) fails the pricing)
     NS                     [1, kMaxAssetIntervals = 50000]
     NV                     [1, kMaxVarianceIntervals = 50000]
     NT                     [1, kMaxTimeSteps = 100000]
     (NS + 1) (NV + 1)      at most kMaxGridNodes = 1000000 nodes
     nodes x NT             at most kMaxGridWork = 2000000000
     solve work             GARCH_VanillaPDESolver: the first solve's work at most kMaxCallWork =
                            3.5e8 units of about one ADI node-step (about 10 s on one core), where
                            n = (NS + 1) (NV + 1) nodes cost n (NT + 2) for method ids 2-9 and
                            11-13; 2 n NT + 100 n + n^2 / 10 for 10 and 14; 50 n (NT + 6) +
                            5 n^2 / 10 for 1 and 15 (n^2 / 10: a sparse LU factorisation at its
                            worst, where its pivots leave the diagonal); precision 2 adds the
                            solve on the doubled grid, other codes split NT over two such pairs,
                            both starting on NS / 2, NV / 2. The retries share the same budget.
     CallPut 0 or 1; EuroAmer 0, 1 or 2; methodID 1 to 15; model 0 or 1 (GARCH_VanillaPDESolver).
   Precision codes, ivWanted, volvolWidening, put flags, strip modes, selectors and byte flags take
   any value. A result that is not a finite number is also returned as the failure value.
   Further limits of single exports:
     QelOptionPricer        rootT in [0, 10] (T = rootT^2 at most 100); params[0] finite, and the
                            volvol it gives in [0, 100]; params[1..4] as v0, vL, theta (the
                            2-D pricer's), rho (params[5] is the pricer's to check); *NS at
                            least 1 (above 50000: the refusal written at the export); *NV as
                            NV; nExercise in [0, kMaxExerciseDates = 20000], at least 1
                            with EuroAmer 2 (the dates it gives, below), the grid checked
                            with max(NT, 5 nExercise) time steps; null pointers refused. unusedArg,
                            tolExponent, vecA and vecB are not read: any value.
     VanillaHestonGrid      N in [0, 50000]; S[1..N] in (0, 1e12], S[0] in [0, 1e12] for a put
                            (not read for a call); K in [0, 1e12]; null S or out refused. At
                            most 30,000,000 integrand evaluations over all nodes (internal);
                            N at most 400 with the outside library (internal 0).
     HESTON_VanillaCalibration  at most 10,000 quotes in "OptionsData.txt", and at most
                            30,000,000 integrand evaluations over all their prices.
     PDE objectives         level finite, at most kMaxVarRange = 10: below 1.0 with a model other
                            than 0 a quantile level in (0, 1), and v0 then in [-100, 100] (the
                            variance-bound solver refuses v0 <= 0 with its own record); otherwise
                            the pricer's varRange, at least -kMaxVariance = -100. Every quote of
                            "OptionsData.txt" within the limits above (market volatility, S, K, T,
                            r, d, CallPut, EuroAmer; EuroAmer 0 or 1 only, as the file gives no
                            exercise dates for a Bermudan quote), and the grid of each pricing
                            (its time steps max(NT, (int)(NT T)), its sizes raised for cheap
                            options) within the grid limits. */

/* Price of one vanilla option under the stochastic-volatility model by the 2-D PDE pricer, with
   grid escalation and retries on failed solves (logged to "GARCH_PDESolverLog.txt" in the
   module's folder). S spot, K strike, T years to expiry, r rate and d dividend yield (both
   continuous), v0 start variance, vL long-run variance, theta mean-reversion speed, volvol
   volatility of variance, rho correlation; NS, NV, NT asset intervals, variance intervals, time
   steps; CallPut 0 call, 1 put; EuroAmer 0 European, 1 American, 2 Bermudan (this export has no
   argument for exercise dates, and a Bermudan option has no price without them: EuroAmer 2 gives
   the failure value at once, logged with its message; QelOptionPricer takes the number of
   evenly spaced dates); precision 1 plain solve, 2 convergence run on two grids, any other value
   Richardson extrapolation in time; methodID solver 1 to 15; ivWanted non-zero returns the
   implied volatility instead of the price; sRangeParam asset-range parameter; varRange coverage
   probability of the variance range, or minus an explicit upper variance bound; volvolWidening
   non-zero widens the asset range for a large volvol; model 0 square-root variance, 1 variance
   diffusion volvol * v.
   Retries: a negative value re-solves on growing grids up to 400 by 200, then on a more
   non-uniform variance grid, then on 700 by 180 and 900 by 400 asset by variance intervals; those
   two top rungs always solve plain (one grid, no extrapolation in time), whatever the precision
   code, so a convergence run never solves beyond 900 by 400. The whole call, first solve, rungs
   and restarts, stays within the work limit above: a rung whose work would take it beyond is not
   solved and the ladder ends there (its sparse-direct rungs, counted at their worst, stay below
   about 26000 nodes: a ladder from 100 by 50 ends after 133 by 53). The price of such a call
   comes from the last rung that gave a positive value, at that rung's accuracy; with none, the
   failure value (logged: the work limit stopped the ladder).
   A solve whose value lies more than 10 upper bounds (below) away from zero has diverged: the call
   ends at once with the failure value, logged. No spot is refused for being small beside the
   strike: a put there is priced, and a call, worth less than S e^-dT, ends at once with the
   failure value when its solve's noise exceeds that bound.
   Every price returned lies within its no-arbitrage bounds: a European call in
   [max(S e^-dT - K e^-rT, 0), S e^-dT], a put in [max(K e^-rT - S e^-dT, 0), K e^-rT]; an
   American one at least its exercise value, a Bermudan one the European lower bound, and at most
   S (call) or K (put), or the European upper bound where that is larger. A price outside them by
   at most 1e-5 max(S e^-dT, K e^-rT) (the grid's error at a bound) is clipped to the bound; one
   further out gives the failure value, logged.
   With ivWanted non-zero the result is a volatility in [1e-6, 2] or the failure value: a price
   that no volatility of that range gives is logged and answered with 0.0, never with the price.
   T = 0 (the expiry day) gives the exercise value, max(S - K, 0) for a call and max(K - S, 0) for
   a put, European or American, by every method and precision code (out of the money that is
   0.0, which is also the failure value); no volatility is implied on that day (0.0, logged).
   Failure value: 0.0 (an argument outside the limits above, a Bermudan option, no positive value
   could be had, a diverged solve, a price outside its bounds, no implied volatility when one was
   asked for, or an error; each is logged). */
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
   Failure value: -999.0 (an argument outside the limits above, the price lies outside the prices
   at the two ends of that range, or the root finder fails; nothing is logged). */
QEL_API double QEL_CALL
ImpliedVol(double price, double S, double K, double T, double r, double d, int32_t isPut);

/* European option price under the Heston model by its semi-closed form (adaptive Gauss-Lobatto
   integration to full double accuracy, at most 1,000,000 integrand evaluations per integral; an
   integral whose first integration fails where its reference value is 0, as at the strike where
   the mean of log(S_T / K) vanishes with rho at or next to -1 or 1, is integrated once more with
   as many, on the integrand plus a function of known integral). S spot (0 is
   priced as 1e-12), K strike, r rate and d dividend yield (both continuous), v0 start variance,
   vL long-run variance, theta mean-reversion speed, volvol volatility of variance (0 is priced as
   1e-10), rho correlation, T years to expiry; put 0 call, any other value put.
   Every price lies within the no-arbitrage bounds (a call in [max(S e^-dT - K e^-rT, 0), S e^-dT],
   a put in [max(K e^-rT - S e^-dT, 0), K e^-rT]). T 0 gives the payoff; v0 0 with a variance that
   stays at 0 (vL 0 or theta 0) the discounted forward intrinsic value; theta 0 with volvol 0 the
   Black-Scholes-Merton price at volatility sqrt(v0). Where the integration gives no price within
   the bounds (an explosive variance under a negative theta, say), or none at all (v0 + theta vL T
   at or below 0, a negative theta again), the failure value. One call takes at most about one
   second of one core (an ordinary one some milliseconds).
   Failure value: -999.0 (an argument outside the limits above, with K 0 left to the engine,
   or the pricing failed; a record with the message and the inputs is appended to
   "GARCH_PDESolverLog.txt" in the module's folder). */
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
   The quotes are priced as if one after the other in the file's order (in parallel), and the
   evaluation stops at the first quote whose implied volatility cannot be found, whatever the
   thread count; when its VanillaHeston price failed, that price's record (and no other) is
   appended to "GARCH_PDESolverLog.txt" in the module's folder. Work limit: at most 10,000 quotes,
   each price at most VanillaHeston's 1,000,000 evaluations per integral, and all prices together
   at most 30,000,000 integrand evaluations (about six seconds of one core; an ordinary quote
   takes some 5,000 to 20,000).
   Failure values: 10000.0 when "OptionsData.txt" cannot be opened (no line written); -999.0 when
   the file holds fewer whole records than its count, a negative or unreadable count, a count of 0
   or above 10,000, a parameter or a quote outside the limits above, a quote whose implied
   volatility cannot be found (its price failed, or no volatility in [1e-6, 2.0] gives it), or
   prices that need more than the 30,000,000 evaluations (no line written; parameters are checked
   before the file is looked at). */
QEL_API double QEL_CALL
HESTON_VanillaCalibration(double v0, double vL, double theta, double volvol, double rho);

/* PDE calibration objectives for a host's optimiser. Each reads the counted quotes of
   "OptionsData.txt" in the module's folder (the count N, then N records: market implied
   volatility, S, K, T in years, r, d, CallPut 0 call / 1 put, EuroAmer 0 European / 1 American /
   2 Bermudan, which is refused: the file gives no exercise dates) and returns the root-mean-square
   difference between the model implied volatilities of the 2-D PDE pricer (with the retries of
   GARCH_VanillaPDESolver) and the market ones.
   Arguments 1-13: v0, vL, theta (mean-reversion speed), volvol, rho; NS, NV, NT base grid
   (raised per quote or expiration where prices are small, NT scaled by T); methodID;
   precision as for GARCH_VanillaPDESolver; sRangeParam; level: below 1.0 the variance range of
   each expiration is bounded by the level's quantile of the variance law (1-D PDE), else level is
   the pricer's varRange; volvolWidening. model 0 square-root variance, any other value volvol * v
   (priced as model 1).
   With the module's debug switch set (never, in a release) each evaluation appends one line
   "Objective function:" ... "CPU Time: " ... to "Results.txt" in the current folder.
   Failure values (shared by all five):
     10000.0  "OptionsData.txt" cannot be opened;
     -999.0   the file holds fewer whole records than its count, a count that is negative, 0 or
              not a number (no quote, so no mean), or a field that is not a number;
     0.0      an argument outside the limits above (checked before the file is looked at), a
              quote (a Bermudan one among them) or a pricing grid outside them, a count above
              10000 quotes (refused before the records are read), an evaluation beyond the work
              limit below, an error during the evaluation (e.g. v0 <= 0 with a level below 1.0
              and a model other than 0, whose variance bounds are solved), or an objective that
              is not a finite number; a record with its message (naming the argument, or the
              quote and its field) is appended to "GARCH_PDESolverLog.txt" in the module's
              folder.
   Work limit (about 10 s on one core, checked before anything is priced): the first solves of
   all pricings (one per quote, or one per strike list and one per American call), each weighted
   by its grid, time steps, method and precision code, plus a fixed share per pricing and per
   variance-bound solve, sum to at most 400000000 units of about one ADI node-step each
   (calibration/objectives/pde_objectives.h, kMaxObjectiveWork and firstSolveWork). E.g. one
   pricing on 999 by 999 intervals by an ADI method (2-9, 11-13) at precision 1 takes at most 397
   time steps; by method 1 or 15 on 200 by 100 at most 377. The re-solves of a pricing's retries
   come on top of it.
   Every model implied volatility that enters the mean lies in [0, 2]: a quote whose pricing
   gives up, or gives anything else, counts with a model implied volatility of 0 (its case is in
   the pricing log). */

/* Option by option: one robust single-option solve per quote, over OpenMP threads. */
QEL_API double QEL_CALL GARCH_VanillaPDECalibration(double v0,
                                                    double vL,
                                                    double theta,
                                                    double volvol,
                                                    double rho,
                                                    int32_t NS,
                                                    int32_t NV,
                                                    int32_t NT,
                                                    int32_t methodID,
                                                    int32_t precision,
                                                    double sRangeParam,
                                                    double level,
                                                    int32_t volvolWidening,
                                                    int32_t model);

/* GARCH_VanillaPDECalibration with model 0 (Heston). Failure values as above. */
QEL_API double QEL_CALL HESTON_VanillaPDECalibration(double v0,
                                                     double vL,
                                                     double theta,
                                                     double volvol,
                                                     double rho,
                                                     int32_t NS,
                                                     int32_t NV,
                                                     int32_t NT,
                                                     int32_t methodID,
                                                     int32_t precision,
                                                     double sRangeParam,
                                                     double level,
                                                     int32_t volvolWidening);

/* Expiry by expiry: the quotes grouped by expiration and exercise style, one robust strike-list
   solve (as puts) per group, one group after another on the calling thread. A strike list is
   solved under one exercise style: an expiration's European quotes (EuroAmer 0) are one list and
   its American puts (EuroAmer 1, CallPut 1) another. The calls of a strike list take their values
   from European put-call parity, which an American call does not obey: each American call
   (EuroAmer 1, CallPut 0) is priced alone, by a call solve of its own. stripMode is the
   strike-list pricer's strip mode. Failure values as above. */
QEL_API double QEL_CALL GARCH_VanillaPDECalibrationM(double v0,
                                                     double vL,
                                                     double theta,
                                                     double volvol,
                                                     double rho,
                                                     int32_t NS,
                                                     int32_t NV,
                                                     int32_t NT,
                                                     int32_t methodID,
                                                     int32_t precision,
                                                     double sRangeParam,
                                                     double level,
                                                     int32_t volvolWidening,
                                                     int32_t stripMode,
                                                     int32_t model);

/* GARCH_VanillaPDECalibrationM with strip mode 0 and model 0. Failure values as above. */
QEL_API double QEL_CALL HESTON_VanillaPDECalibrationM(double v0,
                                                      double vL,
                                                      double theta,
                                                      double volvol,
                                                      double rho,
                                                      int32_t NS,
                                                      int32_t NV,
                                                      int32_t NT,
                                                      int32_t methodID,
                                                      int32_t precision,
                                                      double sRangeParam,
                                                      double level,
                                                      int32_t volvolWidening);

/* selector 3: GARCH_VanillaPDECalibration(arguments 1-13, model); any other selector:
   GARCH_VanillaPDECalibrationM(arguments 1-13, selector as strip mode, model). Failure values as
   above. */
QEL_API double QEL_CALL SVPDECalibration(double v0,
                                         double vL,
                                         double theta,
                                         double volvol,
                                         double rho,
                                         int32_t NS,
                                         int32_t NV,
                                         int32_t NT,
                                         int32_t methodID,
                                         int32_t precision,
                                         double sRangeParam,
                                         double level,
                                         int32_t volvolWidening,
                                         int32_t selector,
                                         int32_t model);
/* ---- String results: QelOptionPricer and VanillaHestonGrid ----
   A string result is an OLE Automation string (BSTR): a pointer to UTF-16 code units,
   NUL-terminated, with the length in bytes (without the terminator) as a 32-bit unsigned integer
   in the 4 bytes just before the first unit. The empty string means success; otherwise the string
   is the failure's message. The string never comes back null but when memory is exhausted.
   The host owns the string and frees it once. On Windows: SysFreeString. Elsewhere the string is
   one block from the C runtime's malloc that starts one pointer's size (8 bytes on 64-bit, 4 on
   32-bit systems) before the first unit: free((char*)s - sizeof(void*)), as QelFreeString does,
   or a marshaller that knows this layout (.NET's for BSTR) frees it. */
/* Length of a string result in UTF-16 units, from its prefix (0 for a null string). */
static inline uint32_t QelStringLength(const QelString s) {
  uint32_t bytes = 0;
  if (s != NULL) memcpy(&bytes, (const char*)s - sizeof(uint32_t), sizeof bytes);
  return bytes / 2u;
}

/* Frees a string result (a null string is ignored). */
static inline void QelFreeString(QelString s) {
#if defined(_WIN32)
  SysFreeString(s);
#else
  if (s != NULL) free((char*)s - sizeof(void*));
#endif
}

/* One vanilla option under the stochastic-volatility model by the 2-D PDE pricer (sparse-direct
   solver, no retries), with its whole solution along the asset grid and, on request, theta and
   vega at every node by bump-and-resolve.
   outS, outValue, outDelta, outGamma: asset nodes, values at the start variance, delta, gamma;
   outTheta: theta when wantTheta is non-zero, zeros for a Bermudan option with two or more
   exercise dates, the solver's fifth result vector otherwise; theta is the change in value as one
   calendar day passes, (V(T) - V(T + h)) / h / 365 with h = 1e-5 T, V(T) the value at T years to
   expiry: negative where time decay lowers the value (about -0.013 for a one-year at-the-money
   call), its negative being the value lost per day; outVega: change per volatility point of v0
   and vL together, written only when wantVega is non-zero (and may be null otherwise). Each of
   these arrays holds at least n + 1 doubles, n being the node count (at most 50000). cpuTime: in, a
   negative value asks for the implied volatility in place of the price in params[4] on return: the
   Black-Scholes-Merton volatility in [1e-6, 2] of the price params[4] holds without the request (an
   American or Bermudan price is inverted as a European one), or the failure message "No implied
   volatility in [1e-6, 2] gives the price <price>" where no volatility of that range gives it; out,
   CPU seconds of all solves, summed. rootT: square root of the years to expiry. params: in, {volvol
   exponent a, v0, vL, theta, rho, model}, the volatility of variance being (1 + rootT)^(a - 5 r),
   which is written back into params[0] first; out, the six-double pricing summary of the first
   solve ([4] the price or the implied volatility). unusedArg is not read. NS: in, asset intervals;
   out, the node count used. NV: variance intervals. CallPut 0 call, 1 put; EuroAmer 0 European, 1
   American, 2 Bermudan; precision 3 plain solve, 4 Richardson extrapolation in time, 5 convergence
   run; ctorFlag, vecA, vecB (5 doubles each), tolExponent, flag385: handed to the pricer;
   sRangeParam asset-range parameter; varRange coverage probability of the variance range, or minus
   an explicit upper variance bound; clusterAtStrike non-zero clusters the asset grid at the strike;
   nExercise D, the number of exercise dates of a Bermudan option (EuroAmer 2; for the other
   styles a D of 2 or more only rounds the time steps, as under the work limit below): the dates
   fall every T / D up to expiry, at T / D, 2 T / D, ..., T years from today (today is none), so
   they are always finite, in (0, T] and in order, and the option may be exercised at each of
   them. D >= 2 prices a Bermudan option, which lies between the European and the American price
   and nears the American one as D grows; D = 1 is the expiry alone, an option exercised only at
   expiry, whose price is the European one; D = 0 gives no date, and the call is refused before
   anything is written with the message "A Bermudan option (EuroAmer 2) has no price without its
   exercise dates, and this call gives none: nExercise 2 or more (the dates fall every
   T / nExercise up to expiry)" (never a European price under the Bermudan name); D is an integer
   in [0, 20000] (see the limits above). A node count above 50000 is refused with the
   message "The asset grid of QelOptionPricer, <n> nodes, exceeds its limit of 50000 nodes: fewer
   asset intervals": nothing is solved, and only *NS (the node count n) and params[0] are changed.
   With rootT 0 a requested theta is zeros (no step in time to difference over).
   Sound numbers only: the price (params[4] unless the implied volatility was asked for) and every
   value along the grid lie within their no-arbitrage bounds at their asset level x (a call in
   [max(x e^-dT - K e^-rT, 0), x e^-dT], a put in [max(K e^-rT - x e^-dT, 0), K e^-rT]; American:
   never below the exercise value, a call at most max(x, x e^-dT), a put at most max(K, K e^-rT);
   Bermudan: the European lower and the American upper bound), so no value is negative and no
   American value lies below its exercise value. A value beyond its bounds by at most 1e-5 of
   x + K (the price, and the nodes within a factor 2 of S), or by at most 1e-2 of x + K (the far
   nodes, which carry the truncated grid's boundary noise) is moved onto the bound; a value beyond
   that is a failure, with its message: a negative value near the spot is no rounding but a lost
   solve. The values of the theta and vega re-solves are held to the same bounds.
   Work limit: a call's work is estimated at entry in node steps (one time step on one node, about
   0.22 microseconds on one core), from the grid solves it makes: one on NS x NV for precision 3
   (and any code but 4 and 5), that one and one on 2 NS x 2 NV for 5, both pairs over NT / 2.2 and
   the remaining steps for 4, each again for wantTheta and for wantVega. A solve on
   n = (NS + 1)(NV + 1) nodes with m time steps (exercise dates make m a multiple of nExercise, at
   least 5 per date) and D = nExercise dates restarting its time scheme (Bermudan, 0 otherwise)
   costs (m + 6 + 5 D)(100 + n) min(5, 1 + n / 25000) + (5 + 4 D)(1400 + 9 n)
   min(3, 1 + n / 50000). Beyond 3e7 node steps (about 7 s on one core) the call is refused with
   its message before anything is written; a budget of 1.4 times that is charged by every solve at
   the sizes the grid builders chose (the variance grid may add cells), and a call whose grids
   would exceed it fails with its message before that solve. A solve that diverges (a value beyond
   100 times the largest value any option of the grid can have) stops at once with its message.
   Files: the export keeps no log of its own, but a solve whose variance grid cannot be built with
   its stretched part (a sinh grid is used instead) appends the line "The hybrid V-grid generator
   failed for option with K =  <K>, T = <T>" (6 significant digits each) to "ErrorLog.txt" in
   the host process's current folder (the file is created when missing; nothing is written where
   it cannot be opened).
   Nothing else is written outside the arguments.
   Failure value: the message string: a null pointer, an argument outside the limits above or a
   Bermudan option with nExercise 0 (nothing written), a call beyond the work limit (nothing
   written), a node count above 50000 (only *NS and params[0] written), or a failure of the
   pricing, a value outside its no-arbitrage bounds, a value of a solve that is not a finite number
   or no implied volatility when one was asked for (the arrays keep what was written before the
   failure, params[0] its volvol). */
QEL_API QelString QEL_CALL QelOptionPricer(double* outS,
                                           double* outValue,
                                           double* outDelta,
                                           double* outGamma,
                                           double* outTheta,
                                           double* outVega,
                                           double* cpuTime,
                                           double S,
                                           double K,
                                           int32_t NT,
                                           double rootT,
                                           double* params,
                                           double r,
                                           double d,
                                           double unusedArg,
                                           int32_t* NS,
                                           int32_t* NV,
                                           int32_t CallPut,
                                           int32_t EuroAmer,
                                           int32_t precision,
                                           int32_t ctorFlag,
                                           double* vecA,
                                           double* vecB,
                                           double tolExponent,
                                           double sRangeParam,
                                           double varRange,
                                           uint8_t wantTheta,
                                           uint8_t wantVega,
                                           uint8_t clusterAtStrike,
                                           uint8_t flag385,
                                           int32_t nExercise);

/* European option values under the Heston model at every node of a spot grid: out[i] for S[i],
   i = 0..N (N + 1 entries each). internal non-zero: the semi-closed form of VanillaHeston
   (parallel over the nodes); zero: the outside library libmervane.so (its HestonCall_exact),
   looked up in the module's folder first, then along the system's search path, loaded once.
   Node 0 is the lower boundary: K e^{-rT} - S[0] e^{-dT} for a put, 0.0 for a call. Parameters
   as for VanillaHeston; put 0 call, any other value put. No replacement of a zero volvol or spot.
   Every node value lies within the no-arbitrage bounds of VanillaHeston (a value of the outside
   library within a relative 1e-9 of the discounted spot plus strike of a bound is put on it).
   The nodes are priced as if in the order N down to 1 (in parallel internally), and the call
   stops at the first node of that order that gives no price, whatever the thread count: its
   message names that node or is the engine's. Work limit (internal): each node at most
   VanillaHeston's 1,000,000 evaluations per integral, and all nodes together at most 30,000,000
   integrand evaluations (about six seconds of one core; an ordinary node takes some 5,000 to
   20,000, so a grid of a few thousand ordinary nodes fits); with the outside library at most 400
   nodes (its own work, up to about 20 ms a node), refused above with "Invalid argument N = ..."
   (nothing written).
   Failure value: the message string: a null pointer or an argument outside the limits above
   (nothing written); "The outside pricing library ..." when the library or its entry point cannot
   be found; the first failing node's message (the engine's error, "The price at spot node <i> is
   not a finite number", or for the outside library "... lies outside the no-arbitrage bounds
   ..."); "The spot grid needs more than 30000000 integrand evaluations: the budget ran out at spot
   node <i>"; out[0] is then not written, other nodes may be. */
QEL_API QelString QEL_CALL VanillaHestonGrid(const double* S,
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
                                             int32_t put,
                                             int32_t N,
                                             uint8_t internal);

#ifdef __cplusplus
}
#endif

#endif /* SERIVANE_CALIBRATION_EXPORTS_SERIVANE_H_ */
