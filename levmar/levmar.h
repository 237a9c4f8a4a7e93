#ifndef SERIVANE_LEVMAR_LEVMAR_H_
#define SERIVANE_LEVMAR_LEVMAR_H_

/*
 * Levenberg-Marquardt nonlinear least squares with finite-difference Jacobians, with the C
 * interface of M. Lourakis' levmar library: dlevmar_dif (no constraints) and dlevmar_bc_dif (box
 * constraints). Both minimise ||e||_2^2 with e = x - hx, where hx = func(p) is the model for the
 * parameter vector p (m entries) and x holds the n >= m measurements.
 *
 * func(p, hx, m, n, adata) writes the n model values for p into hx. It may throw a C++ exception
 * (when func is C++ code): the exception passes through unchanged, no memory is leaked, and the
 * caller's p then holds the last accepted iterate. func receives a private copy of the point, so
 * whatever it writes into p is discarded.
 *
 * Methods: K. Madsen, H. B. Nielsen, O. Tingleff, "Methods for Non-Linear Least Squares Problems",
 * 2nd ed., IMM DTU (2004), sections 3.2 and 3.4 (Nielsen's damping update, Broyden updates of the
 * Jacobian); C. Kanzow, N. Yamashita, M. Fukushima, "Levenberg-Marquardt methods with strong
 * local convergence properties for solving nonlinear equations with convex constraints",
 * J. Comput. Appl. Math. 172 (2004) 375-397 (the projected step and projected-gradient search).
 */

