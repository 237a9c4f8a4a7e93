// libFuzzer target: QelOptionPricer with real solves. The bytes give its arguments, mostly inside
// the limits and on small grids, now and then a null pointer. The string result must be
// well-formed (it is freed here); a null pointer must be refused with a message and nothing
// written. On success with at most 50000 nodes, the n + 1 entries of each array written (vega
// only when asked for) must be finite, the asset nodes increasing, the CPU time and the summary
// in params finite (with a negative CPU time on entry, params[4] a volatility in [1e-6, 2]), and
// nothing written past entry n; above 50000 nodes, and for a Bermudan option without exercise
// dates (EuroAmer 2, nExercise 0), the call is refused with a message and no array is touched.
// Nothing is ever written past the 50001 entries a host's arrays hold.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "calibration/exports/serivane.h"
#include "fuzz_input.h"

using namespace serivane;
using namespace serivane::fuzz;

namespace {

constexpr std::size_t kHostEntries = 50001;
constexpr std::size_t kGuard = 16;
constexpr double kUnset = -12345.678;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::vector<double> arrays[6];
  for (std::vector<double>& a : arrays) a.assign(kHostEntries + kGuard, kUnset);

  FuzzInput in(data, size);
  const double S = in.value(0.0, 1e12, 50.0, 200.0);
  const double K = S * in.value(0.0, 1e12, 0.5, 2.0, true);
  const double rootT = in.value(0.0, 10.0, 0.1, 1.8);
  const double r = in.value(-0.5, 0.5, -0.01, 0.1);
  const double d = in.value(-0.5, 0.5, 0.0, 0.06);
  double params[6] = {in.value(-1e3, 1e3, -1.0, 2.0),
                      in.value(0.0, 100.0, 0.005, 0.5, true),
                      in.value(0.0, 100.0, 0.005, 0.5, true),
                      in.value(0.0, 1000.0, 0.2, 10.0, true),
                      in.value(-1.0, 1.0, -0.95, 0.5),
                      static_cast<double>(in.code(0, 1))};
  Grid g = drawGrid(in);
  std::int32_t nExercise = in.byte() % 8 == 0 ? in.integer(0, 20000, 0, 12) : 0;
  const std::int32_t callPut = in.code(0, 1);
  const std::int32_t euroAmer = in.code(0, 2);
  // Most Bermudan calls come with their dates; the rest are refused for want of them.
  if (euroAmer == 2 && nExercise == 0 && in.byte() % 4 != 0) nExercise = 1 + in.byte() % 12;
  if (g.NS > 0 && g.NV > 0 && nExercise > 1 &&
      (g.NS + 1.0) * (g.NV + 1.0) * 5.0 * nExercise > 1e6) {
    nExercise = 2;  // many dates on a large grid is only slow
  }
  const std::int32_t precision = in.code(3, 5);
  const std::int32_t ctorFlag = in.code(0, 1);
  double vecA[5], vecB[5];
  for (double& v : vecA) v = in.value(-1e3, 1e3, 0.0, 1.0);
  for (double& v : vecB) v = in.value(-1e3, 1e3, 0.0, 1.0);
  const double tolExponent = in.value(-1e3, 1e3, -10.0, -4.0);
  const double sRange = in.value(-1e3, 1e3, 0.5, 6.0);
  const double varRange = in.value(-100.0, 10.0, 2.0, 6.0);
  const std::uint8_t flags = in.byte();
  const std::uint8_t wantTheta = flags & 1, wantVega = (flags >> 1) & 1, cluster = (flags >> 2) & 1,
                     flag385 = (flags >> 3) & 1;
  double cpuTime = in.byte() % 4 == 0 ? -1.0 : 0.0;
  const int nullAt = in.byte() < 8 ? in.byte() % 10 : -1;

