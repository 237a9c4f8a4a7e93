#ifndef SERIVANE_PLATFORM_MODULE_FOLDER_H_
#define SERIVANE_PLATFORM_MODULE_FOLDER_H_

#include <string>

namespace serivane {

// The folder of the loaded module (shared library or executable) that contains `address`, without
// a trailing separator, so that the program finds its files whether it runs as the console program
// or is loaded by a host. When the module cannot be found, writes "GetModuleHandle returned %d\n"
// with the system error code to the standard error stream and gives the folder of the running
// executable instead. A path without any separator is returned whole.
std::string moduleFolderOf(const void* address);

// This system's path separator, appended between the folder and a file name.
constexpr char kPathSeparator = '/';

}  // namespace serivane

#endif  // SERIVANE_PLATFORM_MODULE_FOLDER_H_
