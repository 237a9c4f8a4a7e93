#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "levmar/levmar_internal.h"

namespace {

using levmar_internal::LinearSolver;

std::vector<LinearSolver> availableSolvers() {
  return {
#ifndef LM_NO_LAPACK
      LinearSolver::kLapack,
#endif
      LinearSolver::kLu};
}

std::string solverName(LinearSolver solver) {
  return solver == LinearSolver::kLu ? "LU" : "LAPACK";
}

std::vector<double> multiply(int m, const std::vector<double>& a, const std::vector<double>& x) {
  std::vector<double> b(m, 0.0);
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < m; ++j) b[i] += a[i * m + j] * x[j];
  return b;
}

TEST(LinearSolve, DefaultFollowsTheBuild) {
#ifndef LM_NO_LAPACK
  EXPECT_EQ(levmar_internal::defaultLinearSolver(), LinearSolver::kLapack);
#else
  EXPECT_EQ(levmar_internal::defaultLinearSolver(), LinearSolver::kLu);
#endif
}

TEST(LinearSolve, RecoversChosenSolutions) {
  struct Case {
    const char* label;
    int m;
    std::vector<double> a;  // symmetric, row-major
    std::vector<double> x;  // the chosen solution; b = a x
  };
  const std::vector<Case> cases = {
      {"positive definite 3x3", 3, {4, 1, 2, 1, 3, 0, 2, 0, 5}, {1.0, -2.0, 0.5}},
      // A zero diagonal: LU needs a row exchange, Bunch-Kaufman a 2x2 pivot.
      {"indefinite, zero diagonal", 2, {0, 1, 1, 0}, {3.0, -7.0}},
      {"indefinite 3x3", 3, {1, 2, 3, 2, -4, 1, 3, 1, 0.5}, {-1.0, 0.25, 2.0}},
      {"damped rank-one", 2, {1.0 + 1e-3, 1.0, 1.0, 1.0 + 1e-3}, {1.0, 1.0}},
      {"1x1", 1, {2.5}, {4.0}},
  };
  for (LinearSolver solver : availableSolvers()) {
    for (const Case& c : cases) {
      std::vector<double> a = c.a;
      std::vector<double> b = multiply(c.m, c.a, c.x);
      ASSERT_TRUE(levmar_internal::solveSymmetric(solver, c.m, a, b))
          << solverName(solver) << ": " << c.label;
      for (int i = 0; i < c.m; ++i)
        EXPECT_NEAR(b[i], c.x[i], 1e-12 * (1.0 + std::fabs(c.x[i])))
            << solverName(solver) << ": " << c.label << ", entry " << i;
    }
  }
}

TEST(LinearSolve, ReportsSingularAndNonFiniteMatrices) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* label;
    int m;
    std::vector<double> a;
    std::vector<double> b;
  };
  const std::vector<Case> cases = {
      {"zero matrix", 2, {0, 0, 0, 0}, {1, 1}},
      {"exactly singular", 2, {1, 2, 2, 4}, {1, 1}},
      {"zero row and column", 3, {2, 0, 1, 0, 0, 0, 1, 0, 3}, {1, 1, 1}},
      {"NaN entry", 2, {1, nan, nan, 1}, {1, 1}},
      {"infinite entry", 2, {inf, 0, 0, 1}, {1, 1}},
      {"NaN right-hand side", 2, {1, 0, 0, 1}, {nan, 1}},
  };
  for (LinearSolver solver : availableSolvers()) {
    for (const Case& c : cases) {
      std::vector<double> a = c.a;
      std::vector<double> b = c.b;
      EXPECT_FALSE(levmar_internal::solveSymmetric(solver, c.m, a, b))
          << solverName(solver) << ": " << c.label;
    }
  }
}

TEST(PseudoInverse, MatchesTheInverseAndTheRankOneFormula) {
  // Full rank: a a^+ = I.
  const std::vector<double> a = {4, 1, 2, 1, 3, 0, 2, 0, 5};
  int rank = 0;
  const std::vector<double> inv = levmar_internal::pseudoInverseSymmetric(3, a, &rank);
  EXPECT_EQ(rank, 3);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      double sum = 0.0;
      for (int k = 0; k < 3; ++k) sum += a[i * 3 + k] * inv[k * 3 + j];
      EXPECT_NEAR(sum, i == j ? 1.0 : 0.0, 1e-14) << "entry " << i << ", " << j;
    }

  // Rank one, a = v v^T: a^+ = v v^T / |v|^4.
  const double v[3] = {1.0, 2.0, 2.0};  // |v|^2 = 9
  std::vector<double> r1(9);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r1[i * 3 + j] = v[i] * v[j];
  const std::vector<double> pinv = levmar_internal::pseudoInverseSymmetric(3, r1, &rank);
  EXPECT_EQ(rank, 1);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      EXPECT_NEAR(pinv[i * 3 + j], v[i] * v[j] / 81.0, 1e-15) << "entry " << i << ", " << j;

  // Zero matrix: rank 0, zero pseudo-inverse.
  const std::vector<double> zero = levmar_internal::pseudoInverseSymmetric(2, {0, 0, 0, 0}, &rank);
  EXPECT_EQ(rank, 0);
  for (double entry : zero) EXPECT_EQ(entry, 0.0);
}

}  // namespace