  const bool ivAsked = cpuTime < 0.0;
  std::int32_t NS = g.NS, NV = g.NV;
  printCall(
      "QelOptionPricer(arrays, cpuTime, S, K, NT, rootT, params[6], r, d, NS, NV, CallPut, "
      "EuroAmer, precision, ctorFlag, tolExponent, sRange, varRange, theta, vega, cluster, "
      "flag385, nExercise; null at)",
      {cpuTime,
       S,
       K,
       double(g.NT),
       rootT,
       params[0],
       params[1],
       params[2],
       params[3],
       params[4],
       params[5],
       r,
       d,
       double(NS),
       double(NV),
       double(callPut),
       double(euroAmer),
       double(precision),
       double(ctorFlag),
       tolExponent,
       sRange,
       varRange,
       double(wantTheta),
       double(wantVega),
       double(cluster),
       double(flag385),
       double(nExercise),
       double(nullAt)});
  double* p[6];
  for (int i = 0; i < 6; ++i) p[i] = nullAt == i ? nullptr : arrays[i].data();
  const bool ok = checkAndFreeString(QelOptionPricer(p[0],
                                                     p[1],
                                                     p[2],
                                                     p[3],
                                                     p[4],
                                                     p[5],
                                                     nullAt == 6 ? nullptr : &cpuTime,
                                                     S,
                                                     K,
                                                     g.NT,
                                                     rootT,
                                                     nullAt == 7 ? nullptr : params,
                                                     r,
                                                     d,
                                                     0.0,
                                                     nullAt == 8 ? nullptr : &NS,
                                                     nullAt == 9 ? nullptr : &NV,
                                                     callPut,
                                                     euroAmer,
                                                     precision,
                                                     ctorFlag,
                                                     vecA,
                                                     vecB,
                                                     tolExponent,
                                                     sRange,
                                                     varRange,
                                                     wantTheta,
                                                     wantVega,
                                                     cluster,
                                                     flag385,
                                                     nExercise));

  for (const std::vector<double>& a : arrays) {
    for (std::size_t i = kHostEntries; i < a.size(); ++i) {
      require(a[i] == kUnset, "QelOptionPricer: wrote past the host's 50001 entries");
    }
  }
  const auto untouched = [&](std::size_t from) {
    for (const std::vector<double>& a : arrays) {
      for (std::size_t i = from; i < kHostEntries; ++i) {
        if (a[i] != kUnset) return false;
      }
    }
    return true;
  };
  // A null outVega is the host's way of asking for no vega: accepted when wantVega is 0, and then
  // the call goes on as any other.
  const bool nullVegaNotAsked = nullAt == 5 && wantVega == 0;
  if (nullAt >= 0 && !nullVegaNotAsked) {
    require(!ok, "QelOptionPricer: a null pointer accepted");
    require(untouched(0), "QelOptionPricer: wrote an array after refusing a null pointer");
    return 0;
  }
  if (euroAmer == 2 && nExercise == 0) {
    require(!ok, "QelOptionPricer: a Bermudan option priced without exercise dates");
    require(untouched(0), "QelOptionPricer: wrote an array for a Bermudan option without dates");
    return 0;
  }
  if (NS > 50000 || NS < 0) {
    require(!ok, "QelOptionPricer: success above 50000 nodes");
    require(untouched(0), "QelOptionPricer: wrote an array above 50000 nodes");
    return 0;
  }
  if (!ok) return 0;
  const std::size_t n = static_cast<std::size_t>(NS);
  require(std::isfinite(cpuTime) && cpuTime >= 0.0, "QelOptionPricer: CPU time not finite");
  for (const double v : params) require(std::isfinite(v), "QelOptionPricer: summary not finite");
  if (ivAsked) {
    require(params[4] >= 1e-6 && params[4] <= 2.0,
            "QelOptionPricer: implied volatility outside [1e-6, 2]");
  }
  for (int k = 0; k < 6; ++k) {
    if (k == 5 && wantVega == 0) continue;
    for (std::size_t i = 0; i <= n; ++i) {
      require(std::isfinite(arrays[k][i]), "QelOptionPricer: array entry not finite");
    }
  }
  if (wantVega == 0) {
    for (std::size_t i = 0; i < kHostEntries; ++i) {
      require(arrays[5][i] == kUnset, "QelOptionPricer: vega written when not asked for");
    }
  }
  for (std::size_t i = 1; i <= n; ++i) {
    require(arrays[0][i] > arrays[0][i - 1], "QelOptionPricer: asset nodes not increasing");
  }
  require(untouched(n + 1), "QelOptionPricer: wrote past entry n");
  return 0;
}
