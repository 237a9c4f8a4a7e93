#ifndef SERIVANE_TESTS_SUPPORT_GOLDEN_LOGS_H_
#define SERIVANE_TESTS_SUPPORT_GOLDEN_LOGS_H_

// The log files of failing robust-pricer calls, part of the golden table (golden_table.h): real
// solves that return a negative value and are repaired, or that throw, and what the robust pricers
// write for them, the pricing log "GARCH_PDESolverLog.txt" (in the program folder) and any file of
// the current folder. tools/make_golden_table.cpp writes one fixture per case to
// tests/data/golden/ and tests/calibration/golden_log_test.cpp recomputes them.

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "calc_id_mask.h"
#include "calibration/pricing/pricing_log.h"
#include "calibration/pricing/robust_pricers.h"
#include "golden_table.h"

namespace serivane {

namespace golden {

struct LogCase {
  const char* name;  // fixture golden/log_<name>.txt
  bool debug;        // debugFlag during the call
  // Empty: calcVanillaPDEWithRetries at `strike`; otherwise calcVanillaPDEStrikesWithRetries
  // with these strikes and implied volatilities asked for.
  std::vector<double> strikes;
  double strike;
  int methodID;
  ModelChoice model;
  int CallPut;
  Grid grid;
  // The pricer's varRange: the coverage level of the table, or minus an explicit variance bound.
  double varRange = kVarRange;
};

inline const std::vector<LogCase>& logCases() {
  static const std::vector<LogCase> cases{
      // A far out-of-the-money call whose first solve is negative; the re-solve with method id
      // 15 on a larger grid succeeds (the negative-value, retry and success records).
      {"negative_then_success", true, {}, 150.0, 6, {1, 1.0, 1.5}, 0, grids().front()},
      // Model 1 on an explicit variance bound (10^30 v0) beyond what the variance grid's map can
      // span from v0: the solve throws and the pricer gives up with the catch record, written with
      // the debug switch off. (The coverage ranges leave v0 room enough for the grid.)
      {"variance_grid_failure",
       false,
       {},
       kStrike,
       2,
       {1, 1.0, 0.8},
       1,
       grids().front(),
       -1e30 * kV0},
      // The same failure in the strike-list pricer, whose record has no strike.
      {"strikes_variance_grid_failure",
       false,
       strikeList(),
       0.0,
       2,
       {1, 0.8, 0.8},
       1,
       grids().front(),
       -1e30 * kV0},
  };
  return cases;
}

inline std::string logFixtureName(const LogCase& c) {
  return std::string("log_") + c.name + ".txt";
}

// Runs one case in the current folder (a fresh temporary one) and returns what it printed: the
// returned value and in/out sizes, the implied volatilities of a strike list, then every file
// written, the pricing log first, as "file <name>" and its text. The pricing log is removed
// before and after.
inline std::string runLogCase(const LogCase& c) {
  const std::string logPath = pricingLogPath();
  std::remove(logPath.c_str());
  const bool keptDebug = debugFlag;
  debugFlag = c.debug;
  int NS = c.grid.NS, NV = c.grid.NV, precision = 3;
  double value = 0.0;
  std::vector<double> ivs;
  std::ostringstream out;
  if (c.strikes.empty()) {
    value = calcVanillaPDEWithRetries(kS0,
                                      c.strike,
                                      kT,
                                      kRate,
                                      kDividend,
                                      kV0,
                                      kVL,
                                      kTheta,
                                      c.model.volvol,
                                      kRho,
                                      &NS,
                                      &NV,
                                      c.grid.NT,
                                      c.CallPut,
                                      0,
                                      &precision,
                                      c.methodID,
                                      0,
                                      kSRangeParam,
                                      c.varRange,
                                      0,
                                      false,
                                      c.model.model);
  } else {
    value = calcVanillaPDEStrikesWithRetries(kS0,
                                             c.strikes,
                                             ivs,
                                             kT,
                                             kRate,
                                             kDividend,
                                             kV0,
                                             kVL,
                                             kTheta,
                                             c.model.volvol,
                                             kRho,
                                             &NS,
                                             &NV,
                                             c.grid.NT,
                                             c.CallPut,
                                             0,
                                             &precision,
                                             c.methodID,
                                             1,
                                             kSRangeParam,
                                             c.varRange,
                                             0,
                                             0,
                                             false,
                                             c.model.model,
                                             c.model.p);
  }
  debugFlag = keptDebug;
  out << "returned " << g17(value) << " NS " << NS << " NV " << NV << " precision " << precision
      << "\n";
  if (!c.strikes.empty()) {
    out << "strikeIVs";
    for (double x : ivs) out << " " << g17(x);
    out << "\n";
  }
  std::ifstream in(logPath);
  if (in) {
    std::stringstream text;
    text << in.rdbuf();
    in.close();
    bool oneId = true;
    const std::string masked = maskCalcIds(text.str(), oneId);
    out << "file " << kPricingLogName << (oneId ? "" : " (records of different calcIDs)") << "\n"
        << masked;
  }
  std::remove(logPath.c_str());
  std::vector<std::string> lines;
  takeWrittenFiles(lines);
  for (const std::string& line : lines) out << line << "\n";
  return out.str();
}

}  // namespace golden

}  // namespace serivane

#endif  // SERIVANE_TESTS_SUPPORT_GOLDEN_LOGS_H_
