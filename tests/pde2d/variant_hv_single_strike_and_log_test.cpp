// The Hundsdorfer-Verwer variants for one strike (method ids 6, 8 on the asset grid, 11 on the
// log-asset grid) and on the log-asset grid with the strike list (method id 12): against the
// semi-analytic Heston engine with the observed order on grid refinement, against the method-2
// solver, and their own rules for the strike list, the damped start-up and the results along ln S.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <valarray>
#include <vector>

#include "core/dense_matrix.h"
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

const Model kModels[] = {
    {0.04, 0.04, 1.5, 0.3, -0.9},
    {0.09, 0.05, 3.0, 1.0, -0.5},
};

constexpr int kVariantIds[] = {6, 8, 11, 12};

}  // namespace

// Square-root variance on grids (n, n/2, n/2): every variant converges at about second order to
// the analytic Heston price and agrees with the method-2 solver on the same grid to the
// discretisation error.
TEST(HvVariants, ConvergeAtSecondOrderToTheAnalyticHestonPrice) {
  const int sizes[] = {30, 60, 120};
  for (int id : kVariantIds) {
    double sumSq[3] = {0, 0, 0};
    double worstVsHv = 0.0;
    int count = 0;
    for (const Model& m : kModels) {
      for (double K : {90.0, 110.0}) {
        for (int cp : {0, 1}) {
          Option o;
          o.K = K;
          o.CallPut = cp;
          const double ref = hestonPrice(m, o);
          for (int s = 0; s < 3; ++s) {
            const double e = pdePrice(m, o, sizes[s], id) - ref;
            sumSq[s] += e * e;
          }
          worstVsHv = std::max(worstVsHv, std::abs(pdePrice(m, o, 60, id) - pdePrice(m, o, 60, 2)));
          ++count;
        }
      }
    }
    double rms[3];
    for (int s = 0; s < 3; ++s) rms[s] = std::sqrt(sumSq[s] / count);
    std::printf(
        "method %d: rms price error %.3e, %.3e, %.3e; worst |p - p(method 2)| at 60: %.3e\n",
        id,
        rms[0],
        rms[1],
        rms[2],
        worstVsHv);
    for (int s = 0; s + 1 < 3; ++s) {
      EXPECT_GT(std::log2(rms[s] / rms[s + 1]), 1.6)
          << "method " << id << ", observed order between grids " << sizes[s] << " and "
          << sizes[s + 1];
    }
    EXPECT_LT(rms[2], 2e-3) << "method " << id;
    EXPECT_LT(worstVsHv, 0.02) << "method " << id;
  }
}

// The dispatcher sets the damping flag for method id 8 only. The damped start-up replaces the first
// full step and takes out the oscillations of the kinked payoff in gamma at the strike, and the
// single-strike variants write no "Turning damping off;" line while method 12 does.
TEST(HvVariants, DampedStartUp) {
  const Model m{0.04, 0.05, 2.0, 0.6, -0.6};
  Option o;
  auto plain = makePricer(m, o, 60, 30, 10, 6, 1);
  auto damped = makePricer(m, o, 60, 30, 10, 8, 1);
  const Solved sp = solveOnce(*plain), sd = solveOnce(*damped);
  EXPECT_FALSE(plain->damping);
  EXPECT_TRUE(damped->damping);
  EXPECT_EQ(sd.summary[3], 10.0);
  EXPECT_NEAR(sd.price, sp.price, 0.02);
  double roughD = 0, roughP = 0;
  for (std::size_t i = 1; i + 1 < sd.out[3].size(); ++i) {
    roughD = std::max(roughD, std::abs(sd.out[3][i + 1] - 2 * sd.out[3][i] + sd.out[3][i - 1]));
    roughP = std::max(roughP, std::abs(sp.out[3][i + 1] - 2 * sp.out[3][i] + sp.out[3][i - 1]));
  }
  EXPECT_LT(roughD, roughP);

  struct Case {
    const char* label;
    int methodID;
    bool message;   // "Turning damping off;" written
    bool maturity;  // " T: " field in the record
  };
  const Case cases[] = {
      {"method 8", 8, false, false},
      {"method 11, damping flag set", 11, false, true},
      {"method 12, damping flag set", 12, true, true},
  };
  for (const Case& c : cases) {
    auto q = makePricer(m, o, 30, 15, 10, c.methodID, 1);
    q->damping = true;
    TempFolder folder;
    convFileFlag = 1;
    const Solved s = solveOnce(*q);
    convFileFlag = 0;
    const std::string text = folder.read("Conv.txt");
    EXPECT_EQ(text.find("Turning damping off;") != std::string::npos, c.message) << c.label;
    EXPECT_EQ(text.find(" T: ") != std::string::npos, c.maturity) << c.label;
    EXPECT_EQ(
        text.find(c.message ? "Turning damping off;\nNS used: 30\tNv used: " : "NS used: 30\t"), 0u)
        << c.label << ": " << text;
    EXPECT_GT(s.price, 0.0) << c.label;
  }
}

