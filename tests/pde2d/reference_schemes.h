#ifndef SERIVANE_TESTS_PDE2D_REFERENCE_SCHEMES_H_
#define SERIVANE_TESTS_PDE2D_REFERENCE_SCHEMES_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <string>
#include <utility>
#include <valarray>
#include <vector>

#include "core/dense_matrix.h"
#include "core/interpolation.h"
#include "core/qel_heston_vanilla.h"
#include "pde2d/pde_solve.h"
#include "support/finite_difference_reference.h"

namespace serivane {

// The ADI time loops written out from the finite-difference definitions, the second method the
// solver tests compare the solvers with: levels u[j][i] with j = 0..NV and i = 0..N + 1 (column
// N + 1 the ghost node), F evaluated term by term, the implicit systems as dense matrices solved by
// plain elimination. Nothing here calls the solvers' own kernels: only the damped sub-step count,
// the grids and payoff the solve starts from and, for an American call under the MCS rules, the
// core's cell average at the exercise boundary (strikeCellAdjust) come from the library.

// How the mixed derivative rho xi S w(v) U_Sv is discretised: the anti-diagonal stencil with its
// Taylor remainder folded into the other terms, or the nine-point central stencil.
enum class MixedStencil { kAntiDiagonal, kNinePoint };

// What happens after a step of an American option: nothing; every node floored at the intrinsic
// value; or a put floored and a call raised to the payoff above the strike, with the cell average
// at the estimated exercise boundary.
enum class ReferenceExercise { kNone, kFloor, kFloorPutAverageCall };

// The rules in which the solvers differ besides the scheme.
struct ReferenceRules {
  bool logAsset = false;  // the asset axis holds ln S
  MixedStencil mixed = MixedStencil::kAntiDiagonal;
  // The change of the lowest-node value over the step enters the S corrections at i = 1.
  bool lowerJump = false;
  bool putZeroFollowsPayoff = true;  // a put's lowest-node value stays 0 while its payoff there is
  ReferenceExercise exercise = ReferenceExercise::kNone;
};

// The undamped step: Hundsdorfer-Verwer (theta = 1 - sqrt(2)/2) or modified Craig-Sneyd
// (theta = 1/3). The damped sub-steps are Douglas steps with theta = 1 in both.
enum class ReferenceStep { kHundsdorferVerwer, kModifiedCraigSneyd };

class ReferenceScheme {
 public:
  using Level = std::vector<std::vector<double>>;
  using Matrix = std::vector<std::vector<double>>;

  ReferenceScheme(const QelHestonVanilla& obj,
                  std::vector<double> X_,
                  std::vector<double> V_,
                  ReferenceRules rules_ = {})
      : o(obj), rules(rules_), X(std::move(X_)), V(std::move(V_)) {
    N = static_cast<int>(X.size()) - 1;
    NV = static_cast<int>(V.size()) - 1;
    h.assign(N + 2, 0.0);
    for (int i = 1; i <= N; ++i) h[i] = X[i] - X[i - 1];
    h[N + 1] = rules.logAsset ? 3 * h[N] - 3 * h[N - 1] + h[N - 2] : 2 * h[N] - h[N - 1];
    S = X;
    if (rules.logAsset)
      for (double& x : S) x = std::exp(x);
    dS = rules.logAsset ? std::exp(X[N] + h[N + 1]) - S[N] : h[N + 1];
    k.assign(NV + 1, 0.0);
    for (int j = 1; j <= NV; ++j) k[j] = V[j] - V[j - 1];
    k[0] = k[1];
    const double k1 = V[1] - V[0], k2 = V[2] - V[1], D0 = D(0);
    c0 = -(2 * k1 + k2) * D0 / (k1 * (k1 + k2));
    c1 = (k1 + k2) * D0 / (k1 * k2);
    c2 = -k1 * D0 / (k2 * (k1 + k2));
  }

