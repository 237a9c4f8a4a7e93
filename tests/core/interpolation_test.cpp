#include "core/interpolation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace serivane {

namespace {

std::vector<double> range(int n, double x0, double dx) {
  std::vector<double> v(n);
  for (int i = 0; i < n; ++i) v[i] = x0 + dx * i;
  return v;
}

template <class F>
void expectThrowsMessage(F&& f, const std::string& message) {
  try {
    f();
    ADD_FAILURE() << "no exception, expected \"" << message << "\"";
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what()), message);
  }
}

}  // namespace

TEST(Locate, WindowStartsOnAscendingNodes) {
  const std::vector<double> x = range(10, 0.0, 1.0);
  const std::vector<double> y(10, 0.0);
  struct Case {
    double x;
    int window;
  };
  const Case cases[] = {
      {4.5, 2}, {-1.0, 0}, {20.0, 4}, {4.0, 2}, {0.0, 0}, {9.0, 4}, {6.2, 4}, {2.9, 0}};
  for (const Case& c : cases) {
    Poly_interp p(x, y, 6);
    EXPECT_EQ(p.locate(c.x), c.window) << "locate x=" << c.x;
    Poly_interp q(x, y, 6);
    q.savedIndex = 7;
    EXPECT_EQ(q.hunt(c.x), c.window) << "hunt x=" << c.x;
  }
}

TEST(Locate, DescendingNodesMirrorAscendingOnes) {
  std::vector<double> x = range(10, 9.0, -1.0);
  const std::vector<double> y(10, 0.0);
  Poly_interp p(x, y, 4);
  // x = 4.5 lies between nodes 4 (value 5) and 5 (value 4): jl = 4, window 4 - 1 = 3.
  EXPECT_EQ(p.locate(4.5), 3);
  EXPECT_EQ(p.locate(100.0), 0);
  EXPECT_EQ(p.locate(-100.0), 6);
}

TEST(Hunt, AgreesWithLocateForAnySequence) {
  // Clustered, non-uniform nodes, and a random walk of query points that also leaves the table.
  std::vector<double> x(40);
  for (int i = 0; i < 40; ++i) x[i] = std::sinh(0.1 * (i - 20));
  const std::vector<double> y(40, 0.0);
  for (int order : {2, 3, 6}) {
    Poly_interp byLocate(x, y, order), byHunt(x, y, order);
    std::mt19937 gen(5);
    std::normal_distribution<double> step(0.0, 0.3);
    double q = 0.0;
    for (int k = 0; k < 500; ++k) {
      q += step(gen);
      if (k % 97 == 0) q = x[k % 40];  // land exactly on nodes too
      const int expected = byLocate.locate(q);
      EXPECT_EQ(byHunt.hunt(q), expected) << "order " << order << " step " << k << " x=" << q;
      EXPECT_EQ(byHunt.correlated, byLocate.correlated);
      EXPECT_EQ(byHunt.savedIndex, byLocate.savedIndex);
    }
  }
}

TEST(Locate, SizeErrors) {
  const std::vector<double> x = range(5, 0.0, 1.0), y(5, 0.0);
  const std::vector<double> one = range(1, 0.0, 1.0);
  struct Case {
    const char* label;
    const std::vector<double>* nodes;
    int order;
  };
  const Case cases[] = {{"one point", &one, 2}, {"order 1", &x, 1}, {"order above points", &x, 6}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Poly_interp p(c.nodes->data(), y.data(), static_cast<int>(c.nodes->size()), c.order);
    expectThrowsMessage([&] { p.locate(0.5); }, "locate size error");
    expectThrowsMessage([&] { p.hunt(0.5); }, "hunt size error");
  }
}

TEST(PolyInterp, ReproducesPolynomialsBelowItsOrder) {
  std::vector<double> x(12);
  for (int i = 0; i < 12; ++i) x[i] = 0.3 * i + 0.05 * i * i;  // non-uniform
  for (int order : {2, 4, 6}) {
    // Degree order - 1: exact.
    std::vector<double> y(12);
    auto poly = [order](double t) {
      double v = 0.0;
      for (int k = 0; k < order; ++k) v = v * t + (k + 1) * (k % 2 ? -0.5 : 1.0);
      return v;
    };
    for (int i = 0; i < 12; ++i) y[i] = poly(x[i]);
    Poly_interp p(x, y, order);
    for (double t : {0.0, 0.77, 1.5, 3.1, 6.6, 9.9}) {
      const int j = p.locate(t);
      EXPECT_NEAR(p.interpolateAt(j, t), poly(t), 1e-10 * (1.0 + std::abs(poly(t))))
          << "order " << order << " t=" << t;
    }
  }
}

