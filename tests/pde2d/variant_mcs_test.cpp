// The modified Craig-Sneyd solver on the asset grid (method ids 3 and 5): against the
// semi-analytic Heston engine, against the Hundsdorfer-Verwer solver, and against the scheme
// written out in the test from its definition (dense implicit systems, plain elimination).
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <valarray>
#include <vector>

#include "core/interpolation.h"
#include "core/qel_heston_vanilla.h"
#include "heston_analytic/analytic_heston_engine.h"
#include "pde2d/pde_solve.h"
#include "pde2d/solver_fixtures.h"
#include "support/finite_difference_reference.h"
#include "support/temp_folder.h"

namespace serivane {

namespace {

using namespace solver_fixtures;

// The variance-grid fallback appends to "ErrorLog.txt" in the current folder.
::testing::Environment* const kTempFolder =
    ::testing::AddGlobalTestEnvironment(new TempFolderEnvironment);

// The solver sets the OpenMP default thread count; each test puts the caller's value back.
class RestoreThreadCount {
 public:
  RestoreThreadCount() : saved_(omp_get_max_threads()) {}
  ~RestoreThreadCount() { omp_set_num_threads(saved_); }

 private:
  int saved_;
};

const Model kModels[] = {
    {0.04, 0.04, 1.5, 0.3, -0.9},
    {0.09, 0.05, 3.0, 1.0, -0.5},
};

}  // namespace

// Square-root variance on grids (n, n/2, n/2): the plain (3, 7) and the damped (5, 9) start-ups
// of both variants converge at about second order to the analytic Heston price, and agree with
// the Hundsdorfer-Verwer solver on the same grid to the discretisation error.
TEST(McsSolver, ConvergesAtSecondOrderToTheAnalyticHestonPrice) {
  RestoreThreadCount restore;
  const int sizes[] = {30, 60, 120};
  for (int method : {3, 5, 7, 9}) {
    double sumSq[3] = {0, 0, 0};
    int count = 0;
    double worstHvGap = 0.0, worstHvErr = 0.0;
    for (const Model& m : kModels) {
      for (double T : {0.25, 1.0}) {
        for (double K : {80.0, 100.0, 120.0}) {
          for (int cp : {0, 1}) {
            Option o;
            o.K = K;
            o.T = T;
            o.CallPut = cp;
            const double ref = hestonPrice(m, o);
            double e60 = 0.0;
            for (int s = 0; s < 3; ++s) {
              const double e = pdePrice(m, o, sizes[s], method) - ref;
              sumSq[s] += e * e;
              if (s == 1) e60 = e;
            }
            const double hv = pdePrice(m, o, 60, 2) - ref;
            worstHvGap = std::max(worstHvGap, std::abs(e60 - hv));
            worstHvErr = std::max({worstHvErr, std::abs(e60), std::abs(hv)});
            ++count;
          }
        }
      }
    }
    double rms[3];
    for (int s = 0; s < 3; ++s) {
      rms[s] = std::sqrt(sumSq[s] / count);
      std::printf("method %d, grid (%d,%d,%d): rms price error %.3e\n",
                  method,
                  sizes[s],
                  sizes[s] / 2,
                  sizes[s] / 2,
                  rms[s]);
    }
    for (int s = 0; s + 1 < 3; ++s) {
      EXPECT_GT(std::log2(rms[s] / rms[s + 1]), 1.6)
          << "method " << method << ", grids " << sizes[s] << " and " << sizes[s + 1];
    }
    EXPECT_LT(rms[2], 3e-3) << "method " << method;
    // Against HV on (60, 30, 30): the gap is within the larger of the two errors.
    std::printf("method %d vs HV on (60,30,30): worst gap %.3e, worst error %.3e\n",
                method,
                worstHvGap,
                worstHvErr);
    EXPECT_LT(worstHvGap, worstHvErr) << "method " << method;
  }
}

namespace {

// The MCS time loop written out from the scheme's definition on levels u[j][i], j = 0..NV,
// i = 0..N + 1 (column N + 1 the ghost node).
class ReferenceMcs {
 public:
  using Level = std::vector<std::vector<double>>;

  ReferenceMcs(const QelHestonVanilla& o, std::vector<double> S_, std::vector<double> V_)
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

