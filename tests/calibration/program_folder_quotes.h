#ifndef SERIVANE_TESTS_CALIBRATION_PROGRAM_FOLDER_QUOTES_H_
#define SERIVANE_TESTS_CALIBRATION_PROGRAM_FOLDER_QUOTES_H_

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "calibration/quotes/counted_option_file.h"
#include "calibration/quotes/program_folder.h"

namespace serivane {

// "OptionsData.txt" in the program folder (the test program's folder, which the calibration
// tests hold one at a time) with the given content (absent for nullopt) for the object's
// lifetime; the previous file, if any, is put back afterwards.
class ProgramFolderQuotes {
 public:
  explicit ProgramFolderQuotes(const std::optional<std::string>& content)
      : path_(programFilePath(kOptionsDataName)) {
    std::ifstream in(path_);
    if (in) {
      std::stringstream s;
      s << in.rdbuf();
      previous_ = s.str();
    }
    in.close();
    std::remove(path_.c_str());
    if (content) std::ofstream(path_) << *content;
  }
  ProgramFolderQuotes(const ProgramFolderQuotes&) = delete;
  ProgramFolderQuotes& operator=(const ProgramFolderQuotes&) = delete;
  ~ProgramFolderQuotes() {
    std::remove(path_.c_str());
    if (previous_) std::ofstream(path_) << *previous_;
  }

 private:
  std::string path_;
  std::optional<std::string> previous_;
};

// A quote file an objective cannot read, and the objective's value for it: 10000 for no file,
// -999 for one it cannot read.
struct QuoteFileCase {
  const char* label;
  std::optional<std::string> file;
  double expected;
};

inline std::vector<QuoteFileCase> unreadableQuoteFiles() {
  const std::string rec = "0.2 100 95 0.5 0.03 0.01 1 0\n";
  const std::string notANumber = "0.2 100 95 half 0.03 0.01 1 0\n";
  return {
      {"no quote file", std::nullopt, 10000.0},
      {"a count of 3 over 2 records", "3\n" + rec + rec, -999.0},
      {"a count of -1", "-1\n" + rec, -999.0},
      {"a count of 0", "0\n", -999.0},
      {"a field that is not a number", "1\n" + notANumber, -999.0},
      {"a field that is not a number in the second record", "2\n" + rec + notANumber, -999.0},
      {"an empty file", "", -999.0},
      {"the chain layout (its spot read as the count)",
       "100\tspot\nIV\tstrike\tdays\trate\tdividend\n0.2\t95\t30\t0.03\t0.01\n",
       -999.0},
  };
}

}  // namespace serivane

#endif  // SERIVANE_TESTS_CALIBRATION_PROGRAM_FOLDER_QUOTES_H_