// The single-strike variants serve no strike list (the price of the smallest strike only) and
// price model 1 with the variance exponent 1 whatever p holds.
TEST(HvVariants, SingleStrikeVariantsReadNeitherTheListNorTheExponent) {
  const Model m{0.05, 0.04, 2.0, 0.8, -0.7};
  for (int id : {6, 11}) {
    auto list = makeListPricer(m, {115.0, 90.0, 100.0}, 0.75, 40, id, 1);
    ASSERT_TRUE(list->multiStrike);
    const Solved s = solveOnce(*list);
    EXPECT_EQ(list->getStrikePrices().size(), 0u) << "method " << id;
    EXPECT_EQ(s.summary[1], s.price) << "method " << id;
    Option put;
    put.K = 90.0;
    put.T = 0.75;
    EXPECT_EQ(solveOnce(*makePricer(m, put, 40, 20, 20, id, 1)).price, s.price) << "method " << id;
    const double p1 = solveOnce(*makePricer(m, put, 30, 15, 15, id, 1, 1.0)).price;
    const double p08 = solveOnce(*makePricer(m, put, 30, 15, 15, id, 1, 0.8)).price;
    EXPECT_EQ(p08, p1) << "method " << id;
  }
  Option put;
  put.K = 90.0;
  put.T = 0.75;
  const double p1 = solveOnce(*makePricer(m, put, 30, 15, 15, 12, 1, 1.0)).price;
  const double p08 = solveOnce(*makePricer(m, put, 30, 15, 15, 12, 1, 0.8)).price;
  EXPECT_EQ(p08, p1) << "method 12";
}

// Method 11 returns asset values in vector 0 and derivatives in S; method 12 the log nodes
// themselves and derivatives in x = ln S. On the same log-asset grid the two agree through
// dU/dx = S dU/dS near the money.
TEST(HvVariants, LogAssetResults) {
  const Model m{0.04, 0.05, 2.0, 0.6, -0.6};
  Option o;
  auto q11 = makePricer(m, o, 80, 40, 40, 11, 0);
  auto q12 = makePricer(m, o, 80, 40, 40, 12, 0);
  const Solved s11 = solveOnce(*q11), s12 = solveOnce(*q12);
  ASSERT_EQ(s12.out[0].size(), static_cast<std::size_t>(q12->nSNodes));
  ASSERT_EQ(s11.out[0].size(), s12.out[0].size());
  EXPECT_NEAR(s12.price, s11.price, 0.01);
  for (std::size_t i = 0; i < s12.out[0].size(); ++i) {
    EXPECT_EQ(s12.out[0][i], q12->grid[i]) << "node " << i;
    EXPECT_EQ(s11.out[0][i], std::exp(q11->grid[i])) << "node " << i;
    EXPECT_EQ(s12.out[1][i], q12->values[i]) << "node " << i;
    EXPECT_EQ(s12.out[4][i], 0.0) << "node " << i;
    const double S = std::exp(s12.out[0][i]);
    if (std::abs(S / kS0 - 1.0) < 0.2) {
      EXPECT_NEAR(s12.out[2][i], S * s11.out[2][i], 0.02 * S * std::abs(s11.out[2][i]) + 1e-3)
          << "delta in ln S, node " << i;
    }
  }
  EXPECT_EQ(q12->vGrid[0], 0.0);
}

