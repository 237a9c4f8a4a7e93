#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/module_folder.h"

namespace serivane {

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

// The file mapped at `address`, as the kernel names it: always an absolute path, whatever path
// the program was started or the module loaded by, and independent of the current folder.
std::string mappedFileOf(const void* address) {
  std::ifstream maps("/proc/self/maps");
  const auto a = reinterpret_cast<std::uintptr_t>(address);
  std::string line;
  while (std::getline(maps, line)) {
    std::istringstream in(line);
    std::string range, perms, offset, device, inode, path;
    if (!(in >> range >> perms >> offset >> device >> inode)) continue;
    std::getline(in >> std::ws, path);
    const std::string::size_type dash = range.find('-');
    if (dash == std::string::npos || path.empty() || path[0] != '/') continue;
    const std::uintptr_t lo = std::stoull(range.substr(0, dash), nullptr, 16);
    const std::uintptr_t hi = std::stoull(range.substr(dash + 1), nullptr, 16);
    if (a >= lo && a < hi) return path;
  }
  return std::string();
}

}  // namespace

std::string moduleFolderOf(const void* address) {
  if (address != nullptr) {
    std::string path;
    try {
      path = mappedFileOf(address);
    } catch (...) {
      path.clear();
    }
    if (!path.empty()) return folderOf(path);
    Dl_info info{};
    if (dladdr(address, &info) != 0 && info.dli_fname != nullptr && info.dli_fname[0] != '\0') {
      path = info.dli_fname;
      char resolved[PATH_MAX + 1];
      if (realpath(path.c_str(), resolved) != nullptr) path = resolved;
      return folderOf(path);
    }
  }
  std::fprintf(stderr, "GetModuleHandle returned %d\n", errno);
  return folderOf(executablePath());
}

}  // namespace serivane
