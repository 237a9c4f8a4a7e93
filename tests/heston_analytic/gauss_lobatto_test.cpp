#include "heston_analytic/gauss_lobatto.h"

#include <gtest/gtest.h>

#include <boost/function.hpp>
#include <boost/ref.hpp>
#include <cmath>
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>

namespace serivane {

namespace {

// The no-value marker of the accuracies (the largest float).
constexpr double kNoValue = 3.4028234663852886e38;

const std::string kPrefix = "An error occured while calculating the Heston analytic price: ";

// Message of what `run` throws, or "" when it returns.
template <class F>
std::string messageOf(F&& run) {
  try {
    run();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

// Counts its calls: the integrators receive a boost::function holding a reference to it.
struct CountingIntegrand {
  boost::function<double(double)> f;
  mutable long calls = 0;
  double operator()(double x) const {
    ++calls;
    return f(x);
  }
};

TEST(GaussLobattoIntegral, ZeroWidthIntervalIsZeroWithoutCalls) {
  GaussLobattoIntegral integrator(1000, kNoValue, 1e-10, false);
  CountingIntegrand integrand{[](double x) { return std::exp(x); }};
  const boost::function<double(double)> f = boost::cref(integrand);

  integrator(f, 0.0, 1.0);  // leaves a non-zero count behind
  ASSERT_GT(integrator.numberOfEvaluations(), 0u);
  integrand.calls = 0;

  for (double a : {-2.5, 0.0, 0.3, 1e300}) {
    EXPECT_EQ(integrator(f, a, a), 0.0) << "a = " << a;
    EXPECT_EQ(integrand.calls, 0) << "a = " << a;
    EXPECT_EQ(integrator.numberOfEvaluations(), 0u) << "a = " << a;
  }
}

// Closed-form integrals, in the relative mode (the engine's), the absolute mode and with the
// convergence estimate, forwards and backwards.
TEST(GaussLobattoIntegral, ClosedFormIntegralsAndReversedLimits) {
  struct Case {
    const char* label;
    double (*f)(double);
    double a, b;
    double exact;
    double absoluteAccuracy, relativeAccuracy;
    bool useConvergenceEstimate;
    double tolerance;  // on |result - exact|
  };
  const double pi = 3.141592653589793;
  const Case cases[] = {
      {"exp on [0, 1], relative 1e-16",
       [](double x) { return std::exp(x); },
       0.0,
       1.0,
       std::exp(1.0) - 1.0,
       kNoValue,
       1e-16,
       false,
       1e-15},
      {"oscillating cos(20x) on [0, 3], relative 1e-12",
       [](double x) { return std::cos(20.0 * x); },
       0.0,
       3.0,
       std::sin(60.0) / 20.0,
       kNoValue,
       1e-12,
       false,
       1e-13},
      {"Runge 1/(1+25x^2) on [-1, 2], relative 1e-10",
       [](double x) { return 1.0 / (1.0 + 25.0 * x * x); },
       -1.0,
       2.0,
       (std::atan(10.0) + std::atan(5.0)) / 5.0,
       kNoValue,
       1e-10,
       false,
       1e-10},
      {"sqrt on [0, 1] (singular derivative), relative 1e-10",
       [](double x) { return std::sqrt(x); },
       0.0,
       1.0,
       2.0 / 3.0,
       kNoValue,
       1e-10,
       false,
       1e-10},
      {"exp(-x) on [0, 40], absolute 1e-12 only",
       [](double x) { return std::exp(-x); },
       0.0,
       40.0,
       1.0 - std::exp(-40.0),
       1e-12,
       kNoValue,
       false,
       1e-12},
      {"sin on [0, pi], absolute 1e-9 tighter than relative 1e-6",
       [](double x) { return std::sin(x); },
       0.0,
       pi,
       2.0,
       1e-9,
       1e-6,
       false,
       1e-9},
      {"Runge with convergence estimate, relative 1e-10",
       [](double x) { return 1.0 / (1.0 + 25.0 * x * x); },
       -1.0,
       2.0,
       (std::atan(10.0) + std::atan(5.0)) / 5.0,
       kNoValue,
       1e-10,
       true,
       1e-9},
  };
  for (const Case& c : cases) {
    GaussLobattoIntegral integrator(
        1000000, c.absoluteAccuracy, c.relativeAccuracy, c.useConvergenceEstimate);
    const double forward = integrator(c.f, c.a, c.b);
    const std::uint64_t evaluations = integrator.numberOfEvaluations();
    EXPECT_NEAR(forward, c.exact, c.tolerance) << c.label;
    EXPECT_TRUE(integrator.succeeded()) << c.label;

    const double backward = integrator(c.f, c.b, c.a);
    EXPECT_EQ(backward, -forward) << c.label;
    EXPECT_EQ(integrator.numberOfEvaluations(), evaluations) << c.label;
  }
}

// Both local rules integrate cubics exactly (the 4-point Gauss-Lobatto rule to degree 5, its
// Kronrod extension to degree 9), so the first step ends the integration: 13 calls for the
// tolerance, 2 end points, 5 inner points.
TEST(GaussLobattoIntegral, CubicIsExactAfterTheFirstStep) {
  struct Case {
    const char* label;
    double (*f)(double);
    double a, b;
    double exact;
  };
  const Case cases[] = {
      {"x^3 on [0, 1]", [](double x) { return x * x * x; }, 0.0, 1.0, 0.25},
      {"1 - 2x + 3x^2 + 4x^3 on [0, 1]",
       [](double x) { return 1.0 - 2.0 * x + 3.0 * x * x + 4.0 * x * x * x; },
       0.0,
       1.0,
       2.0},
      {"(x - 1)^3 + 2 on [-1, 3]",
       [](double x) { return (x - 1.0) * (x - 1.0) * (x - 1.0) + 2.0; },
       -1.0,
       3.0,
       8.0},
      {"5x^3 - x on [2, 7]", [](double x) { return 5.0 * x * x * x - x; }, 2.0, 7.0, 2958.75},
  };
  for (const Case& c : cases) {
    GaussLobattoIntegral integrator(1000, kNoValue, 1e-10, false);
    const double result = integrator(c.f, c.a, c.b);
    EXPECT_NEAR(result, c.exact, 4e-15 * std::fabs(c.exact)) << c.label;
    EXPECT_EQ(integrator.numberOfEvaluations(), 20u) << c.label;
  }
}

TEST(GaussLobattoIntegral, BudgetOfFifteenOrFewerFails) {
  const std::string expected =
      kPrefix + "Max number of iterations reached in Gauss-Lobatto routine";
  const auto cubic = [](double x) { return x * x * x; };
  for (std::uint64_t budget : {0u, 1u, 14u, 15u}) {
    GaussLobattoIntegral integrator(budget, kNoValue, 1e-10, false);
    EXPECT_EQ(messageOf([&] { integrator(cubic, 0.0, 1.0); }), expected) << "budget " << budget;
  }
  // One more is enough for a cubic, which then uses 4 calls more than the budget.
  GaussLobattoIntegral integrator(16, kNoValue, 1e-10, false);
  EXPECT_NEAR(integrator(cubic, 0.0, 1.0), 0.25, 1e-16);
  EXPECT_EQ(integrator.numberOfEvaluations(), 20u);
  EXPECT_FALSE(integrator.succeeded());
}

TEST(GaussLobattoIntegral, BudgetIsEnforcedOnAHardIntegrand) {
  const std::string expected =
      kPrefix + "Max number of iterations reached in Gauss-Lobatto routine";
  GaussLobattoIntegral integrator(2000, kNoValue, 1e-16, false);
  // Oscillating and singular at 0: far more than 2000 calls to full accuracy.
  const auto f = [](double x) { return std::sin(1.0 / x) / std::sqrt(x); };
  EXPECT_EQ(messageOf([&] { integrator(f, 1e-6, 1.0); }), expected);
  // The test runs before each step's five calls.
  EXPECT_GE(integrator.numberOfEvaluations(), 2000u);
  EXPECT_LE(integrator.numberOfEvaluations(), 2004u);
}

TEST(GaussLobattoIntegral, AllZeroIntegrandGivesZero) {
  GaussLobattoIntegral integrator(1000, kNoValue, 1e-16, false);
  EXPECT_EQ(integrator([](double) { return 0.0; }, -3.0, 5.0), 0.0);
  EXPECT_EQ(integrator.numberOfEvaluations(), 20u);
}

TEST(GaussLobattoIntegral, ZeroEstimateOfANonZeroIntegrandFails) {
  const std::string expected =
      kPrefix +
      "Can not calculate absolute accuracy from relative accuracy in Gauss-Lobatto routine";
  GaussLobattoIntegral integrator(1000, kNoValue, 1e-10, false);
  // Odd about the centre of [-1, 1]: the 13-point value is exactly 0, the values are not.
  EXPECT_EQ(messageOf([&] { integrator([](double x) { return x; }, -1.0, 1.0); }), expected);
}

TEST(GaussLobattoIntegral, NotANumberIsNeverReturned) {
  // A NaN never passes the termination test: the subdivision goes on until the interval holds no
  // more machine numbers or the budget is used up.
  const std::string noMachineNumber =
      kPrefix + "Interval contains no more machine number in Gauss-Lobatto routine";
  const std::string budget = kPrefix + "Max number of iterations reached in Gauss-Lobatto routine";
  const auto nanAbove = [](double x) { return x > 0.7 ? std::nan("") : x; };
  for (std::uint64_t maxEvaluations : {100u, 5000u, 1000000u}) {
    GaussLobattoIntegral integrator(maxEvaluations, kNoValue, 1e-16, false);
    const std::string message = messageOf([&] { integrator(nanAbove, 0.0, 1.0); });
    EXPECT_TRUE(message == noMachineNumber || message == budget)
        << "budget " << maxEvaluations << ": " << message;
  }
}

TEST(GaussLobattoIntegral, IntervalWithoutInnerMachineNumbersFails) {
  const std::string expected =
      kPrefix + "Interval contains no more machine number in Gauss-Lobatto routine";
  GaussLobattoIntegral integrator(1000, kNoValue, 1e-10, false);
  const auto f = [](double x) { return x; };
  for (double a : {1.0, -3.5, 1e10}) {
    const double b = std::nextafter(a, 1e300);
    EXPECT_EQ(messageOf([&] { integrator(f, a, b); }), expected) << "a = " << a;
  }
}

TEST(GaussLobattoIntegral, IntegrandErrorsPassThrough) {
  GaussLobattoIntegral integrator(1000, kNoValue, 1e-10, false);
  const auto throwing = [](double x) -> double {
    if (x > 0.5) throw std::domain_error("integrand failed");
    return x;
  };
  EXPECT_THROW(integrator(throwing, 0.0, 1.0), std::domain_error);
  EXPECT_EQ(messageOf([&] { integrator(throwing, 0.0, 1.0); }), "integrand failed");
  const boost::function<double(double)> empty;
  EXPECT_THROW(integrator(empty, 0.0, 1.0), boost::bad_function_call);
}

TEST(GaussLobattoIntegral, KeepsItsSettings) {
  GaussLobattoIntegral integrator(12345, 1e-7, 1e-9, true);
  EXPECT_EQ(integrator.maxEvaluations(), 12345u);
  EXPECT_EQ(integrator.absoluteAccuracy(), 1e-7);
  EXPECT_EQ(integrator.relativeAccuracy(), 1e-9);
  EXPECT_TRUE(integrator.useConvergenceEstimate());
  EXPECT_EQ(integrator.numberOfEvaluations(), 0u);
  EXPECT_TRUE(integrator.succeeded());
}

}  // namespace

}  // namespace serivane