TEST(PolyInterp, ErrorEstimateIsTheLastCorrection) {
  // Interpolating exp with more points shrinks the error, and the estimate bounds its size.
  std::vector<double> x = range(10, 0.0, 0.25), y(10);
  for (int i = 0; i < 10; ++i) y[i] = std::exp(x[i]);
  Poly_interp p(x, y, 5);
  const double t = 1.13;
  const double v = p.interpolateAt(p.locate(t), t);
  EXPECT_LT(std::abs(v - std::exp(t)), 10.0 * std::abs(p.errorEstimate));
  EXPECT_GT(std::abs(p.errorEstimate), 0.0);
}

TEST(PolyInterp, RepeatedAbscissaeRaise) {
  const std::vector<double> x{0.0, 1.0, 1.0, 2.0}, y{0.0, 1.0, 1.0, 4.0};
  Poly_interp p(x, y, 4);
  expectThrowsMessage([&] { p.interpolateAt(0, 0.5); }, "Poly_interp error");
}

TEST(Grid2DInterp, ExactOnPolynomialsBelowItsOrdersAndAtNodes) {
  const int m = 15, n = 11;
  std::vector<double> s(m), v(n);
  for (int i = 0; i < m; ++i) s[i] = 100.0 * std::exp(0.15 * (i - 7));
  for (int j = 0; j < n; ++j) v[j] = 0.01 * j * j + 0.002 * j;
  // Degree 5 in each variable, with a mixed term: exact for orders 6 x 6.
  auto f = [](double a, double b) {
    const double x = a / 100.0;
    return 1.0 + x - 0.3 * x * x * x + 0.01 * std::pow(x, 5) + 2.0 * b - 7.0 * b * b * b +
           3.0 * std::pow(b, 5) + x * x * b * b;
  };
  DenseMatrix values(m, n, 0.0);
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < n; ++j) values[i][j] = f(s[i], v[j]);
  Grid2D_interp g(s, v, values, 6, 6);

  EXPECT_DOUBLE_EQ(g.interp(s[7], v[4]), values[7][4]);
  EXPECT_EQ(g.axis1.correlated, 0);  // the first search is a plain bisection
  for (double a : {90.0, 100.0, 104.5, 131.0, 52.0}) {
    for (double b : {0.0, 0.03, 0.047, 0.5, 0.9}) {
      EXPECT_NEAR(g.interp(a, b), f(a, b), 1e-9 * (1.0 + std::abs(f(a, b))))
          << "at (" << a << ", " << b << ")";
    }
  }
}

TEST(Grid2DInterp, SecondNearbyCallUsesHuntAndAgrees) {
  std::vector<double> s = range(20, 0.0, 1.0), v = range(8, 0.0, 0.1);
  DenseMatrix values(20, 8, 0.0);
  for (int i = 0; i < 20; ++i)
    for (int j = 0; j < 8; ++j) values[i][j] = std::sin(0.3 * s[i]) * std::cos(2.0 * v[j]);
  Grid2D_interp g(s, v, values, 6, 6);
  const double first = g.interp(10.2, 0.33);
  ASSERT_EQ(g.axis1.correlated, 0);
  const double again = g.interp(10.2, 0.33);
  EXPECT_EQ(g.axis1.correlated, 1);  // the same cell again: the next search hunts
  EXPECT_EQ(again, first);
  const double near = g.interp(10.9, 0.35);
  EXPECT_NEAR(near, std::sin(0.3 * 10.9) * std::cos(0.7), 1e-5);
}

TEST(Grid2DInterp, RefusesAMatrixSmallerThanTheGrid) {
  std::vector<double> s = range(10, 0.0, 1.0), v = range(8, 0.0, 0.1);
  DenseMatrix values(9, 8, 0.0);
  EXPECT_THROW(Grid2D_interp(s, v, values, 6, 6), std::invalid_argument);
}

}  // namespace serivane
