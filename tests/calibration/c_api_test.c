/* A host written in C: includes the module's header as C, links the module and calls its
   exports. Exit status 0 when every check passes. */
#include <math.h>
#include <stdio.h>

#include "calibration/exports/serivane.h"

static int failures = 0;

static void check(int ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "FAILED: %s\n", what);
    ++failures;
  }
}

/* Black-Scholes-Merton call with continuous dividend yield, N(x) = erfc(-x / sqrt 2) / 2. */
static double bsmCall(double S, double K, double T, double r, double d, double sigma) {
  const double sq = sigma * sqrt(T);
  const double d1 = (log(S / K) + (r - d) * T) / sq + 0.5 * sq;
  const double d2 = d1 - sq;
  return S * exp(-d * T) * 0.5 * erfc(-d1 / sqrt(2.0)) -
         K * exp(-r * T) * 0.5 * erfc(-d2 / sqrt(2.0));
}

int main(void) {
  const double S = 100.0, K = 110.0, T = 0.75, r = 0.03, d = 0.01;
  const double price = bsmCall(S, K, T, r, d, 0.25);
  double iv;
  double pde;

  iv = ImpliedVol(price, S, K, T, r, d, 0);
  check(fabs(iv - 0.25) < 1e-10, "ImpliedVol recovers the volatility of a call price");
  check(ImpliedVol(1000.0, S, K, T, r, d, 0) == -999.0, "a price above the range gives -999.0");
  check(ImpliedVol(-1.0, S, K, T, r, d, 0) == -999.0, "a negative price gives -999.0");

  /* Square-root variance model, plain solve on a small grid. */
  pde = GARCH_VanillaPDESolver(S,
                               100.0,
                               1.0,
                               r,
                               d,
                               0.04,
                               0.04,
                               1.5,
                               0.3,
                               -0.7,
                               80,
                               40,
                               40,
                               1,
                               0,
                               1,
                               2,
                               0,
                               1.0,
                               0.9999,
                               0,
                               0);
  check(pde > 5.0 && pde < 10.0, "GARCH_VanillaPDESolver prices an at-the-money put");

  /* The PDE calibration objectives link, with the types of the header's prototypes in its calling
     convention (QEL_CALL: stdcall in the 32-bit build). Calling them here would read the sample
     chain beside the module. */
  /* clang-format off */
  {
    typedef double (QEL_CALL *Objective)(double, double, double, double, double, int32_t,
                                         int32_t, int32_t, int32_t, int32_t, double, double,
                                         int32_t);
    typedef double (QEL_CALL *ObjectiveModel)(double, double, double, double, double, int32_t,
                                              int32_t, int32_t, int32_t, int32_t, double, double,
                                              int32_t, int32_t);
    typedef double (QEL_CALL *ObjectiveStripModel)(double, double, double, double, double,
                                                   int32_t, int32_t, int32_t, int32_t, int32_t,
                                                   double, double, int32_t, int32_t, int32_t);
    Objective byOption = HESTON_VanillaPDECalibration, byExpiry = HESTON_VanillaPDECalibrationM;
    ObjectiveModel general = GARCH_VanillaPDECalibration;
    ObjectiveStripModel generalM = GARCH_VanillaPDECalibrationM, selected = SVPDECalibration;
    check(byOption != 0 && byExpiry != 0 && general != 0 && generalM != 0 && selected != 0,
          "the PDE calibration objectives are linked");
  }
  /* clang-format on */
  {
    /* The spot grid by both paths: the outside library lies beside the module in its folder. */
    const double spots[5] = {80.0, 90.0, 100.0, 110.0, 120.0};
    double engine[5], outside[5];
    int i;
    QelString a =
        VanillaHestonGrid(spots, engine, 100.0, r, d, 0.04, 0.05, 1.5, 0.3, -0.7, 1.0, 1, 4, 1);
    QelString b =
        VanillaHestonGrid(spots, outside, 100.0, r, d, 0.04, 0.05, 1.5, 0.3, -0.7, 1.0, 1, 4, 0);
    check(a != NULL && QelStringLength(a) == 0 && a[0] == 0, "VanillaHestonGrid (engine) succeeds");
    check(b != NULL && QelStringLength(b) == 0, "VanillaHestonGrid (outside library) succeeds");
    for (i = 1; i < 5; ++i) {
      check(fabs(engine[i] - outside[i]) < 1e-9 * engine[i], "the two paths agree");
    }
    QelFreeString(a);
    QelFreeString(b);
  }

  if (failures == 0) printf("c_api_test: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