  double D(int j) const { return o.theta * (o.vL - V[j]); }
  double w(int j) const { return o.model == 1 ? std::pow(V[j], o.p + 0.5) : V[j]; }
  double q(int j) const { return o.model == 1 ? std::pow(V[j], 2 * o.p) : V[j]; }
  double al(int m, int i) const { return derivWeight(m, 2, h[i], h[i + 1]); }
  double be(int m, int i) const { return derivWeight(m, 1, h[i], h[i + 1]); }
  double ga(int m, int j) const { return j == 0 ? 0.0 : derivWeight(m, 2, k[j], k[j + 1]); }
  double de(int m, int j) const { return j == 0 ? 0.0 : derivWeight(m, 1, k[j], k[j + 1]); }
  // Plain diffusion and drift coefficients along the asset axis, and the mixed-term factor.
  double aPlain(int i, int j) const {
    return rules.logAsset ? 0.5 * V[j] : 0.5 * V[j] * S[i] * S[i];
  }
  double bPlain(int i, int j) const {
    return rules.logAsset ? o.r - o.d - 0.5 * V[j] : (o.r - o.d) * S[i];
  }
  double mixed(int i, int j) const {
    return o.rho * o.volvol * w(j) * (rules.logAsset ? 1.0 : S[i]);
  }
  // dU/dX at the last node for the slope g = dU/dS there.
  double slopeX(double g) const { return rules.logAsset ? S[N] * g : g; }
  // The anti-diagonal stencil's factor at (i, j).
  double cross(int i, int j) const { return mixed(i, j) / (h[i + 1] * k[j] + h[i] * k[j + 1]); }
  // The nine-point mixed term at (i, j).
  double central(const Level& u, int i, int j) const {
    double sum = 0.0;
    for (int a = -1; a <= 1; ++a)
      for (int b = -1; b <= 1; ++b) sum += be(a, i) * de(b, j) * u[j + b][i + a];
    return mixed(i, j) * sum;
  }
  bool inner(int i, int j) const { return i < N && j < NV - 1; }

  // F(u) with slope g = dU/dS at the last asset node; u's row NV and ghost column are set first
  // as the boundary rules say. Row 0 carries no asset diffusion (v = 0 there).
  Level F(Level& u, double g) const {
    const double xi = o.volvol;
    for (int i = 0; i <= N; ++i) u[NV][i] = u[NV - 1][i];
    for (int j = 0; j <= NV; ++j) u[j][N + 1] = u[j][N] + g * dS;
    Level f(NV + 1, std::vector<double>(N + 2, 0.0));
    for (int j = 0; j < NV; ++j) {
      for (int i = 1; i <= N; ++i) {
        double aS = aPlain(i, j), bS = bPlain(i, j), aV = 0.5 * xi * xi * q(j), bV = D(j);
        double c = 0.0;
        if (rules.mixed == MixedStencil::kAntiDiagonal && inner(i, j)) {
          c = cross(i, j);
          aS += 0.5 * (h[i] * h[i] + h[i + 1] * h[i + 1]) * c;
          aV += 0.5 * (k[j] * k[j] + k[j + 1] * k[j + 1]) * c;
          bS += (h[i + 1] - h[i]) * c;
          bV += (k[j + 1] - k[j]) * c;
        }
        if (j == NV - 1) bV = 0.0;
        const auto& um = u[j];
        double val = aS * (al(-1, i) * um[i - 1] + al(0, i) * um[i] + al(1, i) * um[i + 1]);
        val += i == N ? bPlain(N, j) * slopeX(g)
                      : bS * (be(-1, i) * um[i - 1] + be(0, i) * um[i] + be(1, i) * um[i + 1]);
        if (j == 0) {
          val += c0 * u[0][i] + c1 * u[1][i] + c2 * u[2][i];
        } else {
          val += aV * (ga(-1, j) * u[j - 1][i] + ga(0, j) * u[j][i] + ga(1, j) * u[j + 1][i]);
          val += bV * (de(-1, j) * u[j - 1][i] + de(0, j) * u[j][i] + de(1, j) * u[j + 1][i]);
          val += c * (2 * u[j][i] - u[j - 1][i + 1] - u[j + 1][i - 1]);
          if (rules.mixed == MixedStencil::kNinePoint && inner(i, j)) val += central(u, i, j);
        }
        f[j][i] = val - o.r * um[i];
      }
    }
    return f;
  }

