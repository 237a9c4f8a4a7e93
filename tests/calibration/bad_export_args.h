// Bad arguments for the exports, one row per class of bad input, shared by the in-process tests
// and the module host: each row must give the export's failure value at once, and, where the
// export writes a failure record, a record that holds `logged`.
#ifndef SERIVANE_TESTS_CALIBRATION_BAD_EXPORT_ARGS_H_
#define SERIVANE_TESTS_CALIBRATION_BAD_EXPORT_ARGS_H_

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace serivane {

namespace bad_export_args {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::int32_t kIntMax = std::numeric_limits<std::int32_t>::max();

// A row of bad input for the arguments `Args`: what it changes in the valid ones, and what the
// failure record (or message) holds.
template <class Args>
struct BadArgsCase {
  const char* label;
  std::function<void(Args&)> change;
  const char* logged;
};

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

using PdeCase = BadArgsCase<PdeArgs>;

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

using HestonCase = BadArgsCase<HestonArgs>;

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

// ---- String results ----

// A string result read through its byte-length prefix, then freed as the header says (the block
// starts one pointer's size before the string).
inline std::string takeString(char16_t* s) {
  if (s == nullptr) return "<null>";
  std::uint32_t bytes = 0;
  std::memcpy(&bytes, reinterpret_cast<char*>(s) - 4, 4);
  std::string text;
  for (std::uint32_t i = 0; i < bytes / 2; ++i) text.push_back(static_cast<char>(s[i]));
  std::free(reinterpret_cast<char*>(s) - sizeof(void*));
  return text;
}

constexpr double kSentinel = -12345.0;

// Every entry of `v` still kSentinel.
inline bool allSentinel(const std::vector<double>& v) {
  return std::all_of(v.begin(), v.end(), [](double x) { return x == kSentinel; });
}

// QelOptionPricer's 31 arguments: a valid European put (volvol 0.3 at rootT 1), arrays of 200
// entries filled with kSentinel; a pointer argument is passed as null when its flag is set.
struct OptionPricerArgs {
  std::vector<double> outS = std::vector<double>(200, kSentinel);
  std::vector<double> outValue = outS, outDelta = outS, outGamma = outS, outTheta = outS,
                      outVega = outS;
  double cpuTime = 0.0;
  double S = 100.0, K = 100.0;
  std::int32_t NT = 30;
  double rootT = 1.0;
  double params[6] = {std::log2(0.3) + 0.15, 0.04, 0.04, 1.5, -0.7, 0.0};
  double r = 0.03, d = 0.01, unusedArg = 0.0;
  std::int32_t NS = 60, NV = 30, CallPut = 1, EuroAmer = 0, precision = 3, ctorFlag = 1;
  double vecA[5] = {0, 0, 0, 0, 0}, vecB[5] = {0, 0, 0, 0, 0};
  double tolExponent = -3.0, sRangeParam = 1.0, varRange = 0.9999;
  std::uint8_t wantTheta = 0, wantVega = 0, clusterAtStrike = 1, flag385 = 1;
  std::int32_t nExercise = 0;
  bool nullOutS = false, nullParams = false, nullNS = false, nullVega = false;

  template <class F>
  std::string call(F f) {
    return takeString(f(nullOutS ? nullptr : outS.data(),
                        outValue.data(),
                        outDelta.data(),
                        outGamma.data(),
                        outTheta.data(),
                        nullVega ? nullptr : outVega.data(),
                        &cpuTime,
                        S,
                        K,
                        NT,
                        rootT,
                        nullParams ? nullptr : params,
                        r,
                        d,
                        unusedArg,
                        nullNS ? nullptr : &NS,
                        &NV,
                        CallPut,
                        EuroAmer,
                        precision,
                        ctorFlag,
                        vecA,
                        vecB,
                        tolExponent,
                        sRangeParam,
                        varRange,
                        wantTheta,
                        wantVega,
                        clusterAtStrike,
                        flag385,
                        nExercise));
  }
  // No array and no CPU time of the host's was written.
  bool untouched() const {
    for (const std::vector<double>* v :
         {&outS, &outValue, &outDelta, &outGamma, &outTheta, &outVega}) {
      if (!allSentinel(*v)) return false;
    }
    return cpuTime == 0.0;
  }
};

// A failure message holds `logged`.
using OptionPricerCase = BadArgsCase<OptionPricerArgs>;

inline std::vector<OptionPricerCase> optionPricerCases() {
  using A = OptionPricerArgs;
  const char* const nullPointer = "A pointer argument of QelOptionPricer is null";
  return {
      {"outS null", [](A& a) { a.outS.clear(), a.nullOutS = true; }, nullPointer},
      {"params null", [](A& a) { a.nullParams = true; }, nullPointer},
      {"NS null", [](A& a) { a.nullNS = true; }, nullPointer},
      {"outVega null with wantVega", [](A& a) { a.wantVega = 1, a.nullVega = true; }, nullPointer},
      {"S not a number", [](A& a) { a.S = kNaN; }, "Invalid argument S = nan"},
      {"K negative", [](A& a) { a.K = -1.0; }, "Invalid argument K = -1"},
      {"rootT negative", [](A& a) { a.rootT = -1.0; }, "Invalid argument rootT = -1"},
      {"rootT not a number", [](A& a) { a.rootT = kNaN; }, "Invalid argument rootT = nan"},
      {"rootT beyond 10 (T beyond 100)",
       [](A& a) { a.rootT = 11.0; },
       "Invalid argument rootT = 11"},
      {"NT 0", [](A& a) { a.NT = 0; }, "Invalid argument NT = 0"},
      {"NT 2^31-1", [](A& a) { a.NT = kIntMax; }, "Invalid argument NT = 2147483647"},
      {"NS 0", [](A& a) { a.NS = 0; }, "Invalid argument NS = 0"},
      {"NS negative", [](A& a) { a.NS = -5; }, "Invalid argument NS = -5"},
      {"NV negative", [](A& a) { a.NV = -1; }, "Invalid argument NV = -1"},
      {"NV 2^31-1", [](A& a) { a.NV = kIntMax; }, "Invalid argument NV = 2147483647"},
      {"r -1e300", [](A& a) { a.r = -1e300; }, "Invalid argument r = -1e+300"},
      {"d infinite", [](A& a) { a.d = kInf; }, "Invalid argument d = inf"},
      {"volvol exponent not a number",
       [](A& a) { a.params[0] = kNaN; },
       "Invalid argument params[0] = nan"},
      {"volvol exponent that overflows volvol",
       [](A& a) { a.params[0] = 1e300; },
       "Invalid argument volvol (from params[0]) = inf"},
      {"v0 negative", [](A& a) { a.params[1] = -0.04; }, "Invalid argument params[1] (v0) = -0.04"},
      {"vL not a number",
       [](A& a) { a.params[2] = kNaN; },
       "Invalid argument params[2] (vL) = nan"},
      {"theta infinite",
       [](A& a) { a.params[3] = -kInf; },
       "Invalid argument params[3] (theta) = -inf"},
      {"rho beyond 1", [](A& a) { a.params[4] = 2.0; }, "Invalid argument params[4] (rho) = 2"},
      // Rounded to an int by the pricer: beyond the int range the conversion is undefined.
      {"model selector -3.4e38",
       [](A& a) { a.params[5] = -3.4e38; },
       "Invalid argument params[5] (model) = -3.4e+38"},
      {"model selector 1.5 (rounds to 2)",
       [](A& a) { a.params[5] = 1.5; },
       "Invalid argument params[5] (model) = 1.5"},
      {"CallPut 2", [](A& a) { a.CallPut = 2; }, "Invalid argument CallPut = 2"},
      {"EuroAmer 3", [](A& a) { a.EuroAmer = 3; }, "Invalid argument EuroAmer = 3"},
      {"sRangeParam not a number",
       [](A& a) { a.sRangeParam = kNaN; },
       "Invalid argument sRangeParam = nan"},
      {"varRange infinite", [](A& a) { a.varRange = kInf; }, "Invalid argument varRange = inf"},
      {"nExercise negative", [](A& a) { a.nExercise = -1; }, "Invalid argument nExercise = -1"},
      {"Bermudan without exercise dates",
       [](A& a) { a.EuroAmer = 2, a.nExercise = 0; },
       "A Bermudan option (EuroAmer 2) has no price without its exercise dates"},
      {"nExercise 2^31-1",
       [](A& a) { a.nExercise = kIntMax; },
       "Invalid argument nExercise = 2147483647"},
      {"grid beyond the node limit",
       [](A& a) { a.NS = 5000, a.NV = 5000; },
       "exceeds 1000000 nodes"},
      {"work beyond the limit",
       [](A& a) { a.NS = 999, a.NV = 999, a.NT = 5000; },
       "nodes times time steps exceed"},
      // Exercise dates raise the time steps to 5 per date.
      {"exercise dates that raise the work beyond the limit",
       [](A& a) { a.NS = 999, a.NV = 999, a.NT = 30, a.EuroAmer = 2, a.nExercise = 20000; },
       "nodes times time steps exceed"},
  };
}

// VanillaHestonGrid's 14 arguments: a valid put over six spot nodes (node 0 at spot 0).
struct HestonGridArgs {
  std::vector<double> S = {0.0, 80.0, 90.0, 100.0, 110.0, 120.0};
  std::vector<double> out = std::vector<double>(6, kSentinel);
  double K = 100.0, r = 0.03, d = 0.01, v0 = 0.04, vL = 0.05, theta = 1.5, volvol = 0.3, rho = -0.7,
         T = 1.0;
  std::int32_t put = 1, N = 5;
  std::uint8_t internal = 1;
  bool nullS = false, nullOut = false;

  template <class F>
  std::string call(F f) {
    return takeString(f(nullS ? nullptr : S.data(),
                        nullOut ? nullptr : out.data(),
                        K,
                        r,
                        d,
                        v0,
                        vL,
                        theta,
                        volvol,
                        rho,
                        T,
                        put,
                        N,
                        internal));
  }
  bool untouched() const { return allSentinel(out); }
};

using HestonGridCase = BadArgsCase<HestonGridArgs>;

inline std::vector<HestonGridCase> hestonGridCases() {
  using A = HestonGridArgs;
  const char* const nullPointer = "A pointer argument of VanillaHestonGrid is null";
  return {
      {"S null", [](A& a) { a.nullS = true; }, nullPointer},
      {"out null", [](A& a) { a.nullOut = true; }, nullPointer},
      {"N negative", [](A& a) { a.N = -1; }, "Invalid argument N = -1"},
      {"N 2^31-1", [](A& a) { a.N = kIntMax; }, "Invalid argument N = 2147483647"},
      {"N beyond 50000", [](A& a) { a.N = 50001; }, "Invalid argument N = 50001"},
      {"a spot node not a number", [](A& a) { a.S[2] = kNaN; }, "Invalid argument S[2] = nan"},
      {"a spot node infinite", [](A& a) { a.S[5] = kInf; }, "Invalid argument S[5] = inf"},
      {"a priced spot node 0", [](A& a) { a.S[1] = 0.0; }, "Invalid argument S[1] = 0"},
      {"node 0 of a put negative", [](A& a) { a.S[0] = -1.0; }, "Invalid argument S[0] = -1"},
      {"K negative", [](A& a) { a.K = -1.0; }, "Invalid argument K = -1"},
      {"T not a number", [](A& a) { a.T = kNaN; }, "Invalid argument T = nan"},
      {"T -1e300", [](A& a) { a.T = -1e300; }, "Invalid argument T = -1e+300"},
      {"r -1e300", [](A& a) { a.r = -1e300; }, "Invalid argument r = -1e+300"},
      {"volvol negative", [](A& a) { a.volvol = -0.3; }, "Invalid argument volvol = -0.3"},
      {"v0 not a number", [](A& a) { a.v0 = kNaN; }, "Invalid argument v0 = nan"},
      {"rho beyond 1", [](A& a) { a.rho = 2.0; }, "Invalid argument rho = 2"},
      {"theta infinite", [](A& a) { a.theta = kInf; }, "Invalid argument theta = inf"},
  };
}

// ---- The PDE calibration objectives ----

// Arguments 1-13 of the objectives and the last two of the general ones (strip mode or selector,
// model): the console's default grid, a plain solve.
struct ObjectiveArgs {
  double v0 = 0.04, vL = 0.05, theta = 1.5, volvol = 0.4, rho = -0.6;
  std::int32_t NS = 60, NV = 30, NT = 30, methodID = 2, precision = 1;
  double sRangeParam = 1.0, level = 0.9999;
  std::int32_t volvolWidening = 0, stripMode = 0, model = 0;

  // The thirteen arguments every objective starts with, then `rest`.
  template <class F, class... Rest>
  double common(F f, Rest... rest) const {
    return f(v0,
             vL,
             theta,
             volvol,
             rho,
             NS,
             NV,
             NT,
             methodID,
             precision,
             sRangeParam,
             level,
             volvolWidening,
             rest...);
  }
  // GARCH_VanillaPDECalibration
  template <class F>
  double byOption(F f) const {
    return common(f, model);
  }
  // GARCH_VanillaPDECalibrationM, and SVPDECalibration with the strip mode as selector
  template <class F>
  double byExpiry(F f) const {
    return common(f, stripMode, model);
  }
  // SVPDECalibration with selector 3
  template <class F>
  double svByOption(F f) const {
    return common(f, std::int32_t{3}, model);
  }
  // The HESTON_ wrappers (model 0, strip mode 0)
  template <class F>
  double heston(F f) const {
    return common(f);
  }
};

// A row for the objectives: the arguments changed, and the quote file (a valid one of two
// quotes unless given) that stands beside the module; every objective must give 0.0 with an
// error record that holds `logged`.
struct ObjectiveCase {
  const char* label;
  std::function<void(ObjectiveArgs&)> change;
  const char* logged;
  std::string file = kValidQuotes;

  static constexpr const char* kValidQuotes =
      "2\n0.2 100 95 0.5 0.03 0.01 1 0\n0.21 100 105 1 0.03 0.01 0 0\n";
};

// The file of two quotes whose second one is `quote`.
inline std::string withSecondQuote(const std::string& quote) {
  return "2\n0.2 100 95 0.5 0.03 0.01 1 0\n" + quote + "\n";
}

inline std::vector<ObjectiveCase> objectiveCases() {
  using A = ObjectiveArgs;
  const auto none = [](A&) {};
  return {
      // The arguments, checked before the quote file is looked at.
      {"v0 not a number", [](A& a) { a.v0 = kNaN; }, "Invalid argument v0 = nan"},
      {"v0 negative with the pricer's own variance range",
       [](A& a) { a.v0 = -0.01, a.level = 1.0; },
       "Invalid argument v0 = -0.01"},
      {"vL negative", [](A& a) { a.vL = -1.0; }, "Invalid argument vL = -1"},
      {"theta infinite", [](A& a) { a.theta = kInf; }, "Invalid argument theta = inf"},
      {"volvol -100", [](A& a) { a.volvol = -100.0; }, "Invalid argument volvol = -100"},
      {"rho beyond 1", [](A& a) { a.rho = 1.5; }, "Invalid argument rho = 1.5"},
      {"NS 0", [](A& a) { a.NS = 0; }, "Invalid argument NS = 0"},
      {"NS 2^31-1", [](A& a) { a.NS = kIntMax; }, "Invalid argument NS = 2147483647"},
      {"NV 2^31-1", [](A& a) { a.NV = kIntMax; }, "Invalid argument NV = 2147483647"},
      {"NT 2^31-1", [](A& a) { a.NT = kIntMax; }, "Invalid argument NT = 2147483647"},
      {"NT negative", [](A& a) { a.NT = -5; }, "Invalid argument NT = -5"},
      {"10^5 intervals per axis",
       [](A& a) { a.NS = 100000, a.NV = 100000; },
       "Invalid argument NS = 100000"},
      {"grid beyond the node limit",
       [](A& a) { a.NS = 5000, a.NV = 5000; },
       "exceeds 1000000 nodes"},
      {"work beyond the limit",
       [](A& a) { a.NS = 999, a.NV = 999, a.NT = 5000; },
       "nodes times time steps exceed"},
      {"method id 0", [](A& a) { a.methodID = 0; }, "Invalid argument methodID = 0"},
      {"method id 16", [](A& a) { a.methodID = 16; }, "Invalid argument methodID = 16"},
      {"sRangeParam not a number",
       [](A& a) { a.sRangeParam = kNaN; },
       "Invalid argument sRangeParam = nan"},
      {"level not a number", [](A& a) { a.level = kNaN; }, "Invalid argument level = nan"},
      {"level infinite", [](A& a) { a.level = kInf; }, "Invalid argument level = inf"},
      {"level beyond the variance ranges",
       [](A& a) { a.level = 11.0; },
       "Invalid argument level = 11"},
      {"explicit variance bound beyond 100",
       [](A& a) { a.level = -200.0; },
       "Invalid argument level = -200"},
      {"a quantile level of 0 for variance diffusion",
       [](A& a) { a.level = 0.0, a.model = 1; },
       "Invalid argument level = 0: a quantile level"},
      // The quotes, checked once the file is read whole.
      {"market volatility -1e300",
       none,
       "Invalid argument market volatility of quote 2 = -1e+300",
       withSecondQuote("-1e300 100 105 1 0.03 0.01 0 0")},
      {"market volatility 11",
       none,
       "Invalid argument market volatility of quote 2 = 11",
       withSecondQuote("11 100 105 1 0.03 0.01 0 0")},
      {"spot 0",
       none,
       "Invalid argument S of quote 2 = 0",
       withSecondQuote("0.2 0 105 1 0.03 0.01 0 0")},
      {"strike negative",
       none,
       "Invalid argument K of quote 2 = -5",
       withSecondQuote("0.2 100 -5 1 0.03 0.01 0 0")},
      {"T negative",
       none,
       "Invalid argument T of quote 2 = -1",
       withSecondQuote("0.2 100 105 -1 0.03 0.01 0 0")},
      {"T 1e6 (its time steps would overflow)",
       none,
       "Invalid argument T of quote 2 = 1000000",
       withSecondQuote("0.2 100 105 1e6 0.03 0.01 0 0")},
      {"rate 1e300",
       none,
       "Invalid argument r of quote 2 = 1e+300",
       withSecondQuote("0.2 100 105 1 1e300 0.01 0 0")},
      {"dividend yield -1",
       none,
       "Invalid argument d of quote 2 = -1",
       withSecondQuote("0.2 100 105 1 0.03 -1 0 0")},
      {"CallPut 2",
       none,
       "Invalid argument CallPut of quote 2 = 2",
       withSecondQuote("0.2 100 105 1 0.03 0.01 2 0")},
      {"EuroAmer 3",
       none,
       "Invalid argument EuroAmer of quote 2 = 3",
       withSecondQuote("0.2 100 105 1 0.03 0.01 0 3")},
      // The time steps scaled by T: 10^5 x 100 steps are beyond the pricer's limit...
      {"time steps scaled beyond the limit",
       [](A& a) { a.NS = 10, a.NV = 10, a.NT = 100000; },
       "Invalid argument NT scaled by T = 10000000",
       withSecondQuote("0.2 100 95 100 0.03 0.01 1 0")},
      // ... and a base grid at the work limit exceeds it once its steps are doubled by T = 2.
      {"work beyond the limit once scaled by T",
       [](A& a) { a.NS = 999, a.NV = 999, a.NT = 2000; },
       "nodes times time steps exceed",
       withSecondQuote("0.2 100 95 2 0.03 0.01 1 0")},
  };
}

}  // namespace bad_export_args

}  // namespace serivane

#endif  // SERIVANE_TESTS_CALIBRATION_BAD_EXPORT_ARGS_H_
