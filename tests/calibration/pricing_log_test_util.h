#ifndef SERIVANE_TESTS_CALIBRATION_PRICING_LOG_TEST_UTIL_H_
#define SERIVANE_TESTS_CALIBRATION_PRICING_LOG_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "calibration/pricing/pricing_log.h"
#include "calibration/pricing/robust_pricers.h"
#include "core/grid_limits.h"
#include "core/qel_heston_vanilla.h"
#include "support/calc_id_mask.h"

namespace serivane {

// The whole content of a file ("" when it does not exist).
inline std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A golden fixture of tests/data without its first line, which says where its content comes from.
inline std::string readFixture(const std::string& name) {
  const std::string text = readFile(std::string(SERIVANE_TEST_DATA_DIR) + "/" + name);
  const std::string::size_type eol = text.find('\n');
  EXPECT_NE(eol, std::string::npos) << "fixture " << name << " is missing or empty";
  return eol == std::string::npos ? std::string() : text.substr(eol + 1);
}

// Replaces every case identifier of a log ("<digits>: " at the start of a line, and
// "(calcID <digits>)") by "<calcID>", after checking that they all carry one and the same number
// (the records of one pricing call).
inline std::string maskCalcId(const std::string& log) {
  bool oneId = true;
  const std::string out = maskCalcIds(log, oneId);
  EXPECT_TRUE(oneId) << "records of one pricing call carry different calcIDs";
  return out;
}

// The pricing log of the test program (in its own folder): emptied before each test and read
// after it. The tests that use it are serialised (CTest RESOURCE_LOCK program_folder).
class PricingLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::remove(pricingLogPath().c_str());
    debugFlag = false;
  }
  void TearDown() override {
    debugFlag = false;
    robustSolveHook = nullptr;
    std::remove(pricingLogPath().c_str());
  }
  static std::string log() { return readFile(pricingLogPath()); }
  static bool logExists() { return std::ifstream(pricingLogPath()).good(); }
};

// What the scripted solve saw of the pricer at one call.
struct SolveCall {
  const QelHestonVanilla* pricer;
  int NS, NV, NT, NS0, methodID, precision, vGridMode;
  double sConcentration, logSParam, cpuTime;
  bool gridValid;
  double sGridA, vGridA;
  int iToV0;
};

// The outcome a scripted solve hands back: summary[1] (interpolated), summary[2] (reported) and
// summary[4], or an exception with the given message; strike-list prices and IVs when given.
struct SolveOutcome {
  double reported = 1.0;
  double interp = 1.0;
  double element4 = 1.0;
  const char* throwMessage = nullptr;
  std::vector<double> strikePrices;
  std::vector<double> strikeIVs;

  static SolveOutcome values(double reported, double interp, double element4) {
    SolveOutcome o;
    o.reported = reported;
    o.interp = interp;
    o.element4 = element4;
    return o;
  }
  // A solve that throws a std::exception with this message.
  static SolveOutcome failure(const char* message) {
    SolveOutcome o;
    o.throwMessage = message;
    return o;
  }
};

// How often `what` occurs in `text` (overlaps included).
inline int countOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::string::size_type at = text.find(what); at != std::string::npos;
       at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

// The lines of a text, without their line breaks.
inline std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The tab-separated fields of a line (a record of "Results.txt", say).
inline std::vector<std::string> splitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::string::size_type from = 0;
  for (std::string::size_type tab; (tab = line.find('\t', from)) != std::string::npos;
       from = tab + 1) {
    fields.push_back(line.substr(from, tab - from));
  }
  fields.push_back(line.substr(from));
  return fields;
}

// The test seam: robustSolveHook replaced by a script of outcomes, one per solve, the last
// repeated; every call is recorded.
class ScriptedSolve {
 public:
  // A scripted solve costs nothing: while one is installed the ladders' work limit is lifted, so
  // that their schedules can be followed to the end (a test of the limit sets it again).
  explicit ScriptedSolve(std::vector<SolveOutcome> script) : script_(std::move(script)) {
    instance() = this;
    robustSolveHook = &ScriptedSolve::hook;
    robustWorkLimit = std::numeric_limits<std::int64_t>::max();
  }
  ~ScriptedSolve() {
    robustSolveHook = nullptr;
    robustWorkLimit = kMaxCallWork;
    instance() = nullptr;
  }
  const std::vector<SolveCall>& calls() const { return calls_; }

 private:
  static ScriptedSolve*& instance() {
    static ScriptedSolve* s = nullptr;
    return s;
  }
  static void hook(QelHestonVanilla& p, double& cpuTime) {
    ScriptedSolve& s = *instance();
    s.calls_.push_back(SolveCall{&p,
                                 p.NS,
                                 p.NV,
                                 p.NT,
                                 p.NS0,
                                 p.methodID,
                                 p.precision,
                                 p.vGridMode,
                                 p.sConcentration,
                                 p.logSParam,
                                 cpuTime,
                                 p.gridValid,
                                 p.sGridA,
                                 p.vGridA,
                                 p.iToV0});
    // A solve builds a grid: the next one reuses its placement unless the pricer resets it.
    p.gridValid = true;
    p.sGridA = 0.5;
    p.vGridA = 0.25;
    p.iToV0 = 7;
    const std::size_t k = std::min(s.calls_.size() - 1, s.script_.size() - 1);
    const SolveOutcome& o = s.script_[k];
    if (o.throwMessage != nullptr) throw std::runtime_error(o.throwMessage);
    p.summary = std::valarray<double>(0.0, 6);
    p.summary[1] = o.interp;
    p.summary[2] = o.reported;
    p.summary[4] = o.element4;
    if (!o.strikePrices.empty()) {
      p.strikePrices = std::valarray<double>(o.strikePrices.data(), o.strikePrices.size());
    }
    if (!o.strikeIVs.empty()) {
      p.strikeIVs = std::valarray<double>(o.strikeIVs.data(), o.strikeIVs.size());
    }
    cpuTime = 0.01;
  }

  std::vector<SolveOutcome> script_;
  std::vector<SolveCall> calls_;
};

}  // namespace serivane

#endif  // SERIVANE_TESTS_CALIBRATION_PRICING_LOG_TEST_UTIL_H_