  // The mixed-derivative part of F applied to d: zero at i = N, on row 0 and on row NV - 1.
  Level F0(const Level& d) const {
    Level f(NV + 1, std::vector<double>(N + 2, 0.0));
    for (int j = 1; j < NV - 1; ++j) {
      for (int i = 1; i < N; ++i) {
        if (rules.mixed == MixedStencil::kNinePoint) {
          f[j][i] = central(d, i, j);
          continue;
        }
        const double c = cross(i, j);
        const double hs = 0.5 * (h[i] * h[i] + h[i + 1] * h[i + 1]) * c;
        const double hc = (h[i + 1] - h[i]) * c;
        const double ks = 0.5 * (k[j] * k[j] + k[j + 1] * k[j + 1]) * c;
        const double kc = (k[j + 1] - k[j]) * c;
        f[j][i] = hs * (al(-1, i) * d[j][i - 1] + al(0, i) * d[j][i] + al(1, i) * d[j][i + 1]) +
                  hc * (be(-1, i) * d[j][i - 1] + be(0, i) * d[j][i] + be(1, i) * d[j][i + 1]) +
                  ks * (ga(-1, j) * d[j - 1][i] + ga(0, j) * d[j][i] + ga(1, j) * d[j + 1][i]) +
                  kc * (de(-1, j) * d[j - 1][i] + de(0, j) * d[j][i] + de(1, j) * d[j + 1][i]) +
                  c * (2 * d[j][i] - d[j - 1][i + 1] - d[j + 1][i - 1]);
      }
    }
    return f;
  }

  // (I - td A1) for variance node j over i = 1..N (index i - 1), and (I - td A2) over
  // j = 0..NV - 1 with the v = 0 row's three entries.
  Matrix a1Matrix(int j, double td) const {
    Matrix A(N, std::vector<double>(N, 0.0));
    for (int i = 1; i <= N; ++i) {
      const double a = aPlain(i, j), b = bPlain(i, j);
      if (i < N) {
        if (i > 1) A[i - 1][i - 2] = -td * (b * be(-1, i) + a * al(-1, i));
        A[i - 1][i - 1] = 1 - td * (a * al(0, i) - o.r / 2 + b * be(0, i));
        A[i - 1][i] = -td * (b * be(1, i) + a * al(1, i));
      } else {
        A[N - 1][N - 2] = -td * a * al(-1, N);
        A[N - 1][N - 1] = 1 - td * ((al(0, N) + al(1, N)) * a - o.r / 2);
      }
    }
    return A;
  }
  Matrix a2Matrix(double td) const {
    Matrix A(NV, std::vector<double>(NV, 0.0));
    const double xi2 = o.volvol * o.volvol;
    A[0][0] = 1 - td * (c0 - o.r / 2);
    A[0][1] = -td * c1;
    A[0][2] = -td * c2;
    for (int j = 1; j < NV; ++j) {
      const double a = 0.5 * xi2 * q(j);
      if (j < NV - 1) {
        A[j][j - 1] = -td * (a * ga(-1, j) + D(j) * de(-1, j));
        A[j][j] = 1 - td * (a * ga(0, j) - o.r / 2 + D(j) * de(0, j));
        A[j][j + 1] = -td * (a * ga(1, j) + D(j) * de(1, j));
      } else {
        A[j][j - 1] = -td * a * ga(-1, j);
        A[j][j] = 1 - td * ((ga(0, j) + ga(1, j)) * a - o.r / 2);
      }
    }
    return A;
  }
  static std::vector<double> times(const Matrix& A, const std::vector<double>& x) {
    std::vector<double> y(x.size(), 0.0);
    for (std::size_t r = 0; r < x.size(); ++r)
      for (std::size_t c = 0; c < x.size(); ++c) y[r] += A[r][c] * x[c];
    return y;
  }

