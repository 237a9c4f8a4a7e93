#ifndef SERIVANE_PLATFORM_DYNAMIC_LIBRARY_H_
#define SERIVANE_PLATFORM_DYNAMIC_LIBRARY_H_

#include <string>

namespace serivane {

// Shared libraries loaded at run time by file name.
//
// loadLibraryOnce looks for `fileName` first in `folder` (the program's folder, say) and then
// along the system's search path. A library found is loaded once per (folder, file name) and kept
// for the life of the process: later calls hand back the same handle and it is never unloaded, so
// entry points taken from it stay valid. A file name with a path separator is loaded as it stands.
// When the library cannot be loaded the result is null and `error` receives the loader's text;
// nothing is kept, so a later call tries again. Safe to call from several threads.
void* loadLibraryOnce(const std::string& folder, const std::string& fileName, std::string& error);

// The address of the entry point `name` in a loaded library; null when the library is null or
// has no such entry.
void* findLibraryEntry(void* library, const char* name);

}  // namespace serivane

#endif  // SERIVANE_PLATFORM_DYNAMIC_LIBRARY_H_
