#include "calibration/quotes/program_folder.h"

#include <gtest/gtest.h>

#include <string>

#include "support/executable_folder.h"
#include "support/temp_folder.h"

namespace serivane {

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

}  // namespace serivane
