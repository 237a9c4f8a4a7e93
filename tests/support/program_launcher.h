#ifndef SERIVANE_TESTS_SUPPORT_PROGRAM_LAUNCHER_H_
#define SERIVANE_TESTS_SUPPORT_PROGRAM_LAUNCHER_H_

#include <string>

// SERIVANE_PROGRAM_LAUNCHER: what goes in front of a program of this build in a shell command:
// empty where the machine runs the build's programs itself, the emulator and a space where the
// 32-bit build runs under qemu-i386. A program started through popen or system would otherwise
// be executed by the kernel, which on such a machine cannot.
#ifndef SERIVANE_PROGRAM_LAUNCHER
#define SERIVANE_PROGRAM_LAUNCHER ""
#endif

namespace serivane {

// The shell words that start `program` (a program of this build), quoted.
inline std::string launchCommand(const std::string& program) {
  return std::string(SERIVANE_PROGRAM_LAUNCHER) + "'" + program + "'";
}

}  // namespace serivane

#endif  // SERIVANE_TESTS_SUPPORT_PROGRAM_LAUNCHER_H_
