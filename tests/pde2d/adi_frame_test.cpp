// The ADI frame's operators and the Hundsdorfer-Verwer solve, checked against the finite
// differences written out directly (dense matrices, plain Gaussian elimination) and against the
// pricing equation evaluated analytically.
#include "pde2d/adi_frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <valarray>
#include <vector>

#include "core/dense_matrix.h"
#include "core/interpolation.h"
#include "core/qel_heston_vanilla.h"
#include "pde2d/pde_solve.h"
#include "support/finite_difference_reference.h"

namespace serivane {

namespace {

struct FrameCase {
  const char* label;
  int model;
  double p;  // exponent of model 1
  double rho;
  int CallPut;
  int EuroAmer;
  int NS, NV, NT;
  int methodID;
  double r = 0.04, d = 0.015;
};

std::unique_ptr<QelHestonVanilla> makeObject(const FrameCase& s, double K = 100.0, double T = 0.5) {
  const std::valarray<double> params = {0.7, 0.05, 0.04, 1.8, s.rho, double(s.model)};
  auto o = std::make_unique<QelHestonVanilla>(100.0,
                                              K,
                                              T,
                                              params,
                                              s.r,
                                              s.d,
                                              s.NS,
                                              s.NV,
                                              s.NT,
                                              s.CallPut,
                                              3,
                                              1,
                                              s.EuroAmer,
                                              std::valarray<double>(5),
                                              std::valarray<double>(5),
                                              true,
                                              -3.0,
                                              1.0,
                                              0.9999,
                                              0,
                                              true,
                                              0,
                                              0.0,
                                              s.methodID,
                                              false);
  o->p = s.p;
  return o;
}

// A quadratic in (S, v) and its derivatives.
struct Quadratic {
  double a, bS, bv, cSS, cSv, cvv;
  double u(double S, double v) const {
    return a + bS * S + bv * v + cSS * S * S + cSv * S * v + cvv * v * v;
  }
  double uS(double S, double v) const { return bS + 2 * cSS * S + cSv * v; }
  double uv(double S, double v) const { return bv + cSv * S + 2 * cvv * v; }
  double uSS() const { return 2 * cSS; }
  double uSv() const { return cSv; }
  double uvv() const { return 2 * cvv; }
};

// The pricing equation's right-hand side at (S, v) for the quadratic.
double pricingOperator(const QelHestonVanilla& o, const Quadratic& f, double S, double v) {
  const double w = o.model == 1 ? std::pow(v, o.p + 0.5) : v;
  const double q = o.model == 1 ? std::pow(v, 2.0 * o.p) : v;
  const double xi = o.volvol;
  return 0.5 * v * S * S * f.uSS() + o.rho * xi * w * S * f.uSv() + 0.5 * xi * xi * q * f.uvv() +
         (o.r - o.d) * S * f.uS(S, v) + o.theta * (o.vL - v) * f.uv(S, v) - o.r * f.u(S, v);
}

DenseMatrix levelOf(const AdiFrame& fr, const Quadratic& f) {
  DenseMatrix m(fr.NV + 1, fr.N + 1, 0.0);
  for (int j = 0; j <= fr.NV; ++j)
    for (int i = 0; i <= fr.N; ++i) m[j][i] = f.u(fr.S[i], fr.V[j]);
  return m;
}

const FrameCase kOperatorSetups[] = {
    {"model 1, p = 1, rho < 0", 1, 1.0, -0.7, 1, 0, 24, 12, 10, 2},
    {"model 1, p = 0.8, rho > 0", 1, 0.8, 0.4, 0, 0, 20, 14, 10, 2},
    {"model 0, rho < 0", 0, 1.0, -0.5, 1, 0, 22, 10, 10, 2},
};

}  // namespace

// The three-point weights, the anti-diagonal mixed term with its folded Taylor remainder and the
// one-sided drift at v = 0 are all exact on quadratics, so at every node where no boundary rule
// cuts a term, F equals the pricing equation's operator up to rounding. At the boundaries: with
// a function linear in S of slope g, the last asset node (slope term, no mixed term) is exact; with
// a function of S alone, the top variance row (dU/dv = 0) is exact.
TEST(AdiFrame, ExplicitOperatorIsExactOnQuadratics) {
  for (const FrameCase& s : kOperatorSetups) {
    auto o = makeObject(s);
    PDESolveResults res;
    double cpu = 0.0;
    PDESolveArgs args{o.get(), &res, &cpu};
    AdiFrame fr(args);
    fr.setUp();
    const int N = fr.N, NV = fr.NV;
    auto check =
        [&](const Quadratic& f, double g, bool nodeWanted(int, int, int, int), const char* what) {
          const DenseMatrix in = levelOf(fr, f);
          DenseMatrix out(NV + 1, N + 1, 0.0);
          fr.applyF(in, g, nullptr, 1.0, out);
          double scale = 0.0;
          for (int j = 0; j < NV; ++j)
            for (int i = 1; i <= N; ++i)
              scale = std::max(scale, std::fabs(pricingOperator(*o, f, fr.S[i], fr.V[j])));
          for (int j = 0; j < NV; ++j) {
            for (int i = 1; i <= N; ++i) {
              if (!nodeWanted(i, j, N, NV)) continue;
              EXPECT_NEAR(out[j][i], pricingOperator(*o, f, fr.S[i], fr.V[j]), 1e-10 * scale)
                  << s.label << ", " << what << ", node (" << i << ", " << j << ")";
            }
          }
        };
    check(
        {1.5, -0.3, 20.0, 0.002, 0.4, -30.0},
        0.0,
        [](int i, int j, int N, int NV) { return i < N && j < NV - 1; },
        "interior");
    check(
        {2.0, 0.7, 0.0, -0.001, 0.0, 0.0},
        0.0,
        [](int i, int, int N, int) { return i < N; },
        "function of S alone");
    check(
        {0.5, 0.6, 12.0, 0.0, 0.0, -25.0},
        0.6,
        [](int i, int j, int N, int NV) { return i == N && j < NV - 1; },
        "linear in S");
    check(
        {0.5, 0.6, 0.0, 0.0, 0.0, 0.0},
        0.6,
        [](int i, int j, int N, int NV) { return i == N && j == NV - 1; },
        "corner");
  }
}

namespace {

// The solve written out from the finite-difference definitions, level u[j][i] with j = 0..NV
// and i = 0..N + 1 (column N + 1 the ghost node), and the implicit systems as dense matrices.
class ReferenceSolve {
 public:
  ReferenceSolve(const QelHestonVanilla& o, std::vector<double> S_, std::vector<double> V_)
      : o(o), S(std::move(S_)), V(std::move(V_)) {
    N = static_cast<int>(S.size()) - 1;
    NV = static_cast<int>(V.size()) - 1;
    h.assign(N + 2, 0.0);
    for (int i = 1; i <= N; ++i) h[i] = S[i] - S[i - 1];
    h[N + 1] = 2 * h[N] - h[N - 1];
    k.assign(NV + 1, 0.0);
    for (int j = 1; j <= NV; ++j) k[j] = V[j] - V[j - 1];
    k[0] = k[1];
    const double k1 = V[1] - V[0], k2 = V[2] - V[1], D0 = D(0);
    c0 = -(2 * k1 + k2) * D0 / (k1 * (k1 + k2));
    c1 = (k1 + k2) * D0 / (k1 * k2);
    c2 = -k1 * D0 / (k2 * (k1 + k2));
  }
  using Level = std::vector<std::vector<double>>;

