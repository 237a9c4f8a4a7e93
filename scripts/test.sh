#!/usr/bin/env bash
# Installs the dependencies, configures, builds and runs every test.
#   bash scripts/test.sh                 both builds: the 64-bit Release build in build/, then the
#                                        32-bit one (Serivane32, cmake/i386-linux-gnu.cmake) in
#                                        build32/, whose tests compare it with the 64-bit build
#   bash scripts/test.sh --64            the 64-bit build only
#   bash scripts/test.sh --sanitize      AddressSanitizer + UndefinedBehaviorSanitizer in build-asan/
#                                        (64-bit)
# A build folder may follow: bash scripts/test.sh [--64] [64-bit folder [32-bit folder]].
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

mode=both
case "${1:-}" in
  --sanitize) mode=sanitize; shift ;;
  --64) mode=64; shift ;;
esac

bash "$root/scripts/install-deps.sh"

jobs=$(nproc 2>/dev/null || echo 4)
if [ "$mode" = sanitize ]; then
  build=${1:-$root/build-asan}
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSERIVANE_SANITIZE=ON -DSERIVANE_BUILD_BENCH=OFF
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
  cmake --build "$build" -j"$jobs"
  ctest --test-dir "$build" --output-on-failure -j"$jobs"
  exit 0
fi

build=$(mkdir -p "${1:-$root/build}" && cd "${1:-$root/build}" && pwd)
echo "== 64-bit build and tests ($build)"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j"$jobs"
ctest --test-dir "$build" --output-on-failure -j"$jobs"
[ "$mode" = 64 ] && exit 0

build32=${2:-$root/build32}
echo "== 32-bit build and tests ($build32)"
cmake -S "$root" -B "$build32" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i386-linux-gnu.cmake" -DSERIVANE_BUILD_BENCH=OFF \
  -DSERIVANE_64BIT_BUILD_DIR="$build"
cmake --build "$build32" -j"$jobs"
ctest --test-dir "$build32" --output-on-failure -j"$jobs"