  // S corrections: (I - td A1) out = rhs - td A1 prev, plus the slope jump at i = N and, under
  // lowerJump, the change of the lowest-node value from prev to out (whose column 0 holds the
  // new value) at i = 1.
  void correctS(const Level& prev, const Level& rhs, double td, double jump, Level& out) const {
    for (int j = 0; j < NV; ++j) {
      const Matrix M = a1Matrix(j, td);
      std::vector<double> p(N), b(N);
      for (int i = 1; i <= N; ++i) p[i - 1] = prev[j][i];
      const auto Mp = times(M, p);
      for (int i = 1; i <= N; ++i) b[i - 1] = rhs[j][i] + Mp[i - 1] - p[i - 1];
      b[N - 1] += td * jump * (bPlain(N, j) * slopeX(1.0) + aPlain(N, j) * al(1, N) * dS);
      if (rules.lowerJump) {
        b[0] +=
            td * (bPlain(1, j) * be(-1, 1) + aPlain(1, j) * al(-1, 1)) * (out[j][0] - prev[j][0]);
      }
      const auto x = denseSolve(M, b);
      for (int i = 1; i <= N; ++i) out[j][i] = x[i - 1];
    }
  }
  // Variance corrections: (I - td A2) out = in - td A2 prev.
  void correctV(const Level& prev, const Level& in, double td, Level& out) const {
    const Matrix M = a2Matrix(td);
    for (int i = 1; i <= N; ++i) {
      std::vector<double> p(NV), b(NV);
      for (int j = 0; j < NV; ++j) p[j] = prev[j][i];
      const auto Mp = times(M, p);
      for (int j = 0; j < NV; ++j) b[j] = in[j][i] + Mp[j] - p[j];
      const auto x = denseSolve(M, b);
      for (int j = 0; j < NV; ++j) out[j][i] = x[j];
    }
  }

  double slope(double t) const { return o.CallPut == 1 ? 0.0 : std::exp(-o.d * t); }
  // The lowest-node value at time t to expiry.
  double zeroValue(double t, double payoff0) const {
    if (o.CallPut != 1) return 0.0;
    if (rules.putZeroFollowsPayoff && payoff0 == 0.0) return 0.0;
    if (o.american) return o.K;
    return rules.logAsset ? o.K * std::exp(-o.r * t) - S[0] * std::exp(-o.d * t)
                          : o.K * std::exp(-o.r * t);
  }

  void exercise(Level& Y) const {
    if (!o.american || rules.exercise == ReferenceExercise::kNone) return;
    for (int j = 0; j <= NV; ++j) {
      if (o.CallPut == 1 || rules.exercise == ReferenceExercise::kFloor) {
        for (int i = 0; i <= N; ++i)
          Y[j][i] = std::max(Y[j][i], o.CallPut == 1 ? o.K - S[i] : S[i] - o.K);
        continue;
      }
      std::valarray<double> A(0.0, N + 2), B(0.0, N + 2);
      for (int i = 0; i <= N; ++i) A[i] = B[i] = Y[j][i];
      int first = -1;
      for (int i = 0; i <= N; ++i) {
        const double pay = std::max(S[i] - o.K, 0.0);
        if (pay > A[i] && S[i] > o.K) {
          A[i] = pay;
          if (first < 0) first = i;
        }
      }
      if (first >= 1) {
        const double sigma = (Y[j][first] - A[first - 1]) / (S[first] - S[first - 1]);
        const double x = (A[first - 1] + o.K - S[first - 1] * sigma) / (1 - sigma);
        strikeCellAdjust(o, A, B, x, false, true);
      }
      for (int i = 0; i <= N; ++i) Y[j][i] = A[i];
    }
  }

