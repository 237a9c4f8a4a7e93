// The sparse whole-operator assembly against the ADI frame's explicit operator on the same grids:
// A = w I - dt L must reproduce x - dt L x for w = 1, and the right-hand-side weights of the
// dropped columns must carry the S = 0 value and the far-field slope exactly as the frame's
// operator does.
#include "pde2d/operator_assembly.h"

#include <gtest/gtest.h>

#include <Eigen/SparseCore>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <valarray>
#include <vector>

#include "core/dense_matrix.h"
#include "core/qel_heston_vanilla.h"
#include "pde2d/adi_frame.h"
#include "pde2d/pde_solve.h"
#include "pde2d/solver_fixtures.h"

namespace serivane {

namespace {

struct AssemblyCase {
  const char* label;
  bool logAsset;
  int model;
  double p;
  double rho;
  int CallPut;
  int NS, NV;
};

// Both operators take the pricer's exponent p (the frame's by the power function, as the
// assembly's for p other than 1).
const AssemblyCase kCases[] = {
    {"asset, model 0, rho < 0", false, 0, 1.0, -0.6, 1, 22, 10},
    {"asset, model 1, rho > 0", false, 1, 1.0, 0.4, 0, 18, 12},
    {"asset, model 1, p = 0.8", false, 1, 0.8, -0.5, 1, 20, 10},
    {"log asset, model 0, rho < 0", true, 0, 1.0, -0.8, 1, 20, 11},
    {"log asset, model 1, p = 0.8", true, 1, 0.8, -0.3, 0, 24, 9},
};

std::unique_ptr<QelHestonVanilla> makeObject(const AssemblyCase& c, double rho) {
  solver_fixtures::Option opt;
  opt.T = 0.5;
  opt.CallPut = c.CallPut;
  opt.r = 0.04;
  opt.d = 0.015;
  return solver_fixtures::makePricer(
      {0.05, 0.04, 1.8, 0.7, rho}, opt, c.NS, c.NV, 10, c.logAsset ? 15 : 1, c.model, c.p);
}

FrameLayout layoutOf(const AssemblyCase& c) {
  FrameLayout l;
  l.logAsset = c.logAsset;
  return l;
}

// A frame set up on the case's grids, with the pricer it reads.
struct FrameOnGrid {
  std::unique_ptr<QelHestonVanilla> obj;
  PDESolveResults res;
  double cpu = 0.0;
  PDESolveArgs args;
  std::unique_ptr<AdiFrame> frame;

  FrameOnGrid(const AssemblyCase& c, double rho)
      : obj(makeObject(c, rho)), args{obj.get(), &res, &cpu} {
    frame = std::make_unique<AdiFrame>(args, layoutOf(c));
    frame->setUp();
  }

  std::vector<Eigen::Triplet<double>> triplets(bool logAsset, double dt, int opKind) const {
    const AdiFrame& f = *frame;
    std::vector<Eigen::Triplet<double>> t;
    std::int64_t status = -1;
    if (logAsset) {
      assembleOperatorLogS(*obj,
                           t,
                           f.alphaM,
                           f.alphaP,
                           f.alpha0,
                           f.betaM,
                           f.betaP,
                           f.beta0,
                           f.h,
                           f.k,
                           f.gammaM,
                           f.gammaP,
                           f.gamma0,
                           f.deltaM,
                           f.deltaP,
                           f.delta0,
                           f.c0,
                           f.c1,
                           f.c2,
                           dt,
                           opKind,
                           status);
    } else {
      assembleOperatorS(*obj,
                        t,
                        f.alphaM,
                        f.alphaP,
                        f.alpha0,
                        f.betaM,
                        f.betaP,
                        f.beta0,
                        f.h,
                        f.k,
                        f.gammaM,
                        f.gammaP,
                        f.gamma0,
                        f.deltaM,
                        f.deltaP,
                        f.delta0,
                        f.c0,
                        f.c1,
                        f.c2,
                        dt,
                        opKind,
                        status);
    }
    EXPECT_EQ(status, 0);
    return t;
  }

