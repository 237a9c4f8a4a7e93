#ifndef SERIVANE_CALIBRATION_PRICING_ERROR_CONTROL_H_
#define SERIVANE_CALIBRATION_PRICING_ERROR_CONTROL_H_

#include <cmath>

namespace serivane {

// The accuracy a model value must reach before the calibration or an objective hands it out:
// half a basis point of implied volatility. The pricers estimate a value's error from the two
// grids of a convergence run and refine the grid while the estimate exceeds it.
inline constexpr double kIVErrorTolerance = 0.5e-4;

// Black-Scholes-Merton vega (d price / d sigma) of a European option with continuous dividend
// yield d; the same for calls and puts. 0 for sigma <= 0 or T <= 0.
inline double bsmVega(double S, double K, double r, double d, double sigma, double T) {
  if (!(sigma > 0.0) || !(T > 0.0) || !(S > 0.0) || !(K > 0.0)) return 0.0;
  const double sqrtT = std::sqrt(T);
  const double d1 = (std::log(S / K) + (r - d + 0.5 * sigma * sigma) * T) / (sigma * sqrtT);
  constexpr double kInvSqrt2Pi = 0.398942280401432677939946059934;
  return S * std::exp(-d * T) * kInvSqrt2Pi * std::exp(-0.5 * d1 * d1) * sqrtT;
}

// A price error expressed in implied volatility at volatility sigma: |priceError| / vega. Infinite
// where the vega vanishes (a price error there says nothing bounded about the volatility).
inline double ivErrorOfPriceError(
    double priceError, double S, double K, double r, double d, double sigma, double T) {
  const double vega = bsmVega(S, K, r, d, sigma, T);
  if (!(vega > 0.0)) return HUGE_VAL;
  return std::fabs(priceError) / vega;
}

}  // namespace serivane

#endif  // SERIVANE_CALIBRATION_PRICING_ERROR_CONTROL_H_