  // The whole time loop from the payoff; with dampingFlag the first full step is replaced by
  // dampingStepCount Douglas sub-steps with theta = 1. Returns the final level (rows 0..NV).
  Level run(ReferenceStep step, const std::vector<double>& payoff, bool dampingFlag) const {
    Level U(NV + 1, std::vector<double>(N + 2, 0.0));
    for (int j = 0; j <= NV; ++j)
      for (int i = 0; i <= N; ++i) U[j][i] = payoff[i];
    Level Y = U;
    const int NT = o.NT, nd = dampingStepCount;
    const double dt = o.T / NT;
    const double thetaUndamped =
        step == ReferenceStep::kHundsdorferVerwer ? 1.0 - std::sqrt(2.0) * 0.5 : 1.0 / 3.0;
    bool damped = dampingFlag;
    int s = 0;
    double t = 0.0;
    for (;;) {
      if (damped && s == nd) {
        damped = false;
        s = 1;
        t = dt;
      }
      if (!damped && s >= NT) break;
      const double dts = damped ? dt / nd : dt;
      const double theta = damped ? 1.0 : thetaUndamped;
      const double tNew = t + dts, td = theta * dts;
      const double gOld = slope(t), gNew = slope(tNew);
      const double zNew = zeroValue(tNew, payoff[0]);
      for (int j = 0; j <= NV; ++j) Y[j][0] = zNew;
      // Douglas stage.
      const Level FU = F(U, gOld);
      Level Y0 = U;
      for (int j = 0; j < NV; ++j)
        for (int i = 1; i <= N; ++i) Y0[j][i] = U[j][i] + dts * FU[j][i];
      correctS(U, Y0, td, gNew - gOld, Y);
      correctV(U, Y, td, Y);
      if (!damped && step == ReferenceStep::kHundsdorferVerwer) {
        Level Y2 = Y;
        const Level FY2 = F(Y2, gNew);
        Level Yh = Y0;
        for (int j = 0; j < NV; ++j)
          for (int i = 1; i <= N; ++i) Yh[j][i] = 0.5 * (U[j][i] + Y0[j][i] + dts * FY2[j][i]);
        correctS(Y2, Yh, td, 0.0, Y);
        correctV(Y2, Y, td, Y);
      } else if (!damped) {
        // The nine-point stencil reads the change at S = 0 as well.
        Level W = Y;
        Level Dm(NV + 1, std::vector<double>(N + 2, 0.0));
        for (int j = 0; j < NV; ++j)
          for (int i = rules.mixed == MixedStencil::kNinePoint ? 0 : 1; i <= N; ++i)
            Dm[j][i] = W[j][i] - U[j][i];
        const Level F0D = F0(Dm);
        const Level FW = F(W, gNew);
        Level Yt = Y0;
        for (int j = 0; j < NV; ++j) {
          for (int i = 1; i <= N; ++i) {
            const double yHat = Y0[j][i] + theta * dts * F0D[j][i];
            Yt[j][i] = yHat + (0.5 - theta) * dts * (FW[j][i] - (Y0[j][i] - U[j][i]) / dts);
          }
        }
        correctS(U, Yt, td, gNew - gOld, Y);
        correctV(U, Y, td, Y);
      }
      exercise(Y);
      std::swap(U, Y);
      ++s;
      t = tNew;
    }
    for (int i = 0; i <= N; ++i) U[NV][i] = U[NV - 1][i];
    return U;
  }

  const QelHestonVanilla& o;
  ReferenceRules rules;
  std::vector<double> X, V, S, h, k;
  int N = 0, NV = 0;
  double dS = 0, c0 = 0, c1 = 0, c2 = 0;
};

// The grids a solve ran on and the payoff it started from, smoothed at the strike (the object's
// values are overwritten).
struct ReferenceStart {
  std::vector<double> X, V, payoff;
};

inline ReferenceStart smoothedStart(QelHestonVanilla& o, bool logAsset) {
  if (logAsset) {
    o.setPayoffLogS();
    o.smoothPayoffLogS();
  } else {
    o.setPayoffS();
    o.smoothPayoffS();
  }
  return {std::vector<double>(std::begin(o.grid), std::end(o.grid)),
          std::vector<double>(std::begin(o.vGrid), std::end(o.vGrid)),
          std::vector<double>(std::begin(o.values), std::end(o.values))};
}

// The solved values along the asset axis at v0 and the price at (x0, v0) against the reference's
// final level U, interpolated on the same grids, to 1e-10 relative.
inline void expectSolveMatchesReference(const std::valarray<double>& values,
                                        double price,
                                        const ReferenceScheme::Level& U,
                                        const ReferenceStart& start,
                                        double x0,
                                        double v0,
                                        const std::string& label) {
  const int N = static_cast<int>(start.X.size()) - 1;
  const int NV = static_cast<int>(start.V.size()) - 1;
  DenseMatrix R(N + 1, NV + 1, 0.0);
  for (int i = 0; i <= N; ++i)
    for (int j = 0; j <= NV; ++j) R[i][j] = U[j][i];
  Grid2D_interp interp(start.X, start.V, R, 6, 6);
  for (int i = 0; i <= N; ++i) {
    const double expected = interp.interp(start.X[i], v0);
    EXPECT_NEAR(values[i], expected, 1e-10 * (1 + std::fabs(expected))) << label << ", node " << i;
  }
  EXPECT_NEAR(price, interp.interp(x0, v0), 1e-10 * price) << label;
}

}  // namespace serivane

#endif  // SERIVANE_TESTS_PDE2D_REFERENCE_SCHEMES_H_