  double D(int j) const { return o.theta * (o.vL - V[j]); }
  // The single-strike scheme fixes the exponent at 1.
  double pw() const { return single ? 1.0 : o.p; }
  double w(int j) const { return o.model == 1 ? std::pow(V[j], pw() + 0.5) : V[j]; }
  double q(int j) const { return o.model == 1 ? std::pow(V[j], 2 * pw()) : V[j]; }
  // The nine-point mixed term rho xi S w(v) U_Sv of the single-strike scheme at (i, j).
  double central(const Level& u, int i, int j) const {
    double sum = 0.0;
    for (int a = -1; a <= 1; ++a)
      for (int b = -1; b <= 1; ++b) sum += be(a, i) * de(b, j) * u[j + b][i + a];
    return o.rho * o.volvol * S[i] * w(j) * sum;
  }
  double al(int m, int i) const { return derivWeight(m, 2, h[i], h[i + 1]); }
  double be(int m, int i) const { return derivWeight(m, 1, h[i], h[i + 1]); }
  double ga(int m, int j) const { return j == 0 ? 0.0 : derivWeight(m, 2, k[j], k[j + 1]); }
  double de(int m, int j) const { return j == 0 ? 0.0 : derivWeight(m, 1, k[j], k[j + 1]); }
  double cross(int i, int j) const {
    return o.rho * o.volvol * w(j) * S[i] / (h[i + 1] * k[j] + h[i] * k[j + 1]);
  }

  // F(u) with slope g at Smax; row NV and the ghost column of u are set first.
  Level F(Level& u, double g) const {
    const double rd = o.r - o.d, xi = o.volvol;
    for (int i = 0; i <= N; ++i) u[NV][i] = u[NV - 1][i];
    for (int j = 0; j <= NV; ++j) u[j][N + 1] = u[j][N] + g * h[N + 1];
    Level f(NV + 1, std::vector<double>(N + 2, 0.0));
    for (int j = 0; j < NV; ++j) {
      for (int i = 1; i <= N; ++i) {
        double c = single ? 0.0 : cross(i, j);
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
        const std::vector<double>& um = u[j];
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
        if (single && i < N && j > 0 && j < NV - 1) val += central(u, i, j);
        f[j][i] = val - o.r * u[j][i];
      }
    }
    return f;
  }

