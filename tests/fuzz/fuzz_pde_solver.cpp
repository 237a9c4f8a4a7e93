// libFuzzer target: GARCH_VanillaPDESolver with real solves. The bytes give its 22 arguments,
// mostly inside the limits (on grids small enough for a quick solve). The result must be the
// failure value 0.0 or, for a price, a finite positive number within the no-arbitrage ceiling
// (a call is worth at most the asset, a put at most the strike, both allowing for negative
// rates and yields, with a margin for the grid's error); for an implied volatility one in
// [1e-6, 2]. A Bermudan option, which has no price without the exercise dates the export cannot
// be given, is always the failure value.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "calibration/exports/serivane.h"
#include "calibration/pricing/pricing_log.h"
#include "calibration/pricing/robust_pricers.h"
#include "calibration/pricing/solve_work.h"
#include "core/grid_limits.h"
#include "fuzz_input.h"

using namespace serivane;
using namespace serivane::fuzz;

// The sanitizers and the coverage counters slow a solve some thirty times. Each robust pricing
// here gets a hundredth of the usual work limit of a call, so that an input stays well within the
// per-input time while the limit's own road (the failure value with its record, or the best value
// an objective keeps) is explored like any other.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  serivane::robustWorkLimit = serivane::kMaxCallWork / 100;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  const double S = in.value(0.0, 1e12, 50.0, 200.0);
  const double K = S * in.value(0.0, 1e12, 0.5, 2.0, true);
  const double T = in.value(0.0, 100.0, 0.02, 3.0, true);
  const double r = in.value(-0.5, 0.5, -0.01, 0.1);
  const double d = in.value(-0.5, 0.5, 0.0, 0.06);
  const double v0 = in.value(0.0, 100.0, 0.005, 0.5, true);
  const double vL = in.value(0.0, 100.0, 0.005, 0.5, true);
  const double theta = in.value(0.0, 1000.0, 0.2, 10.0, true);
  const double volvol = in.value(0.0, 100.0, 0.05, 3.0, true);
  const double rho = in.value(-1.0, 1.0, -0.95, 0.5);
  const Grid g = drawGrid(in);
  const std::int32_t callPut = in.code(0, 1);
  const std::int32_t euroAmer = in.code(0, 2);
  const std::int32_t precision = in.code(1, 3);
  const std::int32_t methodID = in.code(1, 15);
  const std::int32_t ivWanted = in.byte() % 4 == 0 ? 1 : 0;
  const double sRange = in.value(-1e3, 1e3, 0.5, 6.0);
  const double varRange = in.value(-100.0, 10.0, 2.0, 6.0);
  const std::int32_t widening = in.code(0, 1);
  const std::int32_t model = in.code(0, 1);

  // The call's first solve is admitted whatever the work limit (the export refuses only what
  // exceeds kMaxCallWork): one that alone passes a hundredth of kMaxCallWork would take minutes
  // under the sanitizers. Such inputs are left out; the refusal beyond kMaxCallWork stays in.
  std::int64_t firstSolve = 0;
  for (const std::int32_t runMode : {3, 4, 5}) {
    const bool halved = runMode != 3;
    firstSolve = std::max(
        firstSolve,
        pdeSolveWork(halved ? g.NS / 2 : g.NS, halved ? g.NV / 2 : g.NV, g.NT, methodID, runMode));
  }
  if (firstSolve > robustWorkLimit && firstSolve <= kMaxCallWork) return 0;

  printCall("GARCH_VanillaPDESolver",
            {S,
             K,
             T,
             r,
             d,
             v0,
             vL,
             theta,
             volvol,
             rho,
             double(g.NS),
             double(g.NV),
             double(g.NT),
             double(callPut),
             double(euroAmer),
             double(precision),
             double(methodID),
             double(ivWanted),
             sRange,
             varRange,
             double(widening),
             double(model)});
  const double v = GARCH_VanillaPDESolver(S,
                                          K,
                                          T,
                                          r,
                                          d,
                                          v0,
                                          vL,
                                          theta,
                                          volvol,
                                          rho,
                                          g.NS,
                                          g.NV,
                                          g.NT,
                                          callPut,
                                          euroAmer,
                                          precision,
                                          methodID,
                                          ivWanted,
                                          sRange,
                                          varRange,
                                          widening,
                                          model);
  if (printCalls()) std::fprintf(stderr, "= %.17g\n", v);
  require(std::isfinite(v), "GARCH_VanillaPDESolver: not a finite number");
  require(euroAmer != 2 || v == 0.0, "GARCH_VanillaPDESolver: a Bermudan option priced");
  if (v != 0.0) {
    if (ivWanted != 0) {
      require(v >= 1e-6 && v <= 2.0,
              "GARCH_VanillaPDESolver: implied volatility outside [1e-6, 2]");
    } else {
      require(v > 0.0, "GARCH_VanillaPDESolver: negative price");
      const double ceiling =
          callPut == 0 ? S * std::max(1.0, std::exp(-d * T)) : K * std::max(1.0, std::exp(-r * T));
      require(v <= 1.05 * ceiling, "GARCH_VanillaPDESolver: price above the no-arbitrage ceiling");
    }
  }

  // The failure records go to the pricing log beside this program: keep it small.
  static int calls = 0;
  if (++calls % 200 == 0) std::remove(pricingLogPath().c_str());
  return 0;
}
