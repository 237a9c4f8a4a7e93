// libFuzzer target: the exports priced without a PDE solve. A selector byte picks one; the other
// bytes give its arguments, mostly inside the limits.
//   ImpliedVol: -999.0, or a volatility in [1e-6, 2] whose Black-Scholes-Merton price is the
//     price given (the price comes from a known volatility most of the time).
//   VanillaHeston: -999.0, or a price within the no-arbitrage bounds serivane.h promises.
//   VanillaHestonGrid (semi-closed form, or the outside library when it lies beside the program):
//     a well-formed string; on success every node value finite, node 0 the lower boundary,
//     nodes 1..N within the no-arbitrage bounds, nothing written beyond node N.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "calibration/exports/serivane.h"
#include "calibration/pricing/pricing_log.h"
#include "core/black_scholes.h"
#include "fuzz_input.h"

using namespace serivane;
using namespace serivane::fuzz;

namespace {

// The no-arbitrage bounds of a European option, with room for rounding.
bool withinBounds(double price, double S, double K, double r, double d, double T, bool put) {
  const double fS = S * std::exp(-d * T);
  const double fK = K * std::exp(-r * T);
  const double lower = put ? std::max(fK - fS, 0.0) : std::max(fS - fK, 0.0);
  const double upper = put ? fK : fS;
  const double slack = 1e-9 * std::max(fS, fK) + 1e-300;
  return price >= lower - slack && price <= upper + slack;
}

struct Heston {
  double S, K, r, d, v0, vL, theta, volvol, rho, T;
};

Heston drawHeston(FuzzInput& in) {
  Heston h;
  h.S = in.value(0.0, 1e12, 50.0, 200.0);
  h.K = h.S * in.value(0.0, 1e12, 0.5, 2.0, true);
  h.r = in.value(-0.5, 0.5, -0.01, 0.1);
  h.d = in.value(-0.5, 0.5, 0.0, 0.06);
  h.v0 = in.value(0.0, 100.0, 0.005, 0.5, true);
  h.vL = in.value(0.0, 100.0, 0.005, 0.5, true);
  h.theta = in.value(-1000.0, 1000.0, 0.2, 10.0, true);
  h.volvol = in.value(0.0, 100.0, 0.05, 3.0, true);
  h.rho = in.value(-1.0, 1.0, -0.95, 0.5);
  h.T = in.value(0.0, 100.0, 0.02, 3.0, true);
  return h;
}

void impliedVol(FuzzInput& in) {
  const double S = in.value(0.0, 1e12, 50.0, 200.0);
  const double K = S * in.value(0.0, 1e12, 0.5, 2.0, true);
  const double T = in.value(0.0, 100.0, 0.02, 3.0, true);
  const double r = in.value(-0.5, 0.5, -0.01, 0.1);
  const double d = in.value(-0.5, 0.5, 0.0, 0.06);
  const std::int32_t isPut = in.code(0, 1);
  const bool known = in.byte() >= 32;
  const double sigma = in.value(1e-6, 2.0, 0.05, 1.0);
  const double price =
      known ? bsmPrice(S, K, r, d, sigma, T, isPut != 0) : in.value(0.0, 1e12, 0.0, S);
  printCall("ImpliedVol", {price, S, K, T, r, d, double(isPut)});
  const double iv = ImpliedVol(price, S, K, T, r, d, isPut);
  require(std::isfinite(iv), "ImpliedVol: not a finite number");
  if (iv == -999.0) return;
  require(iv >= 1e-6 && iv <= 2.0, "ImpliedVol: volatility outside [1e-6, 2]");
  const double back = bsmPrice(S, K, r, d, iv, T, isPut != 0);
  require(std::fabs(back - price) <= 1e-7 * price + 1e-12 * std::max(S, K),
          "ImpliedVol: the volatility does not give the price back");
}

void vanillaHeston(FuzzInput& in) {
  const Heston h = drawHeston(in);
  const std::int32_t put = in.code(0, 1);
  printCall("VanillaHeston",
            {h.S, h.K, h.r, h.d, h.v0, h.vL, h.theta, h.volvol, h.rho, h.T, double(put)});
  const double v =
      VanillaHeston(h.S, h.K, h.r, h.d, h.v0, h.vL, h.theta, h.volvol, h.rho, h.T, put);
  require(std::isfinite(v), "VanillaHeston: not a finite number");
  if (v == -999.0) return;
  // S 0 is priced as 1e-12.
  const double S = h.S == 0.0 ? 1e-12 : h.S;
  require(withinBounds(v, S, h.K, h.r, h.d, h.T, put != 0),
          "VanillaHeston: price outside the no-arbitrage bounds");
}

void vanillaHestonGrid(FuzzInput& in) {
  const Heston h = drawHeston(in);
  const std::int32_t put = in.code(0, 1);
  const std::uint8_t internal = in.byte() % 3 == 0 ? 0 : 1;
  // Few nodes mostly: each costs one semi-closed-form pricing.
  std::int32_t N = in.byte() == 0 ? in.integer(0, 50000, 0, 200) : in.integer(0, 50000, 0, 8);
  if (N > 400) N = 400;  // an edge of the limits, as a count of nodes, is just slow
  const std::size_t n = N >= 0 ? static_cast<std::size_t>(N) + 1 : 1;
  constexpr double kUnset = -12345.678;
  std::vector<double> S(n + 4), out(n + 4, kUnset);
  S[0] = put != 0 ? in.value(0.0, 1e12, 0.0, 0.5 * h.S) : in.raw();
  for (std::size_t i = 1; i < n; ++i) S[i] = h.S * in.value(0.0, 1e12, 0.3, 3.0, true);
  const bool nullArray = in.byte() == 0;
  if (printCalls()) {
    std::fprintf(stderr, "S =");
    for (std::size_t i = 0; i < n; ++i) std::fprintf(stderr, " %.17g", S[i]);
    std::fprintf(stderr, "%s\n", nullArray ? " (passed as null)" : "");
  }
  printCall("VanillaHestonGrid(S, out, ...)",
            {h.K,
             h.r,
             h.d,
             h.v0,
             h.vL,
             h.theta,
             h.volvol,
             h.rho,
             h.T,
             double(put),
             double(N),
             double(internal)});
  const bool ok = checkAndFreeString(VanillaHestonGrid(nullArray ? nullptr : S.data(),
                                                       out.data(),
                                                       h.K,
                                                       h.r,
                                                       h.d,
                                                       h.v0,
                                                       h.vL,
                                                       h.theta,
                                                       h.volvol,
                                                       h.rho,
                                                       h.T,
                                                       put,
                                                       N,
                                                       internal));
  for (std::size_t i = n; i < out.size(); ++i) {
    require(out[i] == kUnset, "VanillaHestonGrid: wrote beyond node N");
  }
  if (!ok) return;
  require(!nullArray && N >= 0, "VanillaHestonGrid: success on a refused argument");
  for (std::size_t i = 0; i < n; ++i)
    require(std::isfinite(out[i]), "VanillaHestonGrid: node value not finite");
  const double boundary = put != 0 ? h.K * std::exp(-h.r * h.T) - S[0] * std::exp(-h.d * h.T) : 0.0;
  require(std::fabs(out[0] - boundary) <= 1e-12 * std::max(1.0, std::fabs(boundary)),
          "VanillaHestonGrid: node 0 is not the lower boundary");
  // The outside library's values are its own; the semi-closed form is VanillaHeston's.
  for (std::size_t i = 1; i < n && internal != 0; ++i) {
    require(withinBounds(out[i], S[i], h.K, h.r, h.d, h.T, put != 0),
            "VanillaHestonGrid: node value outside the no-arbitrage bounds");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  switch (in.byte() % 3) {
    case 0:
      impliedVol(in);
      break;
    case 1:
      vanillaHeston(in);
      break;
    default:
      vanillaHestonGrid(in);
      break;
  }
  static int calls = 0;
  if (++calls % 200 == 0) std::remove(pricingLogPath().c_str());
  return 0;
}
