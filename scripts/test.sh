#!/usr/bin/env bash
# Installs the dependencies, configures, builds and runs every test.
#   bash scripts/test.sh                 both builds: the 64-bit Release build in build/, then the
#                                        32-bit one (Serivane32, cmake/i386-linux-gnu.cmake) in
#                                        build32/, whose tests compare it with the 64-bit build;
#                                        SERIVANE_FORCE_I386_EMULATOR=1 runs them under qemu-i386
#                                        even where the machine runs i386 programs itself; under
#                                        the emulator the tests labelled heavy
#                                        (tests/heavy_tests.txt) are left out, and named
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
start=$SECONDS
echo "== 64-bit build and tests ($build)"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j"$jobs"
ctest --test-dir "$build" --output-on-failure -j"$jobs"
echo "== 64-bit build and tests: $((SECONDS - start)) s"
[ "$mode" = 64 ] && exit 0

start=$SECONDS
build32=${2:-$root/build32}
echo "== 32-bit build and tests ($build32)"
cmake -S "$root" -B "$build32" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i386-linux-gnu.cmake" -DSERIVANE_BUILD_BENCH=OFF \
  -DSERIVANE_64BIT_BUILD_DIR="$build" -DSERIVANE_FORCE_I386_EMULATOR="${SERIVANE_FORCE_I386_EMULATOR:-0}"
cmake --build "$build32" -j"$jobs"
# How the 32-bit programs run: natively, or under qemu-i386 where this machine cannot execute i386
# programs (or SERIVANE_FORCE_I386_EMULATOR=1 asks for it); cmake/I386Runner.cmake decides. Run
# natively, every test runs. Emulated (20-100 times slower), the tests labelled "heavy"
# (tests/heavy_tests.txt: orders of convergence, sweeps, full calibrations, which the 64-bit build
# has just proven) are left out, and their names are printed; the exports, the module cases table,
# the golden table and the console program against the 64-bit one run on both roads.
road=$(sed -n 's/^SERIVANE_I386_ROAD:INTERNAL=//p' "$build32/CMakeCache.txt")
if [ "$road" = emulated ]; then
  echo "== 32-bit tests run emulated, under $(sed -n 's/^SERIVANE_QEMU_I386:FILEPATH=//p' "$build32/CMakeCache.txt")"
  mapfile -t left_out < <(ctest --test-dir "$build32" -N -L heavy | sed -n 's/^ *Test *#[0-9]*: //p')
  echo "== left out under emulation, labelled heavy in tests/heavy_tests.txt (the 64-bit build ran them):"
  for name in "${left_out[@]}"; do echo "     $name"; done
  ctest --test-dir "$build32" --output-on-failure -j"$jobs" -LE heavy
  summary="emulated, ${#left_out[@]} heavy tests left out"
else
  echo "== 32-bit tests run natively: every test"
  ctest --test-dir "$build32" --output-on-failure -j"$jobs"
  summary=native
fi
echo "== 32-bit build and tests ($summary): $((SECONDS - start)) s"
