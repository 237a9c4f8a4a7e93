#include "platform/module_folder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>

namespace {

std::string executableFolder() {
  char buffer[PATH_MAX + 1];
  const ssize_t n = readlink("/proc/self/exe", buffer, PATH_MAX);
  std::string path(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
  return path.substr(0, path.find_last_of('/'));
}

}  // namespace

TEST(ModuleFolder, UnknownAddressFallsBackToTheExecutableWithTheMessage) {
  testing::internal::CaptureStderr();
  const std::string folder = moduleFolderOf(nullptr);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(folder, executableFolder());
  EXPECT_EQ(err.rfind("GetModuleHandle returned ", 0), 0u) << err;
  EXPECT_EQ(err.back(), '\n');
}
