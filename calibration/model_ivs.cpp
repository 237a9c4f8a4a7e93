#include "calibration/model_ivs.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <fstream>
#include <iostream>
#include <limits>
#include <stdexcept>

#include "calibration/bucket_dealing.h"
#include "calibration/pricing_log.h"
#include "calibration/program_folder.h"
#include "calibration/robust_pricers.h"
#include "core/black_scholes.h"
#include "core/pde_solver_1d.h"

namespace serivane {

bool stopFlag = false;

namespace {

// What the two parallel loops share of calcModelIVs' locals.
struct BoundsLoop {
  const std::vector<double>& expirations;  // distinct expirations in years, ascending
  std::vector<double>& bounds;             // one upper variance quantile per expiration
  double level;
  double v0, vBar, kappa, xi;
  std::vector<std::string>& errors;  // one slot per expiration, "" when it went well
};

struct PricingLoop {
  const std::vector<ExpiryGroupItem>& groups;
  const std::vector<std::vector<int>>& buckets;
  std::vector<std::vector<IVResult>>& results;  // one list per bucket
  const std::vector<double>& expirations;
  const std::vector<double>& bounds;
  double B;  // stationary quantile of the variance
  const double* p;
  const CalibrationSettings& settings;
  const DerivedSettings& derived;
  std::vector<std::string>& errors;  // one slot per bucket
};

// The message of the first failed item, in item order, as one exception for the caller's
// handler: no exception may leave an OpenMP region, so each item keeps its own.
void rethrowFirst(const std::vector<std::string>& errors) {
  for (const std::string& e : errors) {
    if (!e.empty()) throw std::runtime_error(e);
  }
}

}  // namespace

// Upper variance quantile at each expiration from the 1-D variance-distribution PDE, one solver
// object per iteration.
void calcModelIVs_parallelBounds(BoundsLoop& loop) {
  const int count = static_cast<int>(loop.expirations.size());
#pragma omp parallel for schedule(static)
  for (int j = 0; j < count; ++j) {
    try {
      PDESolver1D solver(loop.level,
                         loop.expirations[j],
                         loop.v0,
                         loop.vBar,
                         loop.kappa,
                         loop.xi,
                         800,
                         50,
                         2,
                         5,
                         false,
                         1);
      loop.bounds[j] = solver.calcQuantile();
    } catch (const std::exception& e) {
      loop.errors[j] = e.what();
    } catch (...) {
      loop.errors[j] = "unknown error";
    }
  }
}

// Prices the groups of each bucket with the robust strike-list pricer; one iteration per bucket.
void calcModelIVs_parallelPricing(PricingLoop& loop) {
  const int nb = static_cast<int>(loop.buckets.size());
#pragma omp parallel for schedule(static)
  for (int b = 0; b < nb; ++b) {
    try {
      for (const int g : loop.buckets[b]) {
        const ExpiryGroupItem& group = loop.groups[g];
        double varRange = group.level;
        if (loop.derived.level < 1.0) {
          const auto it = std::find(loop.expirations.begin(), loop.expirations.end(), group.T);
          const double bj = loop.bounds[it - loop.expirations.begin()];
          // A negative variance range is an explicit upper variance bound for the pricer.
          varRange = -std::max(0.1 * loop.B, std::min(loop.B, bj * group.rangeFactor));
        }
        std::vector<double> modelIVs(group.strikes.size(), 0.0);
        int NS = group.NS;
        int NV = group.NV;
        int runMode = loop.derived.runMode;
        calcVanillaPDEStrikesWithRetries(group.spot,
                                         group.strikes,
                                         modelIVs,
                                         group.T,
                                         group.r,
                                         group.d,
                                         loop.p[0],
                                         loop.p[1],
                                         loop.p[2],
                                         loop.p[3],
                                         loop.p[4],
                                         &NS,
                                         &NV,
                                         group.NT,
                                         1,
                                         group.EuroAmer,
                                         &runMode,
                                         loop.settings.methodID,
                                         1,
                                         loop.derived.widthFactor,
                                         varRange,
                                         0,
                                         loop.settings.stripMode,
                                         true,
                                         1,
                                         loop.derived.p);
        for (std::size_t k = 0; k < group.strikes.size(); ++k) {
          const double iv = k < modelIVs.size() ? modelIVs[k] : 0.0;
          loop.results[b].push_back({group.T, group.strikes[k], iv});
        }
      }
    } catch (const std::exception& e) {
      loop.errors[b] = e.what();
    } catch (...) {
      loop.errors[b] = "unknown error";
    }
  }
}

void checkModelParameters(const double* p) {
  struct Range {
    const char* message;
    double lower;
    double upper;
  };
  static const Range kRanges[5] = {
      {"v0 is out of range. Stopping optimization.", 0.001, 0.5},
      {"vBar is out of range. Stopping optimization.", 0.001, 1.0},
      {"kappa is out of range. Stopping optimization.", 0.1, 50.0},
      {"xi is out of range. Stopping optimization.", 0.1, 30.0},
      {"rho is out of range. Stopping optimization.", -1.0, 0.3},
  };
  for (int i = 0; i < 5; ++i) {
    // Written so that a parameter that is not a number is out of range as well.
    if (!(p[i] >= kRanges[i].lower && p[i] <= kRanges[i].upper)) {
      stopFlag = true;
      throw std::runtime_error(kRanges[i].message);
    }
  }
}

DerivedSettings deriveSettings(const CalibrationSettings& settings) {
  DerivedSettings derived;
  derived.runMode = settings.precision == 1 ? 3 : (settings.precision == 2 ? 5 : 4);
  derived.widthFactor = settings.factorSwitch == 1 ? 1.0 : 1.5;
  derived.level = settings.quantileSwitch == 1 ? 0.9999975 : 0.999999;
  derived.p = 1.0;
  if (settings.model != 1) {
    derived.p = 0.8;
    derived.level = 0.999999;
  }
  return derived;
}

std::vector<ExpiryGroupItem> groupByExpiry(const std::vector<OptionQuote>& quotesInYears) {
  std::vector<ExpiryGroupItem> groups;
  for (std::size_t i = 0; i < quotesInYears.size(); ++i) {
    const OptionQuote& q = quotesInYears[i];
    if (i == 0 || q.expirationDays != quotesInYears[i - 1].expirationDays) {
      groups.emplace_back();
    }
    ExpiryGroupItem& g = groups.back();
    g.strikes.push_back(q.strike);
    g.marketIVs.push_back(q.marketIV);
    const double price = bsmPrice(
        q.spot, q.strike, q.rate, q.dividendYield, q.marketIV, q.expirationDays, q.putFlag);
    if (price < g.refPrice) g.refPrice = price;
    g.spot = q.spot;
    g.T = q.expirationDays;
    g.r = q.rate;
    g.d = q.dividendYield;
    g.CallPut = 1;
    // The chain has no exercise-style column and its implied volatilities are Black-Scholes-Merton
    // ones: every group is priced as European.
    g.EuroAmer = 0;
  }
  return groups;
}

double sizeExpiryGroups(std::vector<ExpiryGroupItem>& groups,
                        const CalibrationSettings& settings,
                        double level,
                        double kappa) {
  struct Band {
    double lower;  // P / S above this (strictly)
    double upper;  // P / S at or below this (the first band: strictly below)
    int NS;
    int NV;
  };
  const double NS0 = settings.NS, NV0 = settings.NV, NT0 = settings.NT;
  double total = 0.0;
  for (std::size_t i = 0; i < groups.size(); ++i) {
    ExpiryGroupItem& g = groups[i];
    const double P = g.refPrice, S = g.spot;
    g.NS = settings.NS;
    g.NV = settings.NV;
    g.cost = 1.0;
    g.index = static_cast<std::int32_t>(i);
    // Cheaper groups (far out of the money or short) need finer grids to resolve their prices.
    const bool bands[5] = {
        0.00075 * S < P && P < 0.005 * S,
        0.0002 * S < P && P <= 0.00075 * S,
        0.0001 * S < P && P <= 0.0002 * S,
        3.5e-5 * S < P && P <= 0.0001 * S,
        P <= 3.5e-5 * S,
    };
    const int a[5] = {120, 160, 200, 200, 300};
    const int b[5] = {70, 80, 80, 80, 100};
    for (int k = 0; k < 5; ++k) {
      if (!bands[k]) continue;
      g.NS = std::max(g.NS, a[k]);
      g.cost *= g.NS / NS0;
      g.NV = std::max(g.NV, b[k]);
      g.cost *= g.NV / NV0;
    }
    g.level = level;
    if (P < 0.0001 * S && g.level < 0.999999) g.level = 0.999999;
    g.rangeFactor = std::max(1.0, 3.0 - 0.5 * kappa * g.T);
    g.NT = std::max(settings.NT, static_cast<int>(NT0 * g.T));
    g.cost *= (1.0 + 0.015 * g.NT) / (1.0 + 0.015 * NT0);
    total += g.cost;
  }
  return total;
}

std::vector<std::vector<int>> dealBuckets(const std::vector<ExpiryGroupItem>& groups,
                                          int nb,
                                          double totalCost) {
  std::vector<double> costs(groups.size());
  for (std::size_t g = 0; g < groups.size(); ++g) costs[g] = groups[g].cost;
  return dealByCost(costs, nb, totalCost).buckets;
}

std::vector<double> modelIVsOfQuotes(const std::vector<OptionQuote>& quotesInYears,
                                     const double* p,
                                     const CalibrationSettings& settings) {
  const DerivedSettings derived = deriveSettings(settings);
  const double v0 = p[0], vBar = p[1], kappa = p[2], xi = p[3];

  std::vector<ExpiryGroupItem> groups = groupByExpiry(quotesInYears);

  std::vector<double> expirations;
  for (const OptionQuote& q : quotesInYears) {
    if (std::find(expirations.begin(), expirations.end(), q.expirationDays) == expirations.end()) {
      expirations.push_back(q.expirationDays);
    }
  }
  std::sort(expirations.begin(), expirations.end());
  std::vector<double> bounds(expirations.size(), 0.0);

  double B = 0.0;
  if (derived.level < 1.0) {
    std::vector<std::string> errors(expirations.size());
    BoundsLoop loop{expirations, bounds, derived.level, v0, vBar, kappa, xi, errors};
    calcModelIVs_parallelBounds(loop);
    rethrowFirst(errors);
    PDESolver1D stationary(derived.level, v0, vBar, kappa, xi);
    B = stationary.calcQuantile();
  }

  const double total = sizeExpiryGroups(groups, settings, derived.level, kappa);
  std::stable_sort(
      groups.begin(), groups.end(), [](const ExpiryGroupItem& a, const ExpiryGroupItem& b) {
        return a.cost > b.cost;
      });
  const int nb = pricingBucketCount();
  const std::vector<std::vector<int>> buckets = dealBuckets(groups, nb, total);

  std::vector<std::vector<IVResult>> results(buckets.size());
  std::vector<std::string> errors(buckets.size());
  PricingLoop loop{groups, buckets, results, expirations, bounds, B, p, settings, derived, errors};
  calcModelIVs_parallelPricing(loop);
  rethrowFirst(errors);

  std::vector<IVResult> all;
  for (const std::vector<IVResult>& list : results) all.insert(all.end(), list.begin(), list.end());
  std::stable_sort(all.begin(), all.end(), [](const IVResult& a, const IVResult& b) {
    if (a.T != b.T) return a.T < b.T;
    return a.strike < b.strike;
  });
  std::vector<double> ivs(all.size());
  for (std::size_t i = 0; i < all.size(); ++i) ivs[i] = all[i].modelIV;
  return ivs;
}

void calcModelIVsFromFile(const std::string& path,
                          const double* p,
                          double* hx,
                          int n,
                          const CalibrationSettings& settings) {
  checkModelParameters(p);
  const double nan = std::numeric_limits<double>::quiet_NaN();

  std::vector<double> ivs;
  try {
    std::ofstream results;
    if (debugFlag) {
      results.open("Results.txt", std::ios::out | std::ios::app);
      results.precision(10);
    }
    // A file that cannot be opened reads as an empty one: its spot conversion fails.
    OptionChain chain = readOptionChain(path);
    if (!chain.opened) throw std::invalid_argument("invalid stod argument");
    sortQuotes(chain.quotes);
    removeRepeats(chain.quotes, &sameQuote);
    for (OptionQuote& q : chain.quotes) q.expirationDays /= 365.0;
    ivs = modelIVsOfQuotes(chain.quotes, p, settings);
  } catch (const std::exception& e) {
    appendErrorRecord(e.what());
    std::fill(hx, hx + n, nan);
    return;
  }

  if (static_cast<int>(ivs.size()) != n) {
    std::cout << "Oops, seems like some more debugging is in order. Press any key to terminate!";
    double answer = 0.0;
    std::cin >> answer;
    // Values that were never computed must not pass for a fit: levmar stops at them and the
    // report shows them.
    std::fill(hx, hx + n, nan);
    return;
  }
  std::copy(ivs.begin(), ivs.end(), hx);
}

void calcModelIVs(double* p, double* hx, int /*m*/, int n, void* adata) {
  const CalibrationSettings& settings = *static_cast<const CalibrationSettings*>(adata);
  calcModelIVsFromFile(programFilePath("OptionsData.txt"), p, hx, n, settings);
}

}  // namespace serivane
