# How the 32-bit build's own programs run on this machine: natively where the kernel executes
# i386 programs, otherwise under Debian's user-mode emulator qemu-i386 (package qemu-user).
# Decided once at configure time by running a tiny i386 program; SERIVANE_FORCE_I386_EMULATOR
# (cache variable, or the environment variable of the same name at the first configure) takes the
# emulator road even where the native one works, so that both can be tried on any machine.
#
# Sets CMAKE_CROSSCOMPILING_EMULATOR, which every executable target made afterwards takes as its
# CROSSCOMPILING_EMULATOR: gtest discovery and CTest start the test programs through it. Tests
# that start a 32-bit program themselves put SERIVANE_I386_LAUNCHER (empty, or the emulator and
# a space) in front of its path. SERIVANE_I386_ROAD is "native" or "emulated".

if(DEFINED ENV{SERIVANE_FORCE_I386_EMULATOR} AND NOT "$ENV{SERIVANE_FORCE_I386_EMULATOR}" STREQUAL ""
   AND NOT "$ENV{SERIVANE_FORCE_I386_EMULATOR}" STREQUAL "0")
  set(serivane_force_default ON)
else()
  set(serivane_force_default OFF)
endif()
option(SERIVANE_FORCE_I386_EMULATOR "Run the 32-bit programs under qemu-i386 even where the machine runs them natively"
       ${serivane_force_default})

set(serivane_probe_dir "${CMAKE_BINARY_DIR}/CMakeFiles/i386_probe")
file(WRITE "${serivane_probe_dir}/probe.c" "int main(void) { return sizeof(void*) == 4 ? 0 : 3; }\n")
try_compile(serivane_probe_built "${serivane_probe_dir}/build" "${serivane_probe_dir}/probe.c"
            COPY_FILE "${serivane_probe_dir}/probe")
if(NOT serivane_probe_built)
  message(FATAL_ERROR "The 32-bit toolchain cannot build a program (is g++-multilib installed?)")
endif()

set(serivane_native_ok FALSE)
if(NOT SERIVANE_FORCE_I386_EMULATOR)
  execute_process(COMMAND "${serivane_probe_dir}/probe" RESULT_VARIABLE serivane_probe_rc
                  OUTPUT_QUIET ERROR_QUIET)
  if(serivane_probe_rc STREQUAL "0")
    set(serivane_native_ok TRUE)
  endif()
endif()

if(serivane_native_ok)
  set(SERIVANE_I386_ROAD native)
  set(SERIVANE_I386_LAUNCHER "")
  unset(CMAKE_CROSSCOMPILING_EMULATOR)
  unset(CMAKE_CROSSCOMPILING_EMULATOR CACHE)
else()
  find_program(SERIVANE_QEMU_I386 qemu-i386)
  if(NOT SERIVANE_QEMU_I386)
    message(FATAL_ERROR "This machine does not run i386 programs (or the emulator is forced), and "
                        "qemu-i386 was not found: install Debian's qemu-user "
                        "(scripts/install-deps.sh does).")
  endif()
  execute_process(COMMAND "${SERIVANE_QEMU_I386}" "${serivane_probe_dir}/probe"
                  RESULT_VARIABLE serivane_probe_rc OUTPUT_QUIET ERROR_QUIET)
  if(NOT serivane_probe_rc STREQUAL "0")
    message(FATAL_ERROR "qemu-i386 cannot run a 32-bit program here (exit status ${serivane_probe_rc})")
  endif()
  set(SERIVANE_I386_ROAD emulated)
  set(SERIVANE_I386_LAUNCHER "${SERIVANE_QEMU_I386} ")
  set(CMAKE_CROSSCOMPILING_EMULATOR "${SERIVANE_QEMU_I386}")
endif()
# Read back by scripts/test.sh for its summary line.
set(SERIVANE_I386_ROAD "${SERIVANE_I386_ROAD}" CACHE INTERNAL "How the 32-bit programs run")
if(SERIVANE_I386_ROAD STREQUAL native)
  message(STATUS "Serivane: the 32-bit programs run natively")
else()
  message(STATUS "Serivane: the 32-bit programs run emulated, under ${SERIVANE_QEMU_I386}")
endif()
