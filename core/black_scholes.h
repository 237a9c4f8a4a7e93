#ifndef SERIVANE_CORE_BLACK_SCHOLES_H_
#define SERIVANE_CORE_BLACK_SCHOLES_H_

#include <cstdint>

namespace serivane {

// Standard normal distribution function P(Z <= x): Hart's double-precision rational
// approximation (J. F. Hart et al., "Computer Approximations", 1968) in the form of
// G. West, "Better approximations to cumulative normal functions", Wilmott (2005).
// Absolute error about 1e-15 over the whole line; 0 below -37, 1 above 37.
double cumNorm(double x);

// Black-Scholes-Merton price of a European option with continuously compounded rate r and
// continuous dividend yield d. isPut = 0 gives the call, any other value the put. Note the order:
// sigma comes before T. A volatility of exactly 0 is replaced by 1e-10; T = 0 gives the intrinsic
// value through infinite d1 and d2.
double bsmPrice(double S, double K, double r, double d, double sigma, double T, int isPut);

// The no-arbitrage range of a European option's price at spot S with T years to go: a call in
// [max(S e^-dT - K e^-rT, 0), S e^-dT], a put (isPut non-zero) in [max(K e^-rT - S e^-dT, 0),
// K e^-rT]. The pricers that allow early exercise widen it by their own rules.
struct PriceRange {
  double lower;
  double upper;
};
PriceRange europeanPriceRange(double S, double K, double T, double r, double d, int isPut);

// The volatility at which bsmPrice equals `price` is the root of this functor (see brentSolve).
struct ImpliedVolFunctor {
  double S;
  double K;
  double T;
  double r;
  double d;
  double price;
  std::int32_t isPut;

  // bsmPrice(sigma) - price for sigma > 0, and exactly 0.0 for sigma <= 0.
  double operator()(double sigma) const;
};

}  // namespace serivane

#endif  // SERIVANE_CORE_BLACK_SCHOLES_H_
