#include "core/table_function.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <valarray>

namespace serivane {

namespace {

std::valarray<double> knots(std::initializer_list<double> v) { return std::valarray<double>(v); }

// A cubic and its antiderivative.
double cubic(double t) { return 0.5 * t * t * t - 2.0 * t * t + t + 3.0; }
double cubicIntegral(double t) {
  return 0.125 * t * t * t * t - 2.0 / 3.0 * t * t * t + 0.5 * t * t + 3.0 * t;
}

table_function cubicTable(const std::valarray<double>& x) {
  std::valarray<double> y(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) y[i] = cubic(x[i]);
  return table_function(x, y, false);
}

}  // namespace

TEST(TableFunction, NaturalSplineOnThreeKnots) {
  table_function t(knots({0, 1, 2}), knots({0, 1, 0}), true);
  EXPECT_TRUE(t.dirty);
  EXPECT_DOUBLE_EQ(t.integrate(true), 1.25);
  EXPECT_FALSE(t.dirty);
  EXPECT_DOUBLE_EQ(2.0 * t.b[1], -3.0);  // M_1 = -3
  EXPECT_DOUBLE_EQ(t.b[0], 0.0);         // natural end: M_0 = 0
}

TEST(TableFunction, NotAKnotSplineIsExactOnACubic) {
  // Non-uniform knots: the not-a-knot spline reproduces any cubic, so every integral is exact.
  const std::valarray<double> x = knots({-1.0, -0.4, 0.1, 0.3, 1.2, 1.25, 2.0, 3.5});
  table_function t = cubicTable(x);
  EXPECT_NEAR(t.integrate(true), cubicIntegral(3.5) - cubicIntegral(-1.0), 1e-12);
  struct Case {
    double u, v;
  };
  const Case cases[] = {
      {-0.9, -0.5}, {-0.2, 0.25}, {0.1, 1.2}, {-1.0, 3.5}, {0.7, 3.4}, {1.2, 1.25}};
  for (const Case& c : cases) {
    EXPECT_NEAR(t.integrateBetween(c.u, c.v), cubicIntegral(c.v) - cubicIntegral(c.u), 1e-12)
        << "[" << c.u << ", " << c.v << "]";
  }
  // The spline itself is the cubic on every segment.
  for (int i = 0; i + 1 < t.n; ++i) {
    const double s = 0.37 * t.h[i];
    const double value = ((t.a[i] * s + t.b[i]) * s + t.c[i]) * s + t.d[i];
    EXPECT_NEAR(value, cubic(t.x[i] + s), 1e-12) << "segment " << i;
  }
}

TEST(TableFunction, NotAKnotOnThreeKnotsIsTheParabola) {
  table_function t(knots({0, 1, 3}), knots({1, 2, 10}), false);  // y = x^2 + 1
  EXPECT_NEAR(t.integrate(true), 12.0, 1e-13);
  EXPECT_NEAR(t.integrateBetween(0.5, 2.0), (8.0 / 3 + 2) - (0.125 / 3 + 0.5), 1e-13);
}

TEST(TableFunction, SimpsonRule) {
  // Exact on a cubic with an even number of equal intervals; refuses an odd number.
  std::valarray<double> x(9);
  for (int i = 0; i < 9; ++i) x[i] = 0.25 * i;
  table_function even = cubicTable(x);
  EXPECT_NEAR(even.integrate(false), cubicIntegral(2.0) - cubicIntegral(0.0), 1e-13);
  EXPECT_TRUE(even.dirty);  // the raw values only
  std::valarray<double> xo(8);
  for (int i = 0; i < 8; ++i) xo[i] = 0.25 * i;
  EXPECT_EQ(cubicTable(xo).integrate(false), -999.0);
}

TEST(TableFunction, IntegrateBetweenSpecialCases) {
  const std::valarray<double> x = knots({0.0, 0.5, 1.5, 2.0, 3.0});
  table_function t = cubicTable(x);
  // [x0, x1] exactly: the trapezoid of the raw values, not the spline integral.
  EXPECT_DOUBLE_EQ(t.integrateBetween(0.0, 0.5), (cubic(0.0) + cubic(0.5)) / 2.0 * 0.5);
  EXPECT_EQ(t.integrateBetween(1.1, 1.1), 0.0);
  EXPECT_NEAR(t.integrateBetween(0.0, 3.0), t.integrate(true), 1e-13);
  EXPECT_NEAR(t.integrateBetween(2.0, 3.0), cubicIntegral(3.0) - cubicIntegral(2.0), 1e-12);
  struct Case {
    const char* label;
    double u, v, expected;
  };
  const Case cases[] = {
      {"reversed", 2.0, 1.0, -999.0},
      {"below the table", -0.1, 1.0, -998.0},
      {"above the table", 1.0, 3.01, -998.0},
      {"outside is tested before order", 3.5, 1.0, -998.0},
      {"NaN limit", std::nan(""), 1.0, -998.0},
  };
  for (const Case& c : cases) EXPECT_EQ(t.integrateBetween(c.u, c.v), c.expected) << c.label;
}

TEST(TableFunction, LargeTablesBeyondTenThousandKnots) {
  const int n = 25001;
  std::valarray<double> x(n), y(n);
  for (int i = 0; i < n; ++i) {
    x[i] = i * 1e-3;
    y[i] = std::exp(-x[i]);
  }
  table_function t(x, y, false);
  EXPECT_NEAR(t.integrate(true), 1.0 - std::exp(-25.0), 1e-12);
}

TEST(TableFunction, RefusesInputWithoutASpline) {
  EXPECT_THROW(table_function(knots({0, 1, 2}), knots({0, 1}), false), std::invalid_argument);
  EXPECT_THROW(table_function(knots({0}), knots({0}), false), std::invalid_argument);
  EXPECT_THROW(table_function(knots({0, 1, 1, 2}), knots({0, 1, 2, 3}), false),
               std::invalid_argument);
  EXPECT_THROW(table_function(knots({0, 2, 1}), knots({0, 1, 2}), true), std::invalid_argument);
}

}  // namespace serivane