  Eigen::SparseMatrix<double> matrix(bool logAsset, double dt, int opKind) const {
    const auto t = triplets(logAsset, dt, opKind);
    const int n = frame->N * frame->NV;
    Eigen::SparseMatrix<double> A(n, n);
    A.setFromTriplets(t.begin(), t.end());
    A.makeCompressed();
    return A;
  }
};

}  // namespace

// For w = 1 and dt = 1, A x = x - L x. The frame's operator F, evaluated on a level that holds x
// on the solution nodes, the S = 0 value b in column 0 and the slope g beyond Smax, is
// L x + b (dropped S = 0 coefficients) + g (far-field coefficients); the two must agree at every
// solution node.
TEST(OperatorAssembly, MatchesTheFrameOperatorWithItsBoundaryTerms) {
  for (const AssemblyCase& c : kCases) {
    const FrameOnGrid s(c, c.rho);
    const AdiFrame& f = *s.frame;
    const int N = f.N, NV = f.NV;
    ASSERT_EQ(s.obj->NS, N) << c.label;
    ASSERT_EQ(s.obj->NV, NV) << c.label;
    const Eigen::SparseMatrix<double> A = s.matrix(c.logAsset, 1.0, 0);
    const BoundaryWeights bw =
        c.logAsset
            ? boundaryWeightsLogS(*s.obj, f.alphaM, f.alphaP, f.betaM, f.h, f.k, f.S[N], f.sGhost)
            : boundaryWeightsS(*s.obj, f.alphaM, f.alphaP, f.betaM, f.h, f.k);

    // A smooth field plus deterministic noise, so that every coefficient is exercised.
    Eigen::VectorXd x(N * NV);
    DenseMatrix level(NV + 1, N + 1, 0.0);
    std::uint32_t seed = 12345u;
    const double b = 7.25, g = 0.6;
    for (int j = 0; j <= NV; ++j) {
      level[j][0] = b;
      for (int i = 1; i <= N; ++i) {
        seed = seed * 1664525u + 1013904223u;
        const double noise = (seed >> 8) * (1.0 / 16777216.0) - 0.5;
        const double u = (j < NV) ? 50.0 * std::sin(0.3 * i + 0.7 * j) + 10.0 * noise : 0.0;
        if (j < NV) {
          level[j][i] = u;
          x[j * N + i - 1] = u;
        }
      }
    }
    for (int i = 0; i <= N; ++i) level[NV][i] = level[NV - 1][i];
    DenseMatrix Fx(NV + 1, N + 1, 0.0);
    f.applyF(level, g, nullptr, 1.0, Fx);
    const Eigen::VectorXd Ax = A * x;

    double scale = 0.0;
    for (int j = 0; j < NV; ++j)
      for (int i = 1; i <= N; ++i) scale = std::max(scale, std::fabs(Fx[j][i]));
    for (int j = 0; j < NV; ++j) {
      for (int i = 1; i <= N; ++i) {
        const int row = j * N + i - 1;
        double expected = x[row] - Ax[row];
        if (i == 1) expected += b * bw.zeroColumn[j];
        if (i == N) expected += g * bw.farField[j];
        EXPECT_NEAR(Fx[j][i], expected, 1e-11 * scale)
            << c.label << ", node (" << i << ", " << j << ")";
      }
    }
  }
}

// The sparsity pattern depends on NS and NV only: rho = 0 (zero cross entries), other steps and
// other scheme weights append the same positions in the same order, and the scheme weight only
// moves the diagonal (3/2 for BDF2, 11/6 for BDF3 and any other kind).
TEST(OperatorAssembly, PatternIsFixedAndTheSchemeWeightOnlyMovesTheDiagonal) {
  for (const AssemblyCase& c : kCases) {
    const FrameOnGrid s(c, c.rho), s0(c, 0.0);
    const auto ref = s.triplets(c.logAsset, 0.01, 0);
    const auto zeroRho = s0.triplets(c.logAsset, 0.01, 0);
    const auto bdf2 = s.triplets(c.logAsset, 0.37, 6);
    ASSERT_EQ(ref.size(), zeroRho.size()) << c.label;
    ASSERT_EQ(ref.size(), bdf2.size()) << c.label;
    for (std::size_t m = 0; m < ref.size(); ++m) {
      EXPECT_TRUE(ref[m].row() == zeroRho[m].row() && ref[m].col() == zeroRho[m].col() &&
                  ref[m].row() == bdf2[m].row() && ref[m].col() == bdf2[m].col())
          << c.label << ", entry " << m;
    }
    // Bounds of the row count: at most 7 entries a row.
    const int N = s.frame->N, NV = s.frame->NV;
    EXPECT_LE(ref.size(), static_cast<std::size_t>(7 * N * NV)) << c.label;

    const double dt = 0.02;
    const Eigen::SparseMatrix<double> A0 = s.matrix(c.logAsset, dt, 0);
    struct Kind {
      int opKind;
      double w;
    };
    for (const Kind k : {Kind{6, 1.5}, Kind{3, 11.0 / 6.0}, Kind{9, 11.0 / 6.0}}) {
      const Eigen::SparseMatrix<double> D = s.matrix(c.logAsset, dt, k.opKind) - A0;
      for (int col = 0; col < D.outerSize(); ++col) {
        for (Eigen::SparseMatrix<double>::InnerIterator it(D, col); it; ++it) {
          const double want = it.row() == it.col() ? k.w - 1.0 : 0.0;
          EXPECT_NEAR(it.value(), want, 1e-14) << c.label << ", opKind " << k.opKind;
        }
      }
    }
  }
}

// Every row's coefficients of L sum to -r (the axis weights sum to 0, c0 + c1 + c2 = 0, the cross
// pair -c - c + 2c): rows that drop no entry sum to w + dt r; no row reaches the S = 0 column or
// the top variance node (all columns lie inside the solution nodes).
TEST(OperatorAssembly, RowsWithAllTheirNeighboursSumToTheSchemeWeightPlusDiscounting) {
  for (const AssemblyCase& c : kCases) {
    const FrameOnGrid s(c, c.rho);
    const int N = s.frame->N, NV = s.frame->NV;
    const double dt = 0.05, r = s.obj->r;
    const Eigen::SparseMatrix<double, Eigen::RowMajor> A = s.matrix(c.logAsset, dt, 6);
    for (int j = 1; j < NV - 1; ++j) {
      for (int i = 2; i < N; ++i) {
        const int row = j * N + i - 1;
        double sum = 0.0, mag = 0.0;
        for (Eigen::SparseMatrix<double, Eigen::RowMajor>::InnerIterator it(A, row); it; ++it) {
          sum += it.value();
          mag += std::fabs(it.value());
        }
        EXPECT_NEAR(sum, 1.5 + dt * r, 1e-12 * mag)
            << c.label << ", node (" << i << ", " << j << ")";
      }
    }
  }
}

}  // namespace serivane
