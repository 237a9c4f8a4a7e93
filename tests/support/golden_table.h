#ifndef SERIVANE_TESTS_SUPPORT_GOLDEN_TABLE_H_
#define SERIVANE_TESTS_SUPPORT_GOLDEN_TABLE_H_

// The golden table of the 2-D pricer: a fixed list of pricing cases (every method id, both
// variance models, exercise styles, option types, run modes and a few small grids, one strike and
// strike lists) and the text each case prints: its PricingSummary, result vectors 0-3 at a few
// fixed nodes, per-strike prices and implied volatilities, all as %.17g, or the text of the
// exception it throws. tools/make_golden_table.cpp writes the table to tests/data/golden/ and
// tests/pde2d/golden_table_test.cpp recomputes it; both take the cases and the printing from
// here, so that the two cannot drift apart.

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <valarray>
#include <vector>

#include "core/qel_heston_vanilla.h"

namespace serivane {

namespace golden {

// The variance model of a case: model 0 (square-root variance) or model 1 with exponent p, and
// the volatility of variance.
struct ModelChoice {
  int model;
  double p;
  double volvol;
};

struct Grid {
  int NS, NV, NT;
};

struct PricingCase {
  int methodID;
  ModelChoice model;
  int EuroAmer;   // 0 European, 1 American
  int CallPut;    // 0 call, 1 put
  int precision;  // run mode 3, 4 or 5
  Grid grid;
  // Empty: the one-strike constructor at kStrike (which always prices with p = 1). Otherwise
  // the strike-list constructor with these strikes and the case's p; a list of one strike is
  // how a one-strike pricer gets p other than 1.
  std::vector<double> strikes;
  bool ivWanted;  // solve with a negative cpuTime: implied volatilities in place of prices
};

// Market and model data shared by every case.
constexpr double kS0 = 100.0;
constexpr double kStrike = 100.0;
constexpr double kT = 0.5;
constexpr double kRate = 0.03;
constexpr double kDividend = 0.01;
constexpr double kV0 = 0.04;
constexpr double kVL = 0.05;
constexpr double kTheta = 2.0;  // mean-reversion speed
constexpr double kRho = -0.6;
constexpr double kSRangeParam = 1.0;
// Coverage of the variance range: the calibration's usual level.
constexpr double kVarRange = 0.9999;

inline const std::vector<ModelChoice>& modelChoices() {
  static const std::vector<ModelChoice> m{{0, 1.0, 0.5}, {1, 1.0, 1.2}, {1, 0.8, 1.2}};
  return m;
}

inline const std::vector<Grid>& grids() {
  static const std::vector<Grid> g{{30, 15, 15}, {40, 20, 24}};
  return g;
}

inline const std::vector<double>& strikeList() {
  static const std::vector<double> k{110.0, 90.0, 100.0, 95.0};
  return k;
}

// Nodes of the result vectors that a case prints: both ends and three inner quarters.
inline std::vector<std::size_t> printedNodes(std::size_t n) {
  if (n == 0) return {};
  return {0, n / 4, n / 2, 3 * n / 4, n - 1};
}

// The method ids whose solves factorise a sparse matrix (a BDF ladder or backward-Euler sub-steps
// by sparse LU) cost ten to fifty times an ADI solve: they get run modes 4 and 5 on the coarser
// grid for two options only, so that the table stays quick to check.
inline bool isSlowMethod(int methodID) {
  return methodID == 1 || methodID == 10 || methodID == 14 || methodID == 15;
}

// Every case of one method id, in a fixed order.
inline std::vector<PricingCase> casesOfMethod(int methodID) {
  std::vector<PricingCase> cases;
  for (const ModelChoice& m : modelChoices()) {
    for (int euroAmer : {0, 1}) {
      for (int callPut : {0, 1}) {
        for (int precision : {3, 4, 5}) {
          // p other than 1 through a list of one strike.
          std::vector<double> oneStrike;
          if (m.p != 1.0) oneStrike = {kStrike};
          if (precision != 3 && isSlowMethod(methodID)) {
            // European call and American put.
            if (euroAmer != callPut) continue;
            cases.push_back(
                {methodID, m, euroAmer, callPut, precision, grids().front(), oneStrike, false});
            continue;
          }
          for (const Grid& g : grids()) {
            cases.push_back({methodID, m, euroAmer, callPut, precision, g, oneStrike, false});
          }
          // A strike list, with implied volatilities, on the finer grid.
          cases.push_back(
              {methodID, m, euroAmer, callPut, precision, grids().back(), strikeList(), true});
        }
      }
    }
  }
  // One strike with its implied volatility, in each run mode.
  for (int precision : {3, 4, 5}) {
    cases.push_back({methodID, {1, 1.0, 1.2}, 0, 1, precision, grids().front(), {}, true});
  }
  // A volatility of variance at which model 1 cannot fit its variance grid on these sizes.
  cases.push_back({methodID, {1, 1.0, 0.8}, 0, 1, 3, grids().front(), {}, false});
  return cases;
}

inline constexpr int kFirstMethodID = 1;
inline constexpr int kLastMethodID = 15;

// File of tests/data/golden/ that holds the cases of one method id.
inline std::string fixtureName(int methodID) {
  char name[32];
  std::snprintf(name, sizeof name, "method_%02d.txt", methodID);
  return name;
}

inline std::string g17(double x) {
  char s[40];
  std::snprintf(s, sizeof s, "%.17g", x);
  return s;
}

inline std::string label(const PricingCase& c) {
  char s[200];
  std::snprintf(s,
                sizeof s,
                "method %d model %d p %g volvol %g %s %s run mode %d grid %dx%dx%d %s%s",
                c.methodID,
                c.model.model,
                c.model.p,
                c.model.volvol,
                c.EuroAmer == 1 ? "American" : "European",
                c.CallPut == 1 ? "put" : "call",
                c.precision,
                c.grid.NS,
                c.grid.NV,
                c.grid.NT,
                c.strikes.empty()       ? "one strike"
                : c.strikes.size() == 1 ? "list of one strike"
                                        : "strike list",
                c.ivWanted ? " iv" : "");
  return s;
}

inline std::unique_ptr<QelHestonVanilla> makePricer(const PricingCase& c) {
  const std::valarray<double> params{
      c.model.volvol, kV0, kVL, kTheta, kRho, static_cast<double>(c.model.model)};
  const std::valarray<double> zeros(0.0, 5);
  // The arguments the robust pricers pass (clustered at the strike, tolerance exponent minus the
  // run mode, no Bermudan dates); a strike list also takes its strip flag and exponent p.
  const auto make = [&](const auto& strikes, auto... listTail) {
    return std::make_unique<QelHestonVanilla>(kS0,
                                              strikes,
                                              kT,
                                              params,
                                              kRate,
                                              kDividend,
                                              c.grid.NS,
                                              c.grid.NV,
                                              c.grid.NT,
                                              c.CallPut,
                                              c.precision,
                                              1,
                                              c.EuroAmer,
                                              zeros,
                                              zeros,
                                              true,
                                              -static_cast<double>(c.precision),
                                              kSRangeParam,
                                              kVarRange,
                                              0,
                                              true,
                                              0,
                                              0.0,
                                              c.methodID,
                                              false,
                                              listTail...);
  };
  if (c.strikes.empty()) return make(kStrike);
  return make(c.strikes, false, c.model.p);
}

inline std::string numbersLine(const std::string& key, const std::valarray<double>& v) {
  std::string line = key;
  for (double x : v) line += " " + g17(x);
  return line;
}

// Every file of the current folder, sorted by name, as a line "file <name>" followed by its lines,
// and removed. The cases run in a fresh temporary folder, so these are the files a case wrote
// ("ErrorLog.txt", say).
inline void takeWrittenFiles(std::vector<std::string>& lines) {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::current_path())) {
    files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  for (const std::filesystem::path& f : files) {
    lines.push_back("file " + f.filename().string());
    std::ifstream in(f);
    for (std::string line; std::getline(in, line);) lines.push_back("  " + line);
    in.close();
    std::filesystem::remove_all(f);
  }
}

// The lines one case prints (without its label line). Run in a temporary folder of its own.
inline std::vector<std::string> evaluate(const PricingCase& c) {
  std::vector<std::string> lines;
  try {
    std::unique_ptr<QelHestonVanilla> q = makePricer(c);
    std::valarray<double> out[5];
    double cpuTime = c.ivWanted ? -1.0 : 0.0;
    q->solve(out[0], out[1], out[2], out[3], out[4], cpuTime);
    lines.push_back(numbersLine("summary", q->getSummary()));
    const char* const names[4] = {"nodes", "values", "delta", "gamma"};
    for (int k = 0; k < 4; ++k) {
      std::string line = std::string(names[k]) + " size " + std::to_string(out[k].size());
      for (std::size_t i : printedNodes(out[k].size())) {
        line += " [" + std::to_string(i) + "] " + g17(out[k][i]);
      }
      lines.push_back(line);
    }
    if (!c.strikes.empty()) {
      lines.push_back(numbersLine("strikePrices", q->getStrikePrices()));
      lines.push_back(numbersLine("strikeIVs", q->getStrikeIVs()));
    }
  } catch (const std::exception& e) {
    lines.push_back(std::string("exception ") + e.what());
  } catch (const char* text) {
    lines.push_back(std::string("exception (text) ") + text);
  }
  takeWrittenFiles(lines);
  return lines;
}

// The label line of a case in the fixture.
inline std::string labelLine(const PricingCase& c) { return "case " + label(c); }

}  // namespace golden

}  // namespace serivane

#endif  // SERIVANE_TESTS_SUPPORT_GOLDEN_TABLE_H_
