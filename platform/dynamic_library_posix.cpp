#include <dlfcn.h>

#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "platform/dynamic_library.h"
#include "platform/module_folder.h"

namespace serivane {

namespace {

std::mutex& cacheMutex() {
  static std::mutex m;
  return m;
}

// Loaded libraries by (folder, file name); entries are never removed.
std::map<std::pair<std::string, std::string>, void*>& cache() {
  static auto* libraries = new std::map<std::pair<std::string, std::string>, void*>();
  return *libraries;
}

std::string lastLoaderError() {
  const char* text = dlerror();
  return text != nullptr ? std::string(text) : std::string("unknown loader error");
}

}  // namespace

void* loadLibraryOnce(const std::string& folder, const std::string& fileName, std::string& error) {
  std::lock_guard<std::mutex> lock(cacheMutex());
  const auto key = std::make_pair(folder, fileName);
  const auto found = cache().find(key);
  if (found != cache().end()) return found->second;

  void* handle = nullptr;
  if (fileName.find(kPathSeparator) != std::string::npos) {
    handle = dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) error = lastLoaderError();
  } else {
    if (!folder.empty()) {
      const std::string inFolder = folder + kPathSeparator + fileName;
      handle = dlopen(inFolder.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    // Not in the folder: the system's search path (LD_LIBRARY_PATH, the cache, the default
    // folders), whose error text is the one reported.
    if (handle == nullptr) {
      handle = dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (handle == nullptr) error = lastLoaderError();
    }
  }
  if (handle != nullptr) cache().emplace(key, handle);
  return handle;
}

void* findLibraryEntry(void* library, const char* name) {
  if (library == nullptr || name == nullptr) return nullptr;
  return dlsym(library, name);
}

}  // namespace serivane
