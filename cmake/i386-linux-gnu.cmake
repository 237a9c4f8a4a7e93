# Toolchain of the 32-bit build (Serivane32): the system's GCC with -m32 (Debian's g++-multilib)
# against Debian's i386 packages (libsuitesparse-dev:i386, libblas-dev:i386, libgtest-dev:i386,
# ...), which scripts/install-deps.sh installs. Eigen and Boost are headers and serve both builds.
#   cmake -S . -B build32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/i386-linux-gnu.cmake
# The project adds -msse2 -mfpmath=sse itself for every 32-bit build.
# Where the machine does not run i386 programs itself, cmake/I386Runner.cmake runs the build's
# programs under qemu-i386; programs that run during the build are built for the build machine.

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

# Libraries and package configurations from the i386 folders only; a 64-bit library found in
# /usr/lib/x86_64-linux-gnu would not link.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu
                      /usr/lib/x86_64-linux-gnu/cmake)
set(FIND_LIBRARY_USE_LIB64_PATHS OFF)
