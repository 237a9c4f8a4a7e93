// Writes the golden table of the 2-D pricer and of the robust pricers' logs: for every case of
// tests/support/golden_table.h, tests/data/golden/method_NN.txt (one file per method id) holds the
// case's PricingSummary, result vectors 0-3 at fixed nodes, per-strike prices and implied
// volatilities (all as %.17g) or the text of the exception it throws; for every case of
// tests/support/golden_logs.h, tests/data/golden/log_<name>.txt holds what the robust pricer
// returned and the files it wrote. The golden-table tests recompute them and require the same
// text, so that a restructuring shows any change of a price, a last bit or a log byte.
//
// A deliberate change of results (a fix to the solvers, say) is taken into the table by
// regenerating it with one command from the source root (the Release tree in build/, as
// scripts/test.sh configures it):
//
//   cmake --build build -t make_golden_table && build/tests/make_golden_table tests/data/golden
//
// and reviewing the diff of tests/data/golden/. The program works in a temporary folder of its
// own (the solvers may write files such as "ErrorLog.txt" into the current folder) and removes
// the pricing log "GARCH_PDESolverLog.txt" of its own folder before and after each log case.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "tests/support/golden_logs.h"
#include "tests/support/golden_table.h"

namespace serivane {

namespace {

bool writeFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::out | std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) {
    std::cerr << "cannot write " << path << "\n";
    return false;
  }
  return true;
}

// Every case of one method id, as the test reads it back.
std::string methodTable(int methodID) {
  std::string text =
      "Written by tools/make_golden_table.cpp: this system's own 2-D pricer on the cases "
      "of tests/support/golden_table.h, method id " +
      std::to_string(methodID) + ", numbers as %.17g.\n";
  for (const golden::PricingCase& c : golden::casesOfMethod(methodID)) {
    text += golden::labelLine(c) + "\n";
    for (const std::string& line : golden::evaluate(c)) text += line + "\n";
  }
  return text;
}

}  // namespace

}  // namespace serivane

int main(int argc, char** argv) {
  using namespace serivane;
  if (argc != 2) {
    std::cerr << "usage: make_golden_table <output folder, normally tests/data/golden>\n";
    return 2;
  }
  std::error_code ec;
  const std::filesystem::path outDir = std::filesystem::absolute(argv[1]);
  std::filesystem::create_directories(outDir, ec);
  if (ec) {
    std::cerr << "cannot create " << outDir << ": " << ec.message() << "\n";
    return 1;
  }

  const std::filesystem::path previous = std::filesystem::current_path();
  std::string pattern =
      (std::filesystem::temp_directory_path() / "serivane_golden_XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    std::cerr << "cannot create a temporary folder\n";
    return 1;
  }
  const std::filesystem::path work = pattern;
  std::filesystem::current_path(work);

  bool ok = true;
  int count = 0;
  for (int m = golden::kFirstMethodID; m <= golden::kLastMethodID && ok; ++m) {
    ok = writeFile(outDir / golden::fixtureName(m), methodTable(m));
    count += static_cast<int>(golden::casesOfMethod(m).size());
  }
  for (const golden::LogCase& c : golden::logCases()) {
    if (!ok) break;
    const std::string text =
        "Written by tools/make_golden_table.cpp: the robust pricer's result and the files it "
        "wrote for the log case \"" +
        std::string(c.name) + "\" of tests/support/golden_logs.h (calcIDs masked).\n" +
        golden::runLogCase(c);
    ok = writeFile(outDir / golden::logFixtureName(c), text);
    ++count;
  }

  std::filesystem::current_path(previous);
  std::filesystem::remove_all(work, ec);
  if (!ok) return 1;
  std::cout << "wrote " << count << " cases to " << outDir << "\n";
  return 0;
}