  // The cross-term operator: every term of F proportional to c; zero at i = N, on row 0 and on
  // row NV - 1.
  Level F0(const Level& d) const {
    Level f(NV + 1, std::vector<double>(N + 2, 0.0));
    for (int j = 1; j < NV - 1; ++j) {
      for (int i = 1; i < N; ++i) {
        if (single) {
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

  // (I - td A1) out = rhs - td A1 prev, with the changes of the S = 0 value (at i = 1) and of the
  // slope at Smax (at i = N) over the step.
  void correctS(const Level& prev,
                const Level& rhs,
                double td,
                double jump,
                const Level& zeroNew,
                Level& out) const {
    const double rd = o.r - o.d;
    for (int j = 0; j < NV; ++j) {
      std::vector<std::vector<double>> A(N, std::vector<double>(N, 0.0));
      for (int i = 1; i <= N; ++i) {
        const double a = 0.5 * V[j] * S[i] * S[i], b = rd * S[i];
        if (i < N) {
          if (i > 1) A[i - 1][i - 2] = -td * (b * be(-1, i) + a * al(-1, i));
          A[i - 1][i - 1] = 1 - td * (a * al(0, i) - o.r / 2 + b * be(0, i));
          A[i - 1][i] = -td * (b * be(1, i) + a * al(1, i));
        } else {
          A[N - 1][N - 2] = -td * a * al(-1, N);
          A[N - 1][N - 1] = 1 - td * ((al(0, N) + al(1, N)) * a - o.r / 2);
        }
      }
      std::vector<double> bvec(N);
      for (int r = 0; r < N; ++r) {
        double Ap = 0.0;
        for (int c = 0; c < N; ++c) Ap += A[r][c] * prev[j][c + 1];
        bvec[r] = rhs[j][r + 1] + Ap - prev[j][r + 1];
      }
      bvec[N - 1] += td * jump * (rd * S[N] + 0.5 * V[j] * S[N] * S[N] * al(1, N) * h[N + 1]);
      bvec[0] += td * (0.5 * V[j] * S[1] * S[1] * al(-1, 1) + rd * S[1] * be(-1, 1)) *
                 (zeroNew[j][0] - prev[j][0]);
      const auto x = denseSolve(A, bvec);
      for (int i = 1; i <= N; ++i) out[j][i] = x[i - 1];
    }
  }

  // (I - td A2) out = in - td A2 prev, the v = 0 row with its three entries.
  void correctV(const Level& prev, const Level& in, double td, Level& out) const {
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
    for (int i = 1; i <= N; ++i) {
      std::vector<double> bvec(NV);
      for (int r = 0; r < NV; ++r) {
        double Ap = 0.0;
        for (int c = 0; c < NV; ++c) Ap += A[r][c] * prev[c][i];
        bvec[r] = in[r][i] + Ap - prev[r][i];
      }
      const auto x = denseSolve(A, bvec);
      for (int j = 0; j < NV; ++j) out[j][i] = x[j];
    }
  }

  double slope(double t) const { return o.CallPut == 1 ? 0.0 : std::exp(-o.d * t); }
  // No test of the terminal value at S = 0 in this scheme.
  double zeroValue(double t) const {
    if (o.CallPut != 1) return 0.0;
    return o.american ? o.K : o.K * std::exp(-o.r * t);
  }

  // Early exercise: a put floored at K - S; a call's rows raised to the payoff above the strike,
  // with the cell average at the boundary estimate.
  void exercise(QelHestonVanilla& obj, Level& Y) const {
    if (!o.american || single) return;
    for (int j = 0; j <= NV; ++j) {
      if (o.CallPut == 1) {
        for (int i = 0; i <= N; ++i) Y[j][i] = std::max(Y[j][i], o.K - S[i]);
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
        strikeCellAdjust(obj, A, B, x, false, true);
      }
      for (int i = 0; i <= N; ++i) Y[j][i] = A[i];
    }
  }

  Level run(QelHestonVanilla& obj, const std::vector<double>& payoff, bool dampingFlag) const {
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
      const double theta = damped ? 1.0 : 1.0 / 3.0;
      const double tNew = t + dts, td = theta * dts;
      const double gOld = slope(t), gNew = slope(tNew);
      for (int j = 0; j <= NV; ++j) Y[j][0] = zeroValue(tNew);
      const Level FU = F(U, gOld);
      Level Y0 = U;
      for (int j = 0; j < NV; ++j)
        for (int i = 1; i <= N; ++i) Y0[j][i] = U[j][i] + dts * FU[j][i];
      correctS(U, Y0, td, gNew - gOld, Y, Y);
      correctV(U, Y, td, Y);
      if (!damped) {
        Level W = Y;
        Level Dm(NV + 1, std::vector<double>(N + 2, 0.0));
        for (int j = 0; j < NV; ++j)
          for (int i = single ? 0 : 1; i <= N; ++i) Dm[j][i] = W[j][i] - U[j][i];
        const Level F0D = F0(Dm);
        const Level FW = F(W, gNew);
        Level Yt = Y0;
        for (int j = 0; j < NV; ++j) {
          for (int i = 1; i <= N; ++i) {
            const double yHat = Y0[j][i] + theta * dts * F0D[j][i];
            Yt[j][i] = yHat + (0.5 - theta) * dts * (FW[j][i] - (Y0[j][i] - U[j][i]) / dts);
          }
        }
        correctS(U, Yt, td, gNew - gOld, Y, Y);
        correctV(U, Y, td, Y);
      }
      exercise(obj, Y);
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
  bool single = false;  // the single-strike scheme
};

}  // namespace

// The whole solve against the time loop written out from the scheme: boundary data, stage order,
// the cross-term and second explicit corrections, the damped start-up and early exercise. The
// values along S at v0 and the price agree to rounding.
TEST(McsSolver, SolveMatchesTheSchemeWrittenOut) {
  RestoreThreadCount restore;
  struct Case {
    const char* label;
    int model;
    double p, rho;
    int CallPut, EuroAmer, NS, NV, NT, methodID;
    double r, d;
  };
  const Case cases[] = {
      {"european put, method 3", 1, 1.0, -0.6, 1, 0, 24, 12, 6, 3, 0.04, 0.015},
      {"european call, method 5", 1, 1.0, -0.6, 0, 0, 24, 14, 6, 5, 0.04, 0.015},
      {"model 1, p = 0.8, rho > 0, method 3", 1, 0.8, 0.4, 1, 0, 20, 14, 5, 3, 0.04, 0.015},
      {"model 0, american call with dividends", 0, 1.0, 0.3, 0, 1, 22, 10, 5, 3, 0.02, 0.06},
      {"american put, method 5", 1, 1.0, -0.3, 1, 1, 22, 12, 5, 5, 0.06, 0.0},
      {"damped, one step", 1, 0.8, -0.8, 1, 0, 20, 14, 1, 5, 0.04, 0.015},
      {"single strike, put, p = 0.8 read as 1", 1, 0.8, -0.6, 1, 0, 24, 12, 6, 7, 0.04, 0.015},
      {"single strike, damped call", 1, 1.0, -0.6, 0, 0, 24, 14, 6, 9, 0.04, 0.015},
      {"single strike, model 0, american put", 0, 1.0, 0.3, 1, 1, 22, 10, 5, 9, 0.06, 0.0},
      {"single strike, american call", 1, 1.0, -0.3, 0, 1, 22, 12, 5, 7, 0.02, 0.06},
  };
  for (const Case& c : cases) {
    Option opt;
    opt.T = 0.5;
    opt.CallPut = c.CallPut;
    opt.EuroAmer = c.EuroAmer;
    opt.r = c.r;
    opt.d = c.d;
    const Model m{0.05, 0.04, 1.8, 0.7, c.rho};
    auto o = makePricer(m, opt, c.NS, c.NV, c.NT, c.methodID, c.model, c.p);
    PDESolveResults res;
    double cpu = 0.0;
    const bool single = c.methodID == 7 || c.methodID == 9;
    const bool damped = c.methodID == 5 || c.methodID == 9;
    if (single) {
      o->damping = damped;
      PDESolveArgs args{o.get(), &res, &cpu};
      calcGARCHNUDirectNonNegMCSSingleK(args);
    } else {
      o->dispatchSolver(res, cpu);
    }
    EXPECT_EQ(o->damping, damped) << c.label;
    const std::valarray<double> values = o->values;
    const double price = o->summary[1];
    o->setPayoffS();
    o->smoothPayoffS();
    const std::vector<double> S(std::begin(o->grid), std::end(o->grid));
    const std::vector<double> V(std::begin(o->vGrid), std::end(o->vGrid));
    const std::vector<double> payoff(std::begin(o->values), std::end(o->values));
    ReferenceMcs ref(*o, S, V);
    ref.single = single;
    const ReferenceMcs::Level U = ref.run(*o, payoff, damped);
    DenseMatrix R(ref.N + 1, ref.NV + 1, 0.0);
    for (int i = 0; i <= ref.N; ++i)
      for (int j = 0; j <= ref.NV; ++j) R[i][j] = U[j][i];
    Grid2D_interp interp(S, V, R, 6, 6);
    for (int i = 0; i <= ref.N; ++i) {
      const double expected = interp.interp(S[i], o->v0);
      EXPECT_NEAR(values[i], expected, 1e-10 * (1 + std::fabs(expected)))
          << c.label << ", node " << i;
    }
    EXPECT_NEAR(price, interp.interp(o->S0, o->v0), 1e-10 * price) << c.label;
  }
}

// Method 5 sets the damping flag; its two implicit half steps replace the first step and the
// price stays close to the plain scheme's for any step count; damping removes the oscillations
// of the kinked payoff from gamma at the strike.
TEST(McsSolver, DampedStartUp) {
  RestoreThreadCount restore;
  const Model m{0.04, 0.05, 2.0, 0.6, -0.6};
  Option o;
  const double plain = solveOnce(*makePricer(m, o, 60, 30, 60, 3, 1)).price;
  struct Case {
    int NT;
    double tolerance;  // two implicit Euler half steps alone are first order
  };
  for (const Case& c : {Case{1, 0.6}, Case{2, 0.1}, Case{60, 0.01}}) {
    auto q = makePricer(m, o, 60, 30, c.NT, 5, 1);
    EXPECT_FALSE(q->damping);
    const Solved s = solveOnce(*q);
    EXPECT_TRUE(q->damping) << "NT " << c.NT;
    EXPECT_EQ(q->getSummary()[3], c.NT);
    EXPECT_NEAR(s.price, plain, c.tolerance) << "NT " << c.NT;
  }
  auto three = makePricer(m, o, 60, 30, 10, 3, 1);
  const Solved su = solveOnce(*three);
  EXPECT_FALSE(three->damping);
  const Solved sd = solveOnce(*makePricer(m, o, 60, 30, 10, 5, 1));
  double roughD = 0, roughU = 0;
  for (std::size_t i = 1; i + 1 < sd.out[3].size(); ++i) {
    roughD = std::max(roughD, std::abs(sd.out[3][i + 1] - 2 * sd.out[3][i] + sd.out[3][i - 1]));
    roughU = std::max(roughU, std::abs(su.out[3][i + 1] - 2 * su.out[3][i] + su.out[3][i - 1]));
  }
  EXPECT_LT(roughD, roughU);
}

// Every solve sets the OpenMP default thread count of its thread to 8 and leaves it so; the HV
// solver does not touch it.
TEST(McsSolver, SetsTheDefaultThreadCount) {
  RestoreThreadCount restore;
  const Model m{0.04, 0.05, 2.0, 0.6, -0.6};
  for (int method : {3, 5}) {
    omp_set_num_threads(3);
    solveOnce(*makePricer(m, Option{}, 30, 15, 10, method, 1));
    EXPECT_EQ(omp_get_max_threads(), 8) << "method " << method;
  }
  omp_set_num_threads(3);
  solveOnce(*makePricer(m, Option{}, 30, 15, 10, 2, 1));
  EXPECT_EQ(omp_get_max_threads(), 3);
}

// American options: a put is floored at its intrinsic value and worth more than the European
// one; a call with a dividend yield above the rate is floored above the strike and worth more
// than the European call; without dividends the call is never exercised early.
TEST(McsSolver, AmericanOptions) {
  RestoreThreadCount restore;
  const Model m{0.04, 0.05, 2.0, 0.6, -0.6};
  struct Case {
    const char* label;
    int CallPut;
    double r, d;
    bool earlyExercise;
  };
  const Case cases[] = {
      {"put", 1, 0.06, 0.0, true},
      {"call, high dividends", 0, 0.02, 0.08, true},
      {"call, no dividends", 0, 0.05, 0.0, false},
  };
  for (const Case& c : cases) {
    for (double K : {90.0, 100.0, 115.0}) {
      Option euro;
      euro.K = K;
      euro.CallPut = c.CallPut;
      euro.r = c.r;
      euro.d = c.d;
      Option am = euro;
      am.EuroAmer = 1;
      auto q = makePricer(m, am, 80, 40, 40, 3, 1);
      const Solved a = solveOnce(*q);
      const double e = solveOnce(*makePricer(m, euro, 80, 40, 40, 3, 1)).price;
      if (c.earlyExercise) {
        EXPECT_GT(a.price, e + 1e-3) << c.label << ", K " << K;
      } else {
        EXPECT_NEAR(a.price, e, 1e-6 * e) << c.label << ", K " << K;
      }
      for (std::size_t i = 0; i < a.out[0].size(); ++i) {
        const double S = a.out[0][i];
        const double intrinsic = c.CallPut == 1 ? K - S : S - K;
        // The call's node at the exercise boundary holds a cell average.
        const double slack = c.CallPut == 1 ? 1e-12 : 1e-2 * K;
        EXPECT_GE(a.out[1][i], intrinsic - slack) << c.label << ", K " << K << ", node " << i;
      }
    }
  }
}

// One strike-list solve with method 3 prices every strike by homogeneity and parity, as the HV
// solver's strike list does, to the discretisation error.
TEST(McsSolver, StrikeListAgreesWithHv) {
  RestoreThreadCount restore;
  const std::vector<double> strikes{115.0, 80.0, 100.0, 90.0, 130.0};
  std::valarray<double> params{0.8, 0.05, 0.04, 2.0, -0.7, 1.0};
  std::valarray<double> zeros(0.0, 5);
  std::valarray<double> prices[2];
  for (int k = 0; k < 2; ++k) {
    QelHestonVanilla list(kS0,
                          strikes,
                          0.75,
                          params,
                          0.03,
                          0.01,
                          100,
                          50,
                          50,
                          1,
                          3,
                          1,
                          0,
                          zeros,
                          zeros,
                          true,
                          -3.0,
                          1.0,
                          0.9999,
                          0,
                          true,
                          0,
                          0.0,
                          k == 0 ? 3 : 2,
                          false,
                          false,
                          0.8);
    ASSERT_TRUE(list.multiStrike);
    const Solved s = solveOnce(list);
    prices[k] = list.getStrikePrices();
    ASSERT_EQ(prices[k].size(), strikes.size());
    EXPECT_EQ(list.getSummary()[1], 0.0);
    EXPECT_EQ(s.price, prices[k][0]);
  }
  for (std::size_t i = 0; i < strikes.size(); ++i) {
    EXPECT_NEAR(prices[0][i], prices[1][i], 5e-3 + 1e-3 * prices[1][i]) << "strike index " << i;
  }
}

// With the record switch on, the damped start-up writes "Turning damping off;" and each solve
// one record line with ten significant digits and the maturity field.
TEST(McsSolver, ConvergenceRecord) {
  RestoreThreadCount restore;
  TempFolder folder;
  const Model m{0.04, 0.05, 2.0, 0.6, -0.6};
  Option o;
  o.T = 0.123456789012;
  convFileFlag = 1;
  solveOnce(*makePricer(m, o, 30, 15, 10, 5, 1));
  solveOnce(*makePricer(m, o, 30, 15, 10, 3, 1));
  convFileFlag = 0;
  const std::string text = folder.read("Conv.txt");
  ASSERT_EQ(text.find("Turning damping off;\nNS used: 30\tNv used: "), 0u) << text;
  std::size_t records = 0;
  for (std::size_t at = text.find("NS used: "); at != std::string::npos;
       at = text.find("NS used: ", at + 1)) {
    ++records;
  }
  EXPECT_EQ(records, 2u) << text;
  EXPECT_EQ(text.find("Turning damping off;", 1), std::string::npos) << text;
  EXPECT_NE(text.find(" T: 0.123456789 "), std::string::npos) << text;
  EXPECT_NE(text.find("   NT used: 10   Time: "), std::string::npos) << text;
}

// The single-strike variant: an object with a strike list is priced at its strike K alone (the
// smallest) without touching the strike prices; the exponent is 1 whatever p holds; the record
// has no maturity field; the OpenMP default thread count is not touched.
TEST(McsSolver, SingleStrikeVariant) {
  RestoreThreadCount restore;
  std::valarray<double> params{0.8, 0.05, 0.04, 2.0, -0.7, 1.0};
  std::valarray<double> zeros(0.0, 5);
  const std::vector<double> strikes{115.0, 90.0, 100.0};
  QelHestonVanilla list(kS0,
                        strikes,
                        0.75,
                        params,
                        0.03,
                        0.01,
                        60,
                        30,
                        30,
                        1,
                        3,
                        1,
                        0,
                        zeros,
                        zeros,
                        true,
                        -3.0,
                        1.0,
                        0.9999,
                        0,
                        true,
                        0,
                        0.0,
                        7,
                        false,
                        false,
                        1.0);
  ASSERT_TRUE(list.multiStrike);
  omp_set_num_threads(3);
  const Solved s = solveOnce(list);
  EXPECT_EQ(omp_get_max_threads(), 3);
  EXPECT_EQ(list.getStrikePrices().size(), 0u);
  EXPECT_GT(s.price, 0.0);
  EXPECT_EQ(list.getSummary()[1], s.price);
  Option put;
  put.K = 90.0;
  put.T = 0.75;
  const Model m{0.05, 0.04, 2.0, 0.8, -0.7};
  EXPECT_EQ(solveOnce(*makePricer(m, put, 60, 30, 30, 7, 1)).price, s.price);

  // Model 1 with p = 0.8 is priced as p = 1.
  const double p1 = solveOnce(*makePricer(m, put, 40, 20, 20, 7, 1, 1.0)).price;
  const double p08 = solveOnce(*makePricer(m, put, 40, 20, 20, 7, 1, 0.8)).price;
  EXPECT_EQ(p08, p1);

  TempFolder folder;
  convFileFlag = 1;
  solveOnce(*makePricer(m, put, 30, 15, 10, 9, 1));
  convFileFlag = 0;
  const std::string text = folder.read("Conv.txt");
  EXPECT_EQ(text.find("Turning damping off;\nNS used: 30\tNv used: "), 0u) << text;
  EXPECT_EQ(text.find(" T: "), std::string::npos) << text;
  EXPECT_NE(text.find(" K: 90   Smax = "), std::string::npos) << text;
}

// Through the price entry: the dispatcher runs the single-strike variant for method ids 7 and 9
// (9 with the damped start-up) and their prices agree with the HV solver's.
TEST(McsSolver, DispatcherRunsTheSingleStrikeVariant) {
  RestoreThreadCount restore;
  const Model& m = kModels[0];
  Option o;
  const double hv = pdePrice(m, o, 60, 2);
  for (int id : {7, 9}) {
    auto q = makePricer(m, o, 60, 30, 30, id, 0);
    const Solved s = solveOnce(*q);
    EXPECT_EQ(q->damping, id == 9) << "method " << id;
    EXPECT_NEAR(s.price, hv, 0.02) << "method " << id;
  }
}

}  // namespace serivane
