// The golden table of the 2-D pricer: every case of tests/support/golden_table.h recomputed and
// compared, as %.17g text, with the fixture tests/data/golden/method_NN.txt that
// tools/make_golden_table.cpp wrote. Any change of a price, a node value, a Greek, an implied
// volatility or an exception text shows here, down to the last bit. One test per method id.
//
// The 32-bit build compares with a tolerance instead: the fixture is the 64-bit build's, and the
// i386 C library's exp, log and pow round differently from the x86-64 ones in the last bit for
// about one argument in a thousand (both builds do their own arithmetic in SSE2 alike). A line of
// the 32-bit build agrees with the fixture when its words that are not numbers are equal and each
// number lies within kLineTolerance32 times the largest magnitude in the fixture's line (relative
// to the line's scale, since entries near zero, such as a gamma of -4e-16 beside 249, carry only
// rounding noise); the gamma lines within kGammaLineTolerance32: second differences of the node
// values, over the squared grid step, magnify the values' differences (largest seen 1.3e-11 of
// the line's scale, the other lines at most 3e-13).
#include "support/golden_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_folder.h"

namespace serivane {

namespace {

struct Block {
  std::string label;
  std::vector<std::string> lines;
};

// The case blocks of a fixture: after its first line, each block starts with its "case " line.
std::vector<Block> readTable(const std::string& path) {
  std::ifstream in(path);
  std::vector<Block> blocks;
  std::string line;
  if (!std::getline(in, line)) return blocks;
  while (std::getline(in, line)) {
    if (line.rfind("case ", 0) == 0) {
      blocks.push_back({line, {}});
    } else if (!blocks.empty()) {
      blocks.back().lines.push_back(line);
    }
  }
  return blocks;
}

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string s; in >> s;) w.push_back(s);
  return w;
}

// Describes the first difference of two lines: the line's key and both differing words.
std::string difference(const std::string& expected, const std::string& actual) {
  const std::vector<std::string> e = words(expected), a = words(actual);
  for (std::size_t i = 0; i < e.size() || i < a.size(); ++i) {
    const std::string ei = i < e.size() ? e[i] : "<none>";
    const std::string ai = i < a.size() ? a[i] : "<none>";
    if (ei != ai) {
      std::string where = e.empty() ? "" : e[0];
      // The node index of a result-vector value precedes it.
      if (i >= 1 && i - 1 < e.size() && e[i - 1].front() == '[') where += " " + e[i - 1];
      return where + " word " + std::to_string(i) + ": fixture " + ei + ", now " + ai;
    }
  }
  return "lines differ in spacing: fixture \"" + expected + "\", now \"" + actual + "\"";
}

#if defined(__i386__)
constexpr double kLineTolerance32 = 1e-12;
constexpr double kGammaLineTolerance32 = 1e-10;

bool isNumber(const std::string& word, double* value) {
  char* end = nullptr;
  *value = std::strtod(word.c_str(), &end);
  return end != word.c_str() && *end == '\0';
}

// Whether a line of this build agrees with the fixture's to the 32-bit build's tolerance.
bool agreesWithin32BitTolerance(const std::string& expected, const std::string& actual) {
  const std::vector<std::string> e = words(expected), a = words(actual);
  if (e.size() != a.size() || e.empty()) return false;
  double scale = 0.0, value = 0.0;
  for (const std::string& w : e) {
    if (isNumber(w, &value)) scale = std::max(scale, std::fabs(value));
  }
  const double tolerance = (e[0] == "gamma" ? kGammaLineTolerance32 : kLineTolerance32) * scale;
  for (std::size_t i = 0; i < e.size(); ++i) {
    double ev = 0.0, av = 0.0;
    if (isNumber(e[i], &ev) && isNumber(a[i], &av)) {
      if (!(std::fabs(av - ev) <= tolerance)) return false;
    } else if (e[i] != a[i]) {
      return false;
    }
  }
  return true;
}
#endif

class GoldenTable : public ::testing::TestWithParam<int> {};

TEST_P(GoldenTable, EveryCaseIsBitIdenticalToTheFixture) {
  const int methodID = GetParam();
  const std::string path =
      std::string(SERIVANE_TEST_DATA_DIR) + "/golden/" + golden::fixtureName(methodID);
  const std::vector<Block> fixture = readTable(path);
  const std::vector<golden::PricingCase> cases = golden::casesOfMethod(methodID);
  ASSERT_EQ(fixture.size(), cases.size())
      << path << " does not hold the cases of tests/support/golden_table.h: regenerate it "
      << "(tools/make_golden_table.cpp)";

  // A fresh folder, which then holds exactly the files a case wrote (evaluate takes them away).
  TempFolder folder;
  int reported = 0;
  constexpr int kMaxReported = 20;
  for (std::size_t k = 0; k < cases.size(); ++k) {
    const golden::PricingCase& c = cases[k];
    ASSERT_EQ(fixture[k].label, golden::labelLine(c)) << "case " << k << " of " << path;
    const std::vector<std::string> now = golden::evaluate(c);
    const std::vector<std::string>& then = fixture[k].lines;
    for (std::size_t i = 0; i < then.size() || i < now.size(); ++i) {
      const std::string e = i < then.size() ? then[i] : "<no line>";
      const std::string a = i < now.size() ? now[i] : "<no line>";
      if (e == a) continue;
#if defined(__i386__)
      if (agreesWithin32BitTolerance(e, a)) continue;
#endif
      ADD_FAILURE() << golden::label(c) << ": " << difference(e, a);
      if (++reported >= kMaxReported) FAIL() << "further differences not shown";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(MethodIds,
                         GoldenTable,
                         ::testing::Range(golden::kFirstMethodID, golden::kLastMethodID + 1),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "method" + std::to_string(info.param);
                         });

}  // namespace

}  // namespace serivane