  double D(int j) const { return o.theta * (o.vL - V[j]); }
  double w(int j) const { return o.model == 1 ? std::pow(V[j], o.p + 0.5) : V[j]; }
  double q(int j) const { return o.model == 1 ? std::pow(V[j], 2 * o.p) : V[j]; }
  double al(int m, int i) const { return derivWeight(m, 2, h[i], h[i + 1]); }
  double be(int m, int i) const { return derivWeight(m, 1, h[i], h[i + 1]); }
  double ga(int m, int j) const { return j == 0 ? 0.0 : derivWeight(m, 2, k[j], k[j + 1]); }
  double de(int m, int j) const { return j == 0 ? 0.0 : derivWeight(m, 1, k[j], k[j + 1]); }

  // F(u) with slope g; u's row NV and ghost column are set as the boundary rules say.
  Level F(Level& u, double g) const {
    const double rd = o.r - o.d, xi = o.volvol;
    for (int i = 0; i <= N; ++i) u[NV][i] = u[NV - 1][i];
    for (int j = 0; j <= NV; ++j) u[j][N + 1] = u[j][N] + g * h[N + 1];
    Level f(NV + 1, std::vector<double>(N + 2, 0.0));
    for (int j = 0; j < NV; ++j) {
      for (int i = 1; i <= N; ++i) {
        double c = o.rho * xi * w(j) * S[i] / (h[i + 1] * k[j] + h[i] * k[j + 1]);
        double aS = 0.5 * V[j] * S[i] * S[i] + 0.5 * (h[i] * h[i] + h[i + 1] * h[i + 1]) * c;
        double aV = 0.5 * xi * xi * q(j) + 0.5 * (k[j] * k[j] + k[j + 1] * k[j + 1]) * c;
        double bS = rd * S[i] + (h[i + 1] - h[i]) * c;
        double bV = D(j) + (k[j + 1] - k[j]) * c;
        if (i == N) {
          c = 0;
          aS = 0.5 * V[j] * S[N] * S[N];
          aV = 0.5 * xi * xi * q(j);
          bV = D(j);
        }
        if (j == NV - 1) {
          c = 0;
          bV = 0;
          aS = 0.5 * V[j] * S[i] * S[i];
          aV = 0.5 * xi * xi * q(j);
          if (i < N) bS = rd * S[i];
        }
        const double* um = &u[j][0];
        // Row 0 has no a_S centre term (a_S vanishes there anyway).
        double val =
            aS * (al(-1, i) * um[i - 1] + (j == 0 ? 0.0 : al(0, i) * um[i]) + al(1, i) * um[i + 1]);
        val += (i == N) ? rd * S[N] * g
                        : bS * (be(-1, i) * um[i - 1] + be(0, i) * um[i] + be(1, i) * um[i + 1]);
        if (j == 0) {
          val += c0 * u[0][i] + c1 * u[1][i] + c2 * u[2][i];
        } else {
          val += aV * (ga(-1, j) * u[j - 1][i] + ga(0, j) * u[j][i] + ga(1, j) * u[j + 1][i]);
          val += bV * (de(-1, j) * u[j - 1][i] + de(0, j) * u[j][i] + de(1, j) * u[j + 1][i]);
          val += c * (2 * u[j][i] - u[j - 1][i + 1] - u[j + 1][i - 1]);
        }
        val -= o.r * u[j][i];
        f[j][i] = val;
      }
    }
    return f;
  }