#ifdef __cplusplus
extern "C" {
#endif

/* Sizes of the opts and info arrays. */
#define LM_OPTS_SZ 5
#define LM_INFO_SZ 10

/* Return value of both routines on invalid arguments (nothing is evaluated then, info is left
 * untouched). */
#define LM_ERROR -1

/* Defaults used for every opts entry when opts is null. */
#define LM_INIT_MU 1E-03
#define LM_STOP_THRESH 1E-17
#define LM_DIFF_DELTA 1E-06

/* Sizes of the work areas of levmar's interface. This implementation keeps its buffers to itself
 * and never reads or writes work, so any pointer (or null) may be passed. */
#define LM_DIF_WORKSZ(npar, nmeas) (4 * (nmeas) + 4 * (npar) + (nmeas) * (npar) + (npar) * (npar))
#define LM_BC_DIF_WORKSZ(npar, nmeas) LM_DIF_WORKSZ(npar, nmeas)

/* Stopping reasons, stored in info[6]. */
#define LM_STOP_SMALL_GRADIENT 1 /* ||J^T e||_inf <= eps1 */
#define LM_STOP_SMALL_STEP 2     /* ||dp||_2 <= eps2 ||p||_2 */
#define LM_STOP_ITMAX 3          /* itmax iterations done */
#define LM_STOP_SINGULAR 4       /* damped normal matrix singular or not finite */
#define LM_STOP_NO_REDUCTION 5   /* the damping grew without bound: no reduction possible */
#define LM_STOP_SMALL_ERROR 6    /* ||e||_2^2 <= eps3 */
#define LM_STOP_INVALID_FUNC 7   /* func returned NaN or Inf (or ||e||_2^2 overflowed) */

/*
 * Arguments shared by both routines:
 *   p      in: the starting point; out: the solution (m entries). Always holds the current
 *          iterate, also when an exception thrown by func passes through.
 *   x      the n measurements; null means n zeros.
 *   m, n   numbers of parameters and measurements; m >= 1 and n >= m, else LM_ERROR.
 *   itmax  the largest number of iterations (>= 0, else LM_ERROR).
 *   opts   {tau, eps1, eps2, eps3, delta}, or null for {LM_INIT_MU, LM_STOP_THRESH,
 *          LM_STOP_THRESH, LM_STOP_THRESH, LM_DIFF_DELTA}:
 *            tau    initial damping = tau * max_i (J^T J)_ii; tau >= 0, else LM_ERROR;
 *            eps1   stop when ||J^T e||_inf <= eps1;
 *            eps2   stop when ||dp||_2 <= eps2 ||p||_2;
 *            eps3   stop when ||e||_2^2 <= eps3;
 *            delta  forward differences with step max(1e-4 |p_j|, delta); delta < 0 means
 *                   central differences with step max(1e-4 |p_j|, |delta|); delta = 0 (or NaN)
 *                   gives LM_ERROR.
 *   info   null, or LM_INFO_SZ entries filled on return:
 *            [0] ||e||_2^2 at the initial p      [1] ||e||_2^2 at the final p
 *            [2] ||J^T e||_inf at the final p    [3] ||dp||_2 of the last step tried
 *            [4] damping / max_i (J^T J)_ii      [5] iterations
 *            [6] reason for stopping (LM_STOP_*) [7] evaluations of func
 *            [8] finite-difference Jacobians     [9] linear systems solved
 *   work   ignored (see LM_DIF_WORKSZ).
 *   covar  null, or m x m entries filled with the covariance of the solution,
 *          ||e||^2 / (n - r) (J^T J)^+ with r the rank of J (all NaN when n equals r).
 *   adata  passed through to func.
 * Both return the number of iterations done, or LM_ERROR.
 */
int dlevmar_dif(void (*func)(double* p, double* hx, int m, int n, void* adata),
                double* p,
                double* x,
                int m,
                int n,
                int itmax,
                double* opts,
                double* info,
                double* work,
                double* covar,
                void* adata);

/*
 * As dlevmar_dif, with every evaluated point inside the box lb <= p <= ub:
 *   lb, ub  bounds (m entries each); null means no bound on that side; infinite entries are
 *           allowed; lb_j > ub_j (or a NaN bound) gives LM_ERROR. A starting point outside the
 *           box is first moved onto it.
 *   dscl    null, or m positive finite scale factors (else LM_ERROR): the iteration runs on
 *           p_j / dscl_j (tests, damping and difference steps apply to the scaled values).
 * Here info[2] is the infinity norm of the gradient J^T e without the components that push
 * against an active bound (the first-order optimality measure on the box), and eps1 applies to
 * that norm.
 */
int dlevmar_bc_dif(void (*func)(double* p, double* hx, int m, int n, void* adata),
                   double* p,
                   double* x,
                   int m,
                   int n,
                   double* lb,
                   double* ub,
                   double* dscl,
                   int itmax,
                   double* opts,
                   double* info,
                   double* work,
                   double* covar,
                   void* adata);

/*
 * A model that evaluates several points in one call: for k = 0 .. count-1 it writes the n model
 * values for the point ps[k] (m entries) into hxs[k] (n entries), as func(ps[k], hxs[k], m, n,
 * adata) would. The points are independent, so the model may evaluate them concurrently; it may
 * throw as func may. Whatever it writes into a point is discarded.
 */
typedef void (*levmar_batch_func)(
    double* const* ps, double* const* hxs, int count, int m, int n, void* adata);

/*
 * dlevmar_dif and dlevmar_bc_dif with a batch model: the points of every finite-difference
 * Jacobian (one per column, two for central differences, none for a parameter fixed by its box)
 * go to batch in one call, in the order the plain routines hand them to func; every other point
 * goes to func. A null batch is the plain routine. Iterates, info (evaluations counted one per
 * point) and the solution are those of the plain routine bit for bit, for a model whose values do
 * not depend on how its points are grouped.
 */
int dlevmar_dif_batch(void (*func)(double* p, double* hx, int m, int n, void* adata),
                      levmar_batch_func batch,
                      double* p,
                      double* x,
                      int m,
                      int n,
                      int itmax,
                      double* opts,
                      double* info,
                      double* work,
                      double* covar,
                      void* adata);

int dlevmar_bc_dif_batch(void (*func)(double* p, double* hx, int m, int n, void* adata),
                         levmar_batch_func batch,
                         double* p,
                         double* x,
                         int m,
                         int n,
                         double* lb,
                         double* ub,
                         double* dscl,
                         int itmax,
                         double* opts,
                         double* info,
                         double* work,
                         double* covar,
                         void* adata);

/*
 * A batch model that also takes points ahead of need. After a trial point whose acceptance would be
 * followed by a full finite-difference Jacobian there, levmar hands the trial point and that
 * Jacobian's points to `ahead` in one call, before it knows whether the step is accepted, so that
 * all of them share the model's threads:
 *   ahead(ps, hxs, count, firm, m, n, adata) evaluates ps[0 .. firm-1] as levmar_batch_func would.
 *     The points ps[firm .. count-1] are ahead of need: the model may evaluate them (and return 1)
 *     or leave them (return 0, their hxs unspecified). For points it evaluates it writes the values
 *     at once, but holds back everything else their evaluation would do (records, messages, errors
 *     raised), until
 *   settle(keep, adata), which levmar calls exactly once after every ahead call that returned 1,
 *     before its next call of the model and before it returns: keep = 1 when it uses those points,
 *     and they are then to take effect as if evaluated at that moment, in point order; keep = 0
 *     when it drops them.
 * batch serves every Jacobian that was not taken ahead (null: `ahead` with firm = count).
 */
typedef struct {
  levmar_batch_func batch;
  int (*ahead)(
      double* const* ps, double* const* hxs, int count, int firm, int m, int n, void* adata);
  void (*settle)(int keep, void* adata);
} levmar_ahead_model;

/*
 * dlevmar_dif_batch and dlevmar_bc_dif_batch with a model that takes points ahead of need (null:
 * the plain routine). Iterates, info (points dropped are not counted) and the solution are those
 * of the plain routine bit for bit, for a model whose values do not depend on how its points are
 * grouped.
 */
int dlevmar_dif_ahead(void (*func)(double* p, double* hx, int m, int n, void* adata),
                      const levmar_ahead_model* model,
                      double* p,
                      double* x,
                      int m,
                      int n,
                      int itmax,
                      double* opts,
                      double* info,
                      double* work,
                      double* covar,
                      void* adata);

int dlevmar_bc_dif_ahead(void (*func)(double* p, double* hx, int m, int n, void* adata),
                         const levmar_ahead_model* model,
                         double* p,
                         double* x,
                         int m,
                         int n,
                         double* lb,
                         double* ub,
                         double* dscl,
                         int itmax,
                         double* opts,
                         double* info,
                         double* work,
                         double* covar,
                         void* adata);

#ifdef __cplusplus
}
#endif

#endif /* SERIVANE_LEVMAR_LEVMAR_H_ */
