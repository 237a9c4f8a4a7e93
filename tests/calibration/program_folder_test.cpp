#include "calibration/program_folder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "support/temp_folder.h"

namespace {

std::string executableFolder() {
  char buffer[PATH_MAX + 1];
  const ssize_t n = readlink("/proc/self/exe", buffer, PATH_MAX);
  std::string path(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
  return path.substr(0, path.find_last_of('/'));
}

}  // namespace

// The program folder of a test program is the folder of its own binary, as an absolute path that
// does not move with the current folder.
TEST(ProgramFolder, IsTheAbsoluteFolderOfTheModuleWhateverTheCurrentFolder) {
  const std::string expected = executableFolder();
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(programFolder(), expected);
  {
    TempFolder elsewhere;
    EXPECT_EQ(programFolder(), expected);
    EXPECT_EQ(programFilePath("OptionsData.txt"), expected + "/OptionsData.txt");
  }
}
