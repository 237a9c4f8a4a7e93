#include "platform/module_folder.h"

#include <gtest/gtest.h>

#include <string>

#include "support/executable_folder.h"

namespace serivane {

TEST(ModuleFolder, UnknownAddressFallsBackToTheExecutableWithTheMessage) {
  testing::internal::CaptureStderr();
  const std::string folder = moduleFolderOf(nullptr);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(folder, executableFolder());
  EXPECT_EQ(err.rfind("GetModuleHandle returned ", 0), 0u) << err;
  EXPECT_EQ(err.back(), '\n');
}

}  // namespace serivane
