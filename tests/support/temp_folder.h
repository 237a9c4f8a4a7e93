#ifndef SERIVANE_TESTS_SUPPORT_TEMP_FOLDER_H_
#define SERIVANE_TESTS_SUPPORT_TEMP_FOLDER_H_

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace serivane {

// Makes a fresh temporary folder the current one for its lifetime, so that the files the system
// writes under fixed names in the current folder ("ErrorLog.txt", "Conv.txt", "Results.txt")
// land there, and parallel test runs never share them; the previous folder is restored and the
// temporary one removed afterwards.
class TempFolder {
 public:
  TempFolder() : previous_(std::filesystem::current_path()) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "serivane_test_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    std::filesystem::current_path(path_);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::current_path(previous_, ec);
    std::filesystem::remove_all(path_, ec);
  }

  const std::filesystem::path& path() const { return path_; }

  // The whole content of a file in the folder ("" when it does not exist).
  std::string read(const std::string& name) const {
    std::ifstream in(path_ / name);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

 private:
  std::filesystem::path previous_;
  std::filesystem::path path_;
};

// A test program whose tests may write such files runs each of them in a temporary folder:
// register this environment once in one of its sources.
class TempFolderEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { folder_ = new TempFolder(); }
  void TearDown() override {
    delete folder_;
    folder_ = nullptr;
  }

 private:
  TempFolder* folder_ = nullptr;
};

}  // namespace serivane

#endif  // SERIVANE_TESTS_SUPPORT_TEMP_FOLDER_H_
