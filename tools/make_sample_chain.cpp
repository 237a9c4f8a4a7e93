// Writes the sample option chain "OptionsData.txt" in the chain layout: quotes on a realistic
// grid of expirations and strikes, whose implied volatilities are the project's own PDE prices
// under the GARCH diffusion model
//   dS = (r - d) S dt + sqrt(v) S dW1,  dv = kappa (vBar - v) dt + xi v dW2,  d<W1, W2> = rho dt
// at the generating parameters below, computed exactly as the calibration's model function
// computes them (the same grouping, grid sizing, variance bounds and robust strike-list pricer).
// The generating grid is finer than the calibration's, so the chain behaves like market data
// with respect to the calibration's discretisation.
//
//   make_sample_chain [output path]        (default: OptionsData.txt in the current folder)

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "calibration/objectives/model_ivs.h"
#include "calibration/quotes/option_chain.h"
#include "core/black_scholes.h"

namespace serivane {

namespace {

// Generating parameters (GARCH diffusion, p = 1).
constexpr double kV0 = 0.035;    // start variance (18.7% volatility)
constexpr double kVBar = 0.055;  // long-run variance (23.5%)
constexpr double kKappa = 3.0;   // mean-reversion speed
constexpr double kXi = 4.0;      // volatility of variance
constexpr double kRho = -0.65;   // asset-variance correlation
// Market data.
constexpr double kSpot = 100.0;
constexpr double kRate = 0.045;      // continuously compounded rate
constexpr double kDividend = 0.015;  // continuous dividend yield
// Expirations in days, one week to two years. Eight expirations: the calibration prices one
// expiration per thread, and an eight-core machine then has each core busy with one of them.
constexpr double kExpirations[] = {7, 30, 61, 91, 182, 365, 547, 730};
// Strikes per expiration, evenly spaced in log-moneyness from kLowSd standard deviations below the
// forward (deep out-of-the-money puts) to kHighSd above (out-of-the-money calls).
constexpr int kStrikesPerExpiry = 28;
constexpr double kLowSd = 3.5;
constexpr double kHighSd = 2.0;
// The quotes keep strikes whose price is above this fraction of the spot (8 cents on a spot of
// 100, about the cheapest option a market quotes with a meaningful implied volatility; the chain
// checks need only 1e-5).
constexpr double kMinPriceFraction = 8e-4;

double roundTo(double x, double step) { return std::round(x / step) * step; }

// Quotes with strikes evenly spaced in log-moneyness between low[e] and high[e] standard
// deviations around the forward of each expiration e, rounded to a listed strike step; the
// expirations are held in years while pricing.
std::vector<OptionQuote> makeQuotes(const std::vector<double>& low,
                                    const std::vector<double>& high,
                                    int count) {
  std::vector<OptionQuote> quotes;
  for (std::size_t e = 0; e < std::size(kExpirations); ++e) {
    const double T = kExpirations[e] / 365.0;
    const double sd = std::sqrt(kVBar * T);
    // Strike step of a listed chain: finer for short expirations.
    const double step = T < 0.05 ? 0.25 : (T < 0.3 ? 0.5 : (T < 1.1 ? 1.0 : 2.5));
    double last = -1.0;
    for (int i = 0; i < count; ++i) {
      const double z = low[e] + (high[e] - low[e]) * i / (count - 1);
      const double K = roundTo(kSpot * std::exp((kRate - kDividend) * T + z * sd), step);
      if (K <= last || K < 0.25 * kSpot) continue;
      last = K;
      OptionQuote q{};
      q.index = static_cast<int>(quotes.size());
      q.marketIV = std::sqrt(kVBar);
      q.spot = kSpot;
      q.strike = K;
      q.expirationDays = T;
      q.rate = kRate;
      q.dividendYield = kDividend;
      q.putFlag = kSpot > K ? 1 : 0;
      quotes.push_back(q);
    }
  }
  return quotes;
}

// The grid sizing of each expiration depends on its cheapest market price: iterate until the
// implied volatilities reproduce themselves.
void priceQuotes(std::vector<OptionQuote>& quotes, const double* p, const CalibrationSettings& s) {
  for (int pass = 0; pass < 3; ++pass) {
    const std::vector<double> ivs = modelIVsOfQuotes(quotes, p, s);
    for (std::size_t i = 0; i < quotes.size(); ++i) quotes[i].marketIV = ivs[i];
  }
}

// A quote is kept when its model price is above the floor.
bool quoted(const OptionQuote& q) {
  const double price =
      bsmPrice(q.spot, q.strike, q.rate, q.dividendYield, q.marketIV, q.expirationDays, q.putFlag);
  return q.marketIV > 0.0 && price >= kMinPriceFraction * kSpot;
}

}  // namespace

}  // namespace serivane

int main(int argc, char** argv) {
  using namespace serivane;
  const std::string path = argc > 1 ? argv[1] : "OptionsData.txt";
  const double p[5] = {kV0, kVBar, kKappa, kXi, kRho};
  // The generating grid: twice the calibration's speed grid in each direction, 4x the steps.
  const CalibrationSettings settings{120, 60, 120, 2, 2, 1, 1, 1, 1};

  // First a wide fan of strikes per expiration, to find where the prices stay above the floor;
  // then kStrikesPerExpiry strikes evenly across that range.
  std::vector<double> low(std::size(kExpirations), -kLowSd), high(std::size(kExpirations), kHighSd);
  std::vector<OptionQuote> quotes;
  for (int stage = 0; stage < 2; ++stage) {
    const int count = stage == 0 ? 2 * kStrikesPerExpiry : kStrikesPerExpiry;
    quotes = makeQuotes(low, high, count);
    priceQuotes(quotes, p, settings);
    if (stage == 1) break;
    for (std::size_t e = 0; e < std::size(kExpirations); ++e) {
      const double T = kExpirations[e] / 365.0;
      const double sd = std::sqrt(kVBar * T);
      const double forward = kSpot * std::exp((kRate - kDividend) * T);
      double lo = 1e9, hi = -1e9;
      for (const OptionQuote& q : quotes) {
        if (q.expirationDays != T || !quoted(q)) continue;
        const double z = std::log(q.strike / forward) / sd;
        lo = std::min(lo, z);
        hi = std::max(hi, z);
      }
      low[e] = lo;
      high[e] = hi;
    }
  }

  std::ofstream out(path);
  if (!out) {
    std::cerr << "cannot write " << path << "\n";
    return 1;
  }
  out << "Sample chain: GARCH diffusion v0=" << kV0 << " vBar=" << kVBar << " kappa=" << kKappa
      << " xi=" << kXi << " rho=" << kRho << " (tools/make_sample_chain.cpp)\n";
  out << kSpot << "\tspot\n";
  out << "IV\tstrike\tdays\trate\tdividend\n";
  int written = 0;
  for (const OptionQuote& q : quotes) {
    if (!quoted(q)) continue;
    char line[160];
    std::snprintf(line,
                  sizeof line,
                  "%.8f\t%.2f\t%.0f\t%.4f\t%.4f\n",
                  q.marketIV,
                  q.strike,
                  q.expirationDays * 365.0,
                  q.rate,
                  q.dividendYield);
    out << line;
    ++written;
  }
  std::cout << "wrote " << written << " quotes to " << path << "\n";
  return 0;
}
