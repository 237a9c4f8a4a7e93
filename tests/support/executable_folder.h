#ifndef SERIVANE_TESTS_SUPPORT_EXECUTABLE_FOLDER_H_
#define SERIVANE_TESTS_SUPPORT_EXECUTABLE_FOLDER_H_

#include <unistd.h>

#include <climits>
#include <string>

namespace serivane {

// The folder of the running test program, read independently of the code under test.
inline std::string executableFolder() {
  char buffer[PATH_MAX + 1];
  const ssize_t n = readlink("/proc/self/exe", buffer, PATH_MAX);
  std::string path(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
  return path.substr(0, path.find_last_of('/'));
}

}  // namespace serivane

#endif  // SERIVANE_TESTS_SUPPORT_EXECUTABLE_FOLDER_H_