// One strike-list solve of method 12 prices every strike by homogeneity and parity; it agrees
// with one-strike solves of the same method (puts at or below the spot, calls above). Without a
// negative value near any scaled spot the reported value is the first strike's unscaled value.
TEST(HvVariants, StrikeListAgreesWithSingleStrikeSolves) {
  const Model m{0.05, 0.04, 2.0, 0.8, -0.7};
  const std::vector<double> strikes{90.0, 80.0, 100.0, 115.0, 130.0};
  const double T = 0.75;
  auto list = makeListPricer(m, strikes, T, 100, 12, 1);
  ASSERT_TRUE(list->multiStrike);
  const Solved s = solveOnce(*list);
  const std::valarray<double> prices = list->getStrikePrices();
  ASSERT_EQ(prices.size(), strikes.size());
  EXPECT_EQ(s.summary[1], 0.0);
  EXPECT_EQ(s.summary[4], 0.0);
  // The first strike lies below the spot: no parity term, only the homogeneity factor.
  EXPECT_NEAR(s.summary[2], prices[0] * list->K / list->strikes[0], 1e-13 * prices[0]);
  for (std::size_t i = 0; i < list->strikes.size(); ++i) {
    Option o;
    o.K = list->strikes[i];
    o.T = T;
    o.CallPut = o.K <= kS0 ? 1 : 0;
    const double single = solveOnce(*makePricer(m, o, 100, 50, 50, 12, 1)).price;
    EXPECT_NEAR(prices[i], single, 5e-3 + 1e-3 * single) << "strike " << o.K;
  }
}

namespace {

// Three-point weights on a non-uniform axis: order 2 the second derivative, order 1 the first;

// The HV time loop of the variants written out from the finite-difference definitions, with
// dense implicit systems: asset or log-asset axis X, nine-point or anti-diagonal mixed stencil,
// the variance exponent 1, no floor after a step. Levels u[j][i], j = 0..NV, i = 0..N + 1.
struct VariantReference {
  using Level = std::vector<std::vector<double>>;
  const QelHestonVanilla& o;
  bool logAsset, ninePoint, lowerJump, putZeroFollowsPayoff;
  std::vector<double> X, V, S, h, k;
  int N = 0, NV = 0;
  double dS = 0, c0 = 0, c1 = 0, c2 = 0;

  VariantReference(const QelHestonVanilla& obj,
                   int methodID,
                   std::vector<double> X_,
                   std::vector<double> V_)
      : o(obj),
        logAsset(methodID >= 11),
        ninePoint(methodID != 12),
        lowerJump(methodID >= 11),
        putZeroFollowsPayoff(methodID != 11),
        X(std::move(X_)),
        V(std::move(V_)) {
    N = static_cast<int>(X.size()) - 1;
    NV = static_cast<int>(V.size()) - 1;
    h.assign(N + 2, 0.0);
    for (int i = 1; i <= N; ++i) h[i] = X[i] - X[i - 1];
    h[N + 1] = logAsset ? 3 * h[N] - 3 * h[N - 1] + h[N - 2] : 2 * h[N] - h[N - 1];
    S = X;
    if (logAsset)
      for (double& x : S) x = std::exp(x);
    dS = logAsset ? std::exp(X[N] + h[N + 1]) - S[N] : h[N + 1];
    k.assign(NV + 1, 0.0);
    for (int j = 1; j <= NV; ++j) k[j] = V[j] - V[j - 1];
    k[0] = k[1];
    const double k1 = V[1] - V[0], k2 = V[2] - V[1], D0 = D(0);
    c0 = -(2 * k1 + k2) * D0 / (k1 * (k1 + k2));
    c1 = (k1 + k2) * D0 / (k1 * k2);
    c2 = -k1 * D0 / (k2 * (k1 + k2));
  }

  double D(int j) const { return o.theta * (o.vL - V[j]); }
  double w(int j) const { return o.model == 1 ? V[j] * std::sqrt(V[j]) : V[j]; }
  double q(int j) const { return o.model == 1 ? V[j] * V[j] : V[j]; }
  double al(int m, int i) const { return derivWeight(m, 2, h[i], h[i + 1]); }
  double be(int m, int i) const { return derivWeight(m, 1, h[i], h[i + 1]); }
  double ga(int m, int j) const { return j == 0 ? 0.0 : derivWeight(m, 2, k[j], k[j + 1]); }
  double de(int m, int j) const { return j == 0 ? 0.0 : derivWeight(m, 1, k[j], k[j + 1]); }
  // Plain diffusion and drift coefficients along the asset axis, and the mixed-term factor.
  double aPlain(int i, int j) const { return logAsset ? 0.5 * V[j] : 0.5 * V[j] * S[i] * S[i]; }
  double bPlain(int i, int j) const {
    return logAsset ? o.r - o.d - 0.5 * V[j] : (o.r - o.d) * S[i];
  }
  double mixed(int i, int j) const { return o.rho * o.volvol * w(j) * (logAsset ? 1.0 : S[i]); }
  // dU/dX at the last node for the slope g = dU/dS there.
  double slopeX(double g) const { return logAsset ? S[N] * g : g; }

