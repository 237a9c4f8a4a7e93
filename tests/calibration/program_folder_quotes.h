#ifndef SERIVANE_TESTS_CALIBRATION_PROGRAM_FOLDER_QUOTES_H_
#define SERIVANE_TESTS_CALIBRATION_PROGRAM_FOLDER_QUOTES_H_

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "calibration/counted_option_file.h"
#include "calibration/program_folder.h"

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

}  // namespace serivane

#endif  // SERIVANE_TESTS_CALIBRATION_PROGRAM_FOLDER_QUOTES_H_
