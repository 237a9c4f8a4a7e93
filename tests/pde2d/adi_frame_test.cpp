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
#include "core/qel_heston_vanilla.h"
#include "pde2d/pde_solve.h"
#include "pde2d/reference_schemes.h"
#include "pde2d/solver_fixtures.h"

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

std::unique_ptr<QelHestonVanilla> makeObject(const FrameCase& s) {
  solver_fixtures::Option opt;
  opt.T = 0.5;
  opt.CallPut = s.CallPut;
  opt.EuroAmer = s.EuroAmer;
  opt.r = s.r;
  opt.d = s.d;
  return solver_fixtures::makePricer(
      {0.05, 0.04, 1.8, 0.7, s.rho}, opt, s.NS, s.NV, s.NT, s.methodID, s.model, s.p);
}

// The frame of a case's object, set up.
struct FrameOf {
  explicit FrameOf(const FrameCase& s) : o(makeObject(s)), args{o.get(), &res, &cpu}, fr(args) {
    fr.setUp();
  }
  std::unique_ptr<QelHestonVanilla> o;
  PDESolveResults res;
  double cpu = 0.0;
  PDESolveArgs args;
  AdiFrame fr;
};

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

// The HV solver on the asset grid: anti-diagonal mixed stencil, the model's exponent, a put's
// lowest-node value 0 while the payoff there is, every node floored after a step of an American.
const ReferenceRules kHvRules = [] {
  ReferenceRules r;
  r.exercise = ReferenceExercise::kFloor;
  return r;
}();

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
    FrameOf setUp(s);
    const auto& o = setUp.o;
    AdiFrame& fr = setUp.fr;
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

// The implicit corrections solve (I - theta dt' A1) Y = rhs - theta dt' A1 prev and the same
// for A2, with A1 and A2 written out from their definitions (the v = 0 row of A2 keeps its third
// entry and is solved without the elimination), and the slope jump at the last asset node.
TEST(AdiFrame, ImplicitCorrectionsSolveTheOneDirectionalSystems) {
  for (const FrameCase& s : kOperatorSetups) {
    FrameOf setUp(s);
    const auto& o = setUp.o;
    AdiFrame& fr = setUp.fr;
    const int N = fr.N, NV = fr.NV;
    const double theta = 0.3, dts = 0.05, jump = -0.02;
    fr.setUpImplicitSystems(theta, dts);
    const ReferenceScheme ref(*o, fr.S, fr.V, kHvRules);
    DenseMatrix prev(NV + 1, N + 1, 0.0), rhs(NV + 1, N + 1, 0.0), out(NV + 1, N + 1, 0.0);
    ReferenceScheme::Level P(NV + 1, std::vector<double>(N + 2, 0.0)), Rh = P, X = P;
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
    const ReferenceStart start = smoothedStart(*o, false);
    const ReferenceScheme ref(*o, start.X, start.V, kHvRules);
    const ReferenceScheme::Level U =
        ref.run(ReferenceStep::kHundsdorferVerwer, start.payoff, s.methodID == 4);
    expectSolveMatchesReference(values, price, U, start, o->S0, o->v0, s.label);
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