  Level F(Level& u, double g) const {
    const double xi = o.volvol;
    for (int i = 0; i <= N; ++i) u[NV][i] = u[NV - 1][i];
    for (int j = 0; j <= NV; ++j) u[j][N + 1] = u[j][N] + g * dS;
    Level f(NV + 1, std::vector<double>(N + 2, 0.0));
    for (int j = 0; j < NV; ++j) {
      for (int i = 1; i <= N; ++i) {
        const bool last = i == N, top = j == NV - 1;
        double aS = aPlain(i, j), bS = bPlain(i, j), aV = 0.5 * xi * xi * q(j), bV = D(j);
        double c = 0.0;
        if (!ninePoint && !last && !top) {
          c = mixed(i, j) / (h[i + 1] * k[j] + h[i] * k[j + 1]);
          aS += 0.5 * (h[i] * h[i] + h[i + 1] * h[i + 1]) * c;
          aV += 0.5 * (k[j] * k[j] + k[j + 1] * k[j + 1]) * c;
          bS += (h[i + 1] - h[i]) * c;
          bV += (k[j + 1] - k[j]) * c;
        }
        if (top) bV = 0.0;
        const auto& um = u[j];
        double val = aS * (al(-1, i) * um[i - 1] + al(0, i) * um[i] + al(1, i) * um[i + 1]);
        val += last ? bPlain(N, j) * slopeX(g)
                    : bS * (be(-1, i) * um[i - 1] + be(0, i) * um[i] + be(1, i) * um[i + 1]);
        if (j == 0) {
          val += c0 * u[0][i] + c1 * u[1][i] + c2 * u[2][i];
        } else {
          val += aV * (ga(-1, j) * u[j - 1][i] + ga(0, j) * u[j][i] + ga(1, j) * u[j + 1][i]);
          val += bV * (de(-1, j) * u[j - 1][i] + de(0, j) * u[j][i] + de(1, j) * u[j + 1][i]);
          val += c * (2 * u[j][i] - u[j - 1][i + 1] - u[j + 1][i - 1]);
          if (ninePoint && !last && !top) {
            for (int a = -1; a <= 1; ++a)
              for (int b = -1; b <= 1; ++b)
                val += mixed(i, j) * be(a, i) * de(b, j) * u[j + b][i + a];
          }
        }
        f[j][i] = val - o.r * um[i];
      }
    }
    return f;
  }

  std::vector<std::vector<double>> a1Matrix(int j, double td) const {
    std::vector<std::vector<double>> A(N, std::vector<double>(N, 0.0));
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

  // (I - td A1) out = rhs - td A1 prev, plus the slope jump at i = N and, with zeroJump, the
  // change of the lowest-node value at i = 1.
  void correctS(const Level& prev,
                const Level& rhs,
                double td,
                double jump,
                double zeroJump,
                Level& out) const {
    for (int j = 0; j < NV; ++j) {
      const auto M = a1Matrix(j, td);
      std::vector<double> p(N), b(N);
      for (int i = 1; i <= N; ++i) p[i - 1] = prev[j][i];
      const auto Mp = times(M, p);
      for (int i = 1; i <= N; ++i) b[i - 1] = rhs[j][i] + Mp[i - 1] - p[i - 1];
      b[N - 1] += td * jump * (bPlain(N, j) * slopeX(1.0) + aPlain(N, j) * al(1, N) * dS);
      b[0] += td * (bPlain(1, j) * be(-1, 1) + aPlain(1, j) * al(-1, 1)) * zeroJump;
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
    if (o.CallPut != 1) return 0.0;
    if (putZeroFollowsPayoff && payoff0 == 0.0) return 0.0;
    if (o.american) return o.K;
    return logAsset ? o.K * std::exp(-o.r * t) - S[0] * std::exp(-o.d * t)
                    : o.K * std::exp(-o.r * t);
  }

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
      const double zNew = zeroValue(tNew, payoff[0]);
      const double zJump = lowerJump ? zNew - U[0][0] : 0.0;
      for (int j = 0; j <= NV; ++j) Y[j][0] = zNew;
      const Level FU = F(U, gOld);
      Level Y0 = U;
      for (int j = 0; j < NV; ++j)
        for (int i = 1; i <= N; ++i) Y0[j][i] = U[j][i] + dts * FU[j][i];
      correctS(U, Y0, td, gNew - gOld, zJump, Y);
      correctV(U, Y, td, Y);
      if (!damped) {
        Level Y2 = Y;
        const Level FY2 = F(Y2, gNew);
        Level Yh = Y0;
        for (int j = 0; j < NV; ++j)
          for (int i = 1; i <= N; ++i) Yh[j][i] = 0.5 * (U[j][i] + Y0[j][i] + dts * FY2[j][i]);
        correctS(Y2, Yh, td, 0.0, 0.0, Y);
        correctV(Y2, Y, td, Y);
      }
      std::swap(U, Y);
      ++s;
      t = tNew;
    }
    for (int i = 0; i <= N; ++i) U[NV][i] = U[NV - 1][i];
    return U;
  }
};

}  // namespace

