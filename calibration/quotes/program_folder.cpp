#include "calibration/quotes/program_folder.h"

#include "platform/module_folder.h"

namespace serivane {

std::string programFolder() {
  // Any function of this library lies in the module that holds the program, whether that is the
  // console program or the shared library a host loaded: its own address finds that module.
  return moduleFolderOf(reinterpret_cast<const void*>(&programFolder));
}

std::string programFilePath(const std::string& name) {
  return programFolder() + kPathSeparator + name;
}

}  // namespace serivane
