/* Compiled as strict C90 by the build: levmar.h must stay usable from plain C. */
#include "levmar/levmar.h"

/* A model with the signature both routines take. */
static void levmarHeaderCheckModel(double* p, double* hx, int m, int n, void* adata) {
  int i;
  (void)m;
  (void)adata;
  for (i = 0; i < n; ++i) hx[i] = p[0];
}

/* Both prototypes, the macros and the model type, checked by the compiler. */
int levmarHeaderCheck(void);
int levmarHeaderCheck(void) {
  double p[1] = {1.0};
  double opts[LM_OPTS_SZ] = {
      LM_INIT_MU, LM_STOP_THRESH, LM_STOP_THRESH, LM_STOP_THRESH, LM_DIFF_DELTA};
  double info[LM_INFO_SZ];
  double work[LM_DIF_WORKSZ(1, 1) + LM_BC_DIF_WORKSZ(1, 1)];
  int (*dif)(void (*)(double*, double*, int, int, void*),
             double*,
             double*,
             int,
             int,
             int,
             double*,
             double*,
             double*,
             double*,
             void*) = dlevmar_dif;
  int (*bc)(void (*)(double*, double*, int, int, void*),
            double*,
            double*,
            int,
            int,
            double*,
            double*,
            double*,
            int,
            double*,
            double*,
            double*,
            double*,
            void*) = dlevmar_bc_dif;
  (void)dif;
  (void)bc;
  (void)levmarHeaderCheckModel;
  (void)opts;
  (void)info;
  (void)work;
  (void)p;
  return LM_ERROR + LM_STOP_SMALL_GRADIENT + LM_STOP_INVALID_FUNC;
}