  // Rows of (I - theta dt' A1) for variance node j and of (I - theta dt' A2), as dense matrices
  // over i = 1..N (index i - 1) and j = 0..NV - 1.
  std::vector<std::vector<double>> a1Matrix(int j, double td) const {
    std::vector<std::vector<double>> A(N, std::vector<double>(N, 0.0));
    const double a0 = 0.5 * V[j], rd = o.r - o.d;
    for (int i = 1; i <= N; ++i) {
      const double a = a0 * S[i] * S[i], b = rd * S[i];
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
  std::vector<std::vector<double>> a2Matrix(double td) const {
    std::vector<std::vector<double>> A(NV, std::vector<double>(NV, 0.0));
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
  static std::vector<double> times(const std::vector<std::vector<double>>& A,
                                   const std::vector<double>& x) {
    std::vector<double> y(x.size(), 0.0);
    for (std::size_t r = 0; r < x.size(); ++r)
      for (std::size_t c = 0; c < x.size(); ++c) y[r] += A[r][c] * x[c];
    return y;
  }

  // S corrections: (I - td A1) out = rhs - td A1 prev (+ the slope jump at i = N).
  void correctS(const Level& prev, const Level& rhs, double td, double jump, Level& out) const {
    for (int j = 0; j < NV; ++j) {
      const auto M = a1Matrix(j, td);
      std::vector<double> p(N), b(N);
      for (int i = 1; i <= N; ++i) p[i - 1] = prev[j][i];
      const auto Mp = times(M, p);
      for (int i = 1; i <= N; ++i) b[i - 1] = rhs[j][i] + Mp[i - 1] - p[i - 1];
      b[N - 1] += td * jump * ((o.r - o.d) * S[N] + 0.5 * V[j] * S[N] * S[N] * al(1, N) * h[N + 1]);
      const auto x = denseSolve(M, b);
      for (int i = 1; i <= N; ++i) out[j][i] = x[i - 1];
    }
  }
  void correctV(const Level& prev, const Level& in, double td, Level& out) const {
    const auto M = a2Matrix(td);
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
  double zeroValue(double t, double payoff0) const {
    if (o.CallPut != 1 || payoff0 == 0.0) return 0.0;
    return o.american ? o.K : o.K * std::exp(-o.r * t);
  }

  // The whole time loop from the smoothed payoff; returns the final level (rows 0..NV).
  Level run(const std::vector<double>& payoff, bool dampingFlag) const {
    Level U(NV + 1, std::vector<double>(N + 2, 0.0));
    for (int j = 0; j <= NV; ++j)
      for (int i = 0; i <= N; ++i) U[j][i] = payoff[i];
    Level Y = U;
    const int NT = o.NT, nd = dampingStepCount;
    const double dt = o.T / NT;
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
      const double theta = damped ? 1.0 : 1.0 - std::sqrt(2.0) * 0.5;
      const double tNew = t + dts, td = theta * dts;
      const double gOld = slope(t), gNew = slope(tNew);
      for (int j = 0; j <= NV; ++j) Y[j][0] = zeroValue(tNew, payoff[0]);
      const Level FU = F(U, gOld);
      Level Y0 = U;
      for (int j = 0; j < NV; ++j)
        for (int i = 1; i <= N; ++i) Y0[j][i] = U[j][i] + dts * FU[j][i];
      for (int i = 0; i <= N; ++i) Y0[NV][i] = Y0[NV - 1][i];
      correctS(U, Y0, td, gNew - gOld, Y);
      correctV(U, Y, td, Y);
      if (!damped) {
        Level Y2 = Y;
        const Level FY2 = F(Y2, gNew);
        Level Yh = Y0;
        for (int j = 0; j < NV; ++j)
          for (int i = 1; i <= N; ++i) Yh[j][i] = 0.5 * (U[j][i] + Y0[j][i] + dts * FY2[j][i]);
        correctS(Y2, Yh, td, 0.0, Y);
        correctV(Y2, Y, td, Y);
      }
      if (o.american) {
        for (int j = 0; j <= NV; ++j)
          for (int i = 0; i <= N; ++i) {
            const double iv = o.CallPut == 1 ? o.K - S[i] : S[i] - o.K;
            if (iv > Y[j][i]) Y[j][i] = iv;
          }
      }
      std::swap(U, Y);
      ++s;
      t = tNew;
    }
    for (int i = 0; i <= N; ++i) U[NV][i] = U[NV - 1][i];
    return U;
  }

  const QelHestonVanilla& o;
  std::vector<double> S, V, h, k;
  int N = 0, NV = 0;
  double c0 = 0, c1 = 0, c2 = 0;
};

}  // namespace

// The implicit corrections solve (I - theta dt' A1) Y = rhs - theta dt' A1 prev and the same
// for A2, with A1 and A2 written out from their definitions (the v = 0 row of A2 keeps its third
// entry and is solved without the elimination), and the slope jump at the last asset node.
TEST(AdiFrame, ImplicitCorrectionsSolveTheOneDirectionalSystems) {
  for (const FrameCase& s : kOperatorSetups) {
    auto o = makeObject(s);
    PDESolveResults res;
    double cpu = 0.0;
    PDESolveArgs args{o.get(), &res, &cpu};
    AdiFrame fr(args);
    fr.setUp();
    const int N = fr.N, NV = fr.NV;
    const double theta = 0.3, dts = 0.05, jump = -0.02;
    fr.setUpImplicitSystems(theta, dts);
    ReferenceSolve ref(*o, fr.S, fr.V);
    DenseMatrix prev(NV + 1, N + 1, 0.0), rhs(NV + 1, N + 1, 0.0), out(NV + 1, N + 1, 0.0);
    ReferenceSolve::Level P(NV + 1, std::vector<double>(N + 2, 0.0)), Rh = P, X = P;
    for (int j = 0; j <= NV; ++j) {
      for (int i = 0; i <= N; ++i) {
        prev[j][i] = P[j][i] = std::sin(0.3 * i + 0.7 * j) + 0.1 * i;
        rhs[j][i] = Rh[j][i] = std::cos(0.2 * i - 0.5 * j) * (1 + 0.05 * j);
      }
    }
    fr.solveA1(prev, rhs, jump, out);
    ref.correctS(P, Rh, theta * dts, jump, X);
    for (int j = 0; j < NV; ++j)
      for (int i = 1; i <= N; ++i)
        EXPECT_NEAR(out[j][i], X[j][i], 1e-11 * (1 + std::fabs(X[j][i])))
            << s.label << ", S corrections, node (" << i << ", " << j << ")";
    fr.solveA2(prev, rhs, out);
    ref.correctV(P, Rh, theta * dts, X);
    for (int j = 0; j < NV; ++j)
      for (int i = 1; i <= N; ++i)
        EXPECT_NEAR(out[j][i], X[j][i], 1e-11 * (1 + std::fabs(X[j][i])))
            << s.label << ", variance corrections, node (" << i << ", " << j << ")";
  }
}

// The whole solve against the time loop written out from the scheme's definition: boundary data,
// stage order, damped start-up and early exercise. The values along S at v0 and the price agree.
TEST(AdiFrame, HvSolveMatchesTheSchemeWrittenOut) {
  const FrameCase cases[] = {
      {"european put, method 2", 1, 1.0, -0.6, 1, 0, 24, 12, 6, 2},
      {"european call, method 4 (damped)", 1, 1.0, -0.6, 0, 0, 24, 14, 6, 4},
      {"american put, method 4", 1, 1.0, -0.3, 1, 1, 22, 12, 5, 4},
      {"american call, method 2, dividends", 0, 1.0, 0.3, 0, 1, 22, 10, 5, 2, 0.02, 0.06},
      {"damped, one step", 1, 0.8, -0.8, 1, 0, 20, 14, 1, 4},
  };
  for (const FrameCase& s : cases) {
    auto o = makeObject(s);
    PDESolveResults res;
    double cpu = 0.0;
    o->damping = false;
    o->dispatchSolver(res, cpu);
    const std::valarray<double> values = o->values;
    const double price = o->summary[1];
    // The smoothed payoff on the solve's grid.
    o->setPayoffS();
    o->smoothPayoffS();
    const std::vector<double> S(std::begin(o->grid), std::end(o->grid));
    const std::vector<double> V(std::begin(o->vGrid), std::end(o->vGrid));
    const std::vector<double> payoff(std::begin(o->values), std::end(o->values));
    ReferenceSolve ref(*o, S, V);
    const ReferenceSolve::Level U = ref.run(payoff, s.methodID == 4);
    DenseMatrix R(ref.N + 1, ref.NV + 1, 0.0);
    for (int i = 0; i <= ref.N; ++i)
      for (int j = 0; j <= ref.NV; ++j) R[i][j] = U[j][i];
    Grid2D_interp interp(S, V, R, 6, 6);
    for (int i = 0; i <= ref.N; ++i) {
      const double expected = interp.interp(S[i], o->v0);
      EXPECT_NEAR(values[i], expected, 1e-10 * (1 + std::fabs(expected)))
          << s.label << ", node " << i;
    }
    EXPECT_NEAR(price, interp.interp(o->S0, o->v0), 1e-10 * price) << s.label;
  }
}

// Without full results only vector 0 is filled (the values at v0, those at or below 2e-9 as 0);
// all five vectors are still replaced by nS entries, so nothing of an earlier solve remains.
TEST(AdiFrame, PartialResultsReplaceEveryVector) {
  auto o = makeObject(kOperatorSetups[0]);
  PDESolveResults full;
  double cpu = 0.0;
  PDESolveArgs fullArgs{o.get(), &full, &cpu};
  calcGARCHNUDirectNonNegHV(fullArgs);
  const std::size_t nS = static_cast<std::size_t>(o->nSNodes);
  PDESolveResults part;
  for (int k = 0; k < 5; ++k) part[k] = std::valarray<double>(7.0, nS + 3);
  PDESolveArgs partArgs{o.get(), &part, &cpu};
  partArgs.fullResults = false;
  calcGARCHNUDirectNonNegHV(partArgs);
  for (int k = 0; k < 5; ++k) ASSERT_EQ(part[k].size(), nS) << "vector " << k;
  for (std::size_t i = 0; i < nS; ++i) {
    const double v = full[1][i];
    EXPECT_NEAR(part[0][i], v <= 2e-9 ? 0.0 : v, 1e-12 * (1 + std::fabs(v))) << "node " << i;
    for (int k = 1; k < 5; ++k) EXPECT_EQ(part[k][i], 0.0) << "vector " << k << ", node " << i;
  }
}

}  // namespace serivane
