#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/program_folder.h"

namespace {

// The folder part of a path: cut at the last separator; a path without one stays whole.
std::string folderOf(const std::string& path) {
  const std::string::size_type cut = path.find_last_of(kPathSeparator);
  return cut == std::string::npos ? path : path.substr(0, cut);
}

std::string executablePath() {
  char buffer[PATH_MAX + 1];
  const ssize_t n = readlink("/proc/self/exe", buffer, PATH_MAX);
  if (n <= 0) return std::string();
  return std::string(buffer, static_cast<std::size_t>(n));
}

}  // namespace

std::string moduleFolderOf(const void* address) {
  Dl_info info{};
  if (address != nullptr && dladdr(address, &info) != 0 && info.dli_fname != nullptr &&
      info.dli_fname[0] != '\0') {
    std::string path = info.dli_fname;
    // The main program may be reported by the name it was started with: resolve it fully.
    char resolved[PATH_MAX + 1];
    if (realpath(path.c_str(), resolved) != nullptr) path = resolved;
    return folderOf(path);
  }
  std::fprintf(stderr, "GetModuleHandle returned %d\n", errno);
  return folderOf(executablePath());
}