// Each variant's solve against its time loop written out from the scheme's definition: operator
// and boundary rows, the lowest-node value and its jump, the slope at the far end, the damped
// start-up and no floor after a step. The values along the asset axis at v0 and the price agree.
TEST(HvVariants, SolveMatchesTheSchemeWrittenOut) {
  struct Case {
    const char* label;
    int methodID;
    int model;
    double rho;
    int CallPut, EuroAmer;
    bool damping;  // the object's flag before the dispatcher (which sets it for 8)
    int NS, NV, NT;
  };
  const Case cases[] = {
      {"method 6, european put, model 1", 6, 1, -0.6, 1, 0, false, 22, 12, 6},
      {"method 8, european call", 8, 1, -0.6, 0, 0, false, 22, 12, 5},
      {"method 6, american put, model 0", 6, 0, 0.4, 1, 1, false, 20, 12, 5},
      {"method 11, european put, model 0", 11, 0, -0.7, 1, 0, false, 22, 12, 6},
      {"method 11, american put, damped", 11, 1, -0.5, 1, 1, true, 20, 12, 5},
      {"method 12, european call, damped", 12, 1, -0.6, 0, 0, true, 22, 14, 5},
      {"method 12, european put, model 0", 12, 0, 0.3, 1, 0, false, 20, 12, 6},
  };
  for (const Case& c : cases) {
    const Model m{0.05, 0.04, 1.8, 0.7, c.rho};
    Option opt;
    opt.CallPut = c.CallPut;
    opt.EuroAmer = c.EuroAmer;
    opt.T = 0.5;
    opt.r = 0.04;
    opt.d = 0.015;
    auto o = makePricer(m, opt, c.NS, c.NV, c.NT, c.methodID, c.model, 0.8);
    o->damping = c.damping;
    PDESolveResults res;
    double cpu = 0.0;
    o->dispatchSolver(res, cpu);
    const std::valarray<double> values = o->values;
    const double price = o->summary[1];
    const bool logAsset = c.methodID >= 11;
    if (logAsset) {
      o->setPayoffLogS();
      o->smoothPayoffLogS();
    } else {
      o->setPayoffS();
      o->smoothPayoffS();
    }
    const std::vector<double> X(std::begin(o->grid), std::end(o->grid));
    const std::vector<double> V(std::begin(o->vGrid), std::end(o->vGrid));
    const std::vector<double> payoff(std::begin(o->values), std::end(o->values));
    const VariantReference ref(*o, c.methodID, X, V);
    const VariantReference::Level U = ref.run(payoff, o->damping);
    DenseMatrix R(ref.N + 1, ref.NV + 1, 0.0);
    for (int i = 0; i <= ref.N; ++i)
      for (int j = 0; j <= ref.NV; ++j) R[i][j] = U[j][i];
    Grid2D_interp interp(X, V, R, 6, 6);
    for (int i = 0; i <= ref.N; ++i) {
      const double expected = interp.interp(X[i], o->v0);
      EXPECT_NEAR(values[i], expected, 1e-10 * (1 + std::fabs(expected)))
          << c.label << ", node " << i;
    }
    const double x0 = logAsset ? std::log(kS0) : kS0;
    EXPECT_NEAR(price, interp.interp(x0, o->v0), 1e-10 * price) << c.label;
  }
}

}  // namespace serivane
