#include "core/tridiag.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <random>
#include <valarray>

namespace serivane {

namespace {

struct System {
  std::valarray<double> a, b, c, r;
};

// A random diagonally dominant system of size N, as the PDE solvers produce.
System randomSystem(int N, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> off(-1.0, 1.0);
  System s{std::valarray<double>(0.0, N + 1),
           std::valarray<double>(0.0, N + 1),
           std::valarray<double>(0.0, N + 1),
           std::valarray<double>(0.0, N + 1)};
  for (int i = 1; i <= N; ++i) {
    s.a[i] = i > 1 ? off(gen) : 0.0;
    s.c[i] = i < N ? off(gen) : 0.0;
    s.b[i] = 2.5 + off(gen);
    s.r[i] = 10.0 * off(gen);
  }
  return s;
}

}  // namespace

TEST(TriDiag, AgreesWithDenseLuForManyRightHandSides) {
  for (int N : {1, 2, 3, 10, 200}) {
    System s = randomSystem(N, 17u + N);
    std::valarray<double> l(0.0, N + 1), u(0.0, N + 1), d(0.0, N + 1);
    triDiagFactorize(N, s.a, s.b, s.c, l, u, d);

    Eigen::MatrixXd A = Eigen::MatrixXd::Zero(N, N);
    for (int i = 1; i <= N; ++i) {
      A(i - 1, i - 1) = s.b[i];
      if (i > 1) A(i - 1, i - 2) = s.a[i];
      if (i < N) A(i - 1, i) = s.c[i];
    }
    Eigen::PartialPivLU<Eigen::MatrixXd> lu(A);
    // One factorisation, several right-hand sides.
    for (int rhs = 0; rhs < 3; ++rhs) {
      std::valarray<double> r = s.r * double(rhs + 1) + double(rhs);
      std::valarray<double> x(0.0, N + 1);
      triDiagSolve(N, l, u, d, r, x);
      Eigen::VectorXd e(N);
      for (int i = 1; i <= N; ++i) e(i - 1) = r[i];
      Eigen::VectorXd ref = lu.solve(e);
      for (int i = 1; i <= N; ++i) {
        EXPECT_NEAR(x[i], ref(i - 1), 1e-12 * (1.0 + std::abs(ref(i - 1))))
            << "N=" << N << " rhs=" << rhs << " i=" << i;
      }
      // Solving in place over the right-hand side gives the same result.
      triDiagSolve(N, l, u, d, r, r);
      for (int i = 1; i <= N; ++i) EXPECT_EQ(r[i], x[i]) << "in place, N=" << N << " i=" << i;
    }
  }
}

TEST(TriDiag, SingleEquation) {
  std::valarray<double> a{0.0, 0.0}, b{0.0, 4.0}, c{0.0, 0.0}, l(2), u(2), d(2), r{0.0, 3.0}, x(2);
  triDiagFactorize(1, a, b, c, l, u, d);
  triDiagSolve(1, l, u, d, r, x);
  EXPECT_EQ(x[1], 0.75);
}

TEST(TriDiag, RefusesVectorsShorterThanTheSystem) {
  std::valarray<double> v(0.0, 4), shortv(0.0, 3);
  EXPECT_THROW(triDiagFactorize(4, v, v, v, v, v, shortv), std::invalid_argument);
}

}  // namespace serivane
