/* libmervane: the outside pricing library the module loads at run time (by file name, from the
   module's folder first). It stands apart from the module: it links nothing of the system and is
   reached only through the entry point below. */
#ifndef SERIVANE_MERVANE_MERVANE_H_
#define SERIVANE_MERVANE_MERVANE_H_

#if defined(_WIN32)
#define MERVANE_API __declspec(dllexport)
#else
#define MERVANE_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* European call under the Heston model before the dividend discount: with b = r - d, the value
   e^{dT} C of the call C, that is S - sqrt(S K) e^{-bT/2} I / pi with I the Lewis integral.
   S spot, K strike, T years to expiry, b the rate less the dividend yield (continuous), v0 start
   variance, vL long-run variance, theta mean-reversion speed, volvol volatility of variance, rho
   correlation. T = 0 gives max(S - K, 0); volvol = 0 the Black-Scholes value of the integrated
   variance. Inputs outside the model (S, K or v0 not positive where needed, T < 0, |rho| > 1,
   a non-finite value) or an integral that does not converge give NaN. */
MERVANE_API double HestonCall_exact(double S,
                                    double K,
                                    double T,
                                    double b,
                                    double v0,
                                    double vL,
                                    double theta,
                                    double volvol,
                                    double rho);

/* The type of HestonCall_exact, for a host that looks it up by name. */
typedef double (*HestonCallExactFn)(
    double, double, double, double, double, double, double, double, double);

#ifdef __cplusplus
}
#endif

#endif /* SERIVANE_MERVANE_MERVANE_H_ */
