// Bad arguments for the exports, one row per class of bad input, shared by the in-process tests
// and the module host: each row must give the export's failure value at once, and, where the
// export writes a failure record, a record that holds `logged`.
#ifndef SERIVANE_TESTS_CALIBRATION_BAD_EXPORT_ARGS_H_
#define SERIVANE_TESTS_CALIBRATION_BAD_EXPORT_ARGS_H_

#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

namespace bad_export_args {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::int32_t kIntMax = std::numeric_limits<std::int32_t>::max();

// GARCH_VanillaPDESolver's 22 arguments, a valid put by default.
struct PdeArgs {
  double S = 100.0, K = 100.0, T = 1.0, r = 0.03, d = 0.01, v0 = 0.04, vL = 0.04, theta = 1.5,
         volvol = 0.3, rho = -0.7;
  std::int32_t NS = 60, NV = 30, NT = 30, CallPut = 1, EuroAmer = 0, precision = 1, methodID = 2,
               ivWanted = 0;
  double sRangeParam = 1.0, varRange = 0.9999;
  std::int32_t volvolWidening = 0, model = 0;

  template <class F>
  double call(F f) const {
    return f(S,
             K,
             T,
             r,
             d,
             v0,
             vL,
             theta,
             volvol,
             rho,
             NS,
             NV,
             NT,
             CallPut,
             EuroAmer,
             precision,
             methodID,
             ivWanted,
             sRangeParam,
             varRange,
             volvolWidening,
             model);
  }
};

struct PdeCase {
  const char* label;
  std::function<void(PdeArgs&)> change;
  const char* logged;
};

inline std::vector<PdeCase> pdeCases() {
  return {
      {"S not a number", [](PdeArgs& a) { a.S = kNaN; }, "Invalid argument S = nan"},
      {"K infinite", [](PdeArgs& a) { a.K = kInf; }, "Invalid argument K = inf"},
      {"S zero", [](PdeArgs& a) { a.S = 0.0; }, "Invalid argument S = 0"},
      {"K negative", [](PdeArgs& a) { a.K = -10.0; }, "Invalid argument K = -10"},
      {"T not a number", [](PdeArgs& a) { a.T = kNaN; }, "Invalid argument T = nan"},
      {"T negative", [](PdeArgs& a) { a.T = -1e300; }, "Invalid argument T = -1e+300"},
      {"r far out", [](PdeArgs& a) { a.r = -1e300; }, "Invalid argument r = -1e+300"},
      {"volvol 0 with d -1",
       [](PdeArgs& a) {
         a.volvol = 0.0;
         a.d = -1.0;
         a.model = 1;
       },
       "Invalid argument d = -1"},
      {"volvol 0 with d -100",
       [](PdeArgs& a) {
         a.volvol = 0.0;
         a.d = -100.0;
       },
       "Invalid argument d = -100"},
      {"v0 negative", [](PdeArgs& a) { a.v0 = -0.01; }, "Invalid argument v0 = -0.01"},
      {"vL 2.2e-308 with volvol -100",
       [](PdeArgs& a) {
         a.vL = 2.2e-308;
         a.volvol = -100.0;
       },
       "Invalid argument volvol = -100"},
      {"rho beyond 1", [](PdeArgs& a) { a.rho = 1.5; }, "Invalid argument rho = 1.5"},
      {"theta not a number", [](PdeArgs& a) { a.theta = kNaN; }, "Invalid argument theta = nan"},
      {"varRange infinite", [](PdeArgs& a) { a.varRange = -kInf; }, "Invalid argument varRange"},
      {"sRangeParam not a number",
       [](PdeArgs& a) { a.sRangeParam = kNaN; },
       "Invalid argument sRangeParam"},
      {"NS 2^31-1", [](PdeArgs& a) { a.NS = kIntMax; }, "Invalid argument NS = 2147483647"},
      {"NV 2^31-1", [](PdeArgs& a) { a.NV = kIntMax; }, "Invalid argument NV = 2147483647"},
      {"NT 2^31-1", [](PdeArgs& a) { a.NT = kIntMax; }, "Invalid argument NT = 2147483647"},
      {"NS 0", [](PdeArgs& a) { a.NS = 0; }, "Invalid argument NS = 0"},
      {"NT negative", [](PdeArgs& a) { a.NT = -5; }, "Invalid argument NT = -5"},
      {"10^5 intervals per axis",
       [](PdeArgs& a) {
         a.NS = 100000;
         a.NV = 100000;
       },
       "Invalid argument NS = 100000"},
      {"grid beyond the node limit",
       [](PdeArgs& a) {
         a.NS = 5000;
         a.NV = 5000;
       },
       "exceeds 1000000 nodes"},
      {"work beyond the limit",
       [](PdeArgs& a) {
         a.NS = 999;
         a.NV = 999;
         a.NT = 5000;
       },
       "nodes times time steps exceed"},
      {"method id 0", [](PdeArgs& a) { a.methodID = 0; }, "Invalid argument methodID = 0"},
      {"method id 16", [](PdeArgs& a) { a.methodID = 16; }, "Invalid argument methodID = 16"},
      {"model 2", [](PdeArgs& a) { a.model = 2; }, "Invalid argument model = 2"},
      {"CallPut 2", [](PdeArgs& a) { a.CallPut = 2; }, "Invalid argument CallPut = 2"},
      {"EuroAmer 3", [](PdeArgs& a) { a.EuroAmer = 3; }, "Invalid argument EuroAmer = 3"},
      // A valid value whose asset range leaves the doubles: the grid builder refuses it.
      {"S-range parameter 1e300 with method id 1",
       [](PdeArgs& a) {
         a.sRangeParam = 1e300;
         a.methodID = 1;
       },
       "There was a problem while generating the PDE grid"},
  };
}

// VanillaHeston's 11 arguments, a valid put by default.
struct HestonArgs {
  double S = 100.0, K = 100.0, r = 0.03, d = 0.01, v0 = 0.04, vL = 0.05, theta = 1.5, volvol = 0.3,
         rho = -0.7, T = 1.0;
  std::int32_t put = 1;

