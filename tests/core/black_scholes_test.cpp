#include "core/black_scholes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "core/brent.h"

namespace serivane {

namespace {

double normalCdfReference(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }

// Counts how often the root finder asks for a value.
template <class F>
struct Counting {
  F f;
  mutable int calls = 0;
  double operator()(double x) const {
    ++calls;
    return f(x);
  }
};
template <class F>
Counting<F> counting(F f) {
  return Counting<F>{f};
}

std::string brentMessage(double (*f)(double), double x1, double x2) {
  try {
    brentSolve(f, x1, x2, 1e-12);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

}  // namespace

TEST(CumNorm, MatchesErfcOverTheWholeRange) {
  double worst = 0.0;
  for (double x = -37.0; x <= 37.0; x += 0.001) {
    worst = std::max(worst, std::abs(cumNorm(x) - normalCdfReference(x)));
  }
  EXPECT_LT(worst, 1e-14);
  // Around the switch to the continued fraction, on both sides.
  for (double x : {7.07106781186546, 7.07106781186547, 7.07106781186548, -7.07106781186547}) {
    EXPECT_NEAR(cumNorm(x), normalCdfReference(x), 1e-15) << x;
    // The four-term continued fraction of the far tail is accurate to a few parts in 1e9.
    EXPECT_NEAR(cumNorm(x) / normalCdfReference(x), 1.0, 1e-8) << x;
  }
}

TEST(CumNorm, SpecialPoints) {
  EXPECT_EQ(cumNorm(0.0), 0.5);
  EXPECT_EQ(cumNorm(-37.5), 0.0);
  EXPECT_EQ(cumNorm(37.5), 1.0);
  EXPECT_EQ(cumNorm(-std::numeric_limits<double>::infinity()), 0.0);
  EXPECT_EQ(cumNorm(std::numeric_limits<double>::infinity()), 1.0);
  EXPECT_EQ(cumNorm(std::numeric_limits<double>::quiet_NaN()), 0.0);
  // The lower tail keeps relative accuracy far out.
  EXPECT_NEAR(cumNorm(-20.0) / normalCdfReference(-20.0), 1.0, 1e-10);
}

TEST(BsmPrice, PutCallParityAndKnownValue) {
  // Hull's textbook example: S 42, K 40, r 10%, sigma 20%, T 0.5: call 4.7594, put 0.8086.
  EXPECT_NEAR(bsmPrice(42, 40, 0.1, 0.0, 0.2, 0.5, 0), 4.7594, 1e-4);
  EXPECT_NEAR(bsmPrice(42, 40, 0.1, 0.0, 0.2, 0.5, 1), 0.8086, 1e-4);
  for (double K : {50.0, 100.0, 170.0}) {
    for (double T : {0.01, 1.0, 7.0}) {
      const double S = 100, r = 0.04, d = 0.015, sigma = 0.3;
      const double parity = S * std::exp(-d * T) - K * std::exp(-r * T);
      EXPECT_NEAR(
          bsmPrice(S, K, r, d, sigma, T, 0) - bsmPrice(S, K, r, d, sigma, T, 1), parity, 1e-12 * S)
          << "K=" << K << " T=" << T;
    }
  }
  // Any non-zero isPut is a put.
  EXPECT_EQ(bsmPrice(100, 90, 0.01, 0, 0.2, 1, 7), bsmPrice(100, 90, 0.01, 0, 0.2, 1, 1));
}

TEST(BsmPrice, DegenerateInputs) {
  // sigma = 0 is priced at 1e-10: the discounted intrinsic value of the forward.
  EXPECT_EQ(bsmPrice(100, 90, 0.05, 0.01, 0.0, 1.0, 0),
            bsmPrice(100, 90, 0.05, 0.01, 1e-10, 1.0, 0));
  EXPECT_NEAR(bsmPrice(100, 90, 0.05, 0.01, 0.0, 1.0, 0),
              100 * std::exp(-0.01) - 90 * std::exp(-0.05),
              1e-12);
  EXPECT_EQ(bsmPrice(100, 90, 0.05, 0.01, 0.0, 1.0, 1), 0.0);
  // T = 0: the intrinsic value; at the money d1 is NaN and the price 0.
  EXPECT_EQ(bsmPrice(100, 90, 0.05, 0.0, 0.2, 0.0, 0), 10.0);
  EXPECT_EQ(bsmPrice(100, 90, 0.05, 0.0, 0.2, 0.0, 1), 0.0);
  EXPECT_EQ(bsmPrice(80, 90, 0.05, 0.0, 0.2, 0.0, 1), 10.0);
  EXPECT_EQ(bsmPrice(100, 100, 0.05, 0.0, 0.2, 0.0, 0), 0.0);
}

TEST(ImpliedVol, BrentRecoversTheVolatilityOverATable) {
  int checked = 0;
  for (double moneyness : {0.6, 0.85, 1.0, 1.2, 1.6}) {
    for (double T : {0.02, 0.25, 1.0, 5.0, 10.0}) {
      for (double sigma : {0.03, 0.15, 0.4, 1.0, 1.9}) {
        for (int isPut : {0, 1}) {
          const double S = 100.0, K = S * moneyness, r = 0.03, d = 0.01;
          // Only where the price carries the volatility: vega large against the price's rounding.
          const double d1 =
              (std::log(S / K) + (r - d + sigma * sigma / 2) * T) / (sigma * std::sqrt(T));
          const double vega = S * std::exp(-d * T) * std::sqrt(T) * std::exp(-d1 * d1 / 2) / 2.5066;
          if (vega < 1e-3) continue;
          const double price = bsmPrice(S, K, r, d, sigma, T, isPut);
          const ImpliedVolFunctor f{S, K, T, r, d, price, isPut};
          EXPECT_NEAR(brentSolve(f, 1e-6, 2.0, 1e-16), sigma, 1e-10)
              << "K/S=" << moneyness << " T=" << T << " sigma=" << sigma << " put=" << isPut;
          ++checked;
        }
      }
    }
  }
  EXPECT_GT(checked, 150);
}

TEST(ImpliedVol, FunctorIsZeroAtNonPositiveVolatility) {
  const ImpliedVolFunctor f{100, 100, 1, 0.02, 0, 5.0, 0};
  EXPECT_EQ(f(0.0), 0.0);
  EXPECT_EQ(f(-0.3), 0.0);
  EXPECT_EQ(f(0.2), bsmPrice(100, 100, 0.02, 0, 0.2, 1, 0) - 5.0);
  // So a lower end at or below zero is returned at once as a root.
  auto c = counting(f);
  EXPECT_EQ(brentSolve(c, -1.0, 2.0, 1e-16), -1.0);
  EXPECT_EQ(c.calls, 2);
}

TEST(Brent, PricesOutsideTheBracketFailAfterTwoEvaluations) {
  const double S = 100, K = 100, T = 1, r = 0.02, d = 0.0;
  const double above = bsmPrice(S, K, r, d, 2.0, T, 0) * 1.01;
  const double below = bsmPrice(S, K, r, d, 1e-6, T, 0) * 0.99;
  for (double price : {above, below}) {
    auto f = counting(ImpliedVolFunctor{S, K, T, r, d, price, 0});
    try {
      brentSolve(f, 1e-6, 2.0, 1e-16);
      ADD_FAILURE() << "no exception for price " << price;
    } catch (const std::exception& e) {
      EXPECT_STREQ(e.what(), "Root must be bracketed in Brent solver");
    }
    EXPECT_EQ(f.calls, 2);
  }
}

TEST(Brent, ChosenRootsAndEndpoints) {
  struct Case {
    const char* label;
    double (*f)(double);
    double x1, x2, root, tol;
  };
  const Case cases[] = {
      {"simple", [](double x) { return x * x - 2.0; }, 0.0, 3.0, std::sqrt(2.0), 1e-14},
      {"triple root", [](double x) { return std::pow(x - 1.0, 3); }, 0.0, 2.5, 1.0, 1e-5},
      {"steep",
       [](double x) { return std::exp(20.0 * x) - 1e5; },
       0.0,
       2.0,
       std::log(1e5) / 20.0,
       1e-13},
      {"flat then steep",
       [](double x) { return std::pow(x, 9) - 0.5; },
       0.0,
       1.5,
       std::pow(0.5, 1.0 / 9.0),
       1e-13},
      {"root at upper end", [](double x) { return x - 2.0; }, 0.0, 2.0, 2.0, 0.0},
      {"root at lower end", [](double x) { return x - 0.5; }, 0.5, 2.0, 0.5, 0.0},
  };
  for (const Case& c : cases) {
    EXPECT_NEAR(brentSolve(c.f, c.x1, c.x2, 1e-15), c.root, c.tol) << c.label;
  }
  // A root exactly at an end is found in the first iteration: x2 directly, x1 after the exchange.
  auto upper = counting([](double x) { return x - 2.0; });
  EXPECT_EQ(brentSolve(upper, 0.0, 2.0, 1e-15), 2.0);
  EXPECT_EQ(upper.calls, 2);
  auto lower = counting([](double x) { return x - 0.5; });
  EXPECT_EQ(brentSolve(lower, 0.5, 2.0, 1e-15), 0.5);
  EXPECT_EQ(lower.calls, 2);
}

TEST(Brent, Failures) {
  EXPECT_EQ(brentMessage([](double x) { return (x - 1) * (x - 1); }, 0.0, 3.0),
            "Root must be bracketed in Brent solver");  // a double root: no sign change
  EXPECT_EQ(brentMessage([](double) { return std::nan(""); }, 0.0, 1.0),
            "Function value is not a number in Brent solver");
  EXPECT_EQ(brentMessage([](double x) { return x > 0.5 ? std::nan("") : -1.0; }, 0.0, 0.6),
            "Function value is not a number in Brent solver");
  // A NaN target price cannot be mistaken for a root at the upper end.
  const ImpliedVolFunctor nanPrice{100, 100, 1, 0.0, 0.0, std::nan(""), 0};
  EXPECT_THROW(brentSolve(nanPrice, 1e-6, 2.0, 1e-16), std::runtime_error);
  // Exceptions of the functor pass through unchanged.
  EXPECT_EQ(
      brentMessage([](double) -> double { throw std::runtime_error("from functor"); }, 0.0, 1.0),
      "from functor");
}

// The price range holds every Black-Scholes-Merton price, and its ends are the prices at volatility
// towards 0 and towards infinity: a put's upper end is reached by no finite volatility but
// approached, a call's likewise.
TEST(EuropeanPriceRange, HoldsEveryBsmPriceAndIsReachedAtItsEnds) {
  for (const int put : {0, 1}) {
    for (const double K : {50.0, 100.0, 200.0}) {
      const PriceRange range = europeanPriceRange(100.0, K, 2.0, 0.05, -0.02, put);
      for (const double vol : {1e-6, 0.1, 0.5, 2.0}) {
        const double p = bsmPrice(100.0, K, 0.05, -0.02, vol, 2.0, put);
        EXPECT_GE(p, range.lower - 1e-12) << put << " " << K << " " << vol;
        EXPECT_LE(p, range.upper + 1e-12) << put << " " << K << " " << vol;
      }
      EXPECT_NEAR(bsmPrice(100.0, K, 0.05, -0.02, 1e-6, 2.0, put), range.lower, 1e-9);
      EXPECT_NEAR(bsmPrice(100.0, K, 0.05, -0.02, 50.0, 2.0, put), range.upper, 1e-6 * range.upper);
    }
  }
}

}  // namespace serivane