  template <class F>
  double call(F f) const {
    return f(S, K, r, d, v0, vL, theta, volvol, rho, T, put);
  }
};

struct HestonCase {
  const char* label;
  std::function<void(HestonArgs&)> change;
  const char* logged;
};

inline std::vector<HestonCase> hestonCases() {
  return {
      {"T not a number", [](HestonArgs& a) { a.T = kNaN; }, "Invalid argument T = nan"},
      {"T -1e300", [](HestonArgs& a) { a.T = -1e300; }, "Invalid argument T = -1e+300"},
      {"r -1e300", [](HestonArgs& a) { a.r = -1e300; }, "Invalid argument r = -1e+300"},
      {"d infinite", [](HestonArgs& a) { a.d = kInf; }, "Invalid argument d = inf"},
      {"S negative", [](HestonArgs& a) { a.S = -1.0; }, "Invalid argument S = -1"},
      {"K negative", [](HestonArgs& a) { a.K = -1.0; }, "Invalid argument K = -1"},
      {"volvol negative", [](HestonArgs& a) { a.volvol = -0.3; }, "Invalid argument volvol = -0.3"},
      {"vL negative", [](HestonArgs& a) { a.vL = -0.05; }, "Invalid argument vL = -0.05"},
      {"v0 not a number", [](HestonArgs& a) { a.v0 = kNaN; }, "Invalid argument v0 = nan"},
      {"rho beyond -1", [](HestonArgs& a) { a.rho = -1.01; }, "Invalid argument rho = -1.01"},
      {"theta far out", [](HestonArgs& a) { a.theta = 1e300; }, "Invalid argument theta = 1e+300"},
  };
}

}  // namespace bad_export_args

#endif  // SERIVANE_TESTS_CALIBRATION_BAD_EXPORT_ARGS_H_
