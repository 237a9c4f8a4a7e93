#!/usr/bin/env bash
# Installs the dependencies, configures, builds and runs every test.
#   bash scripts/test.sh                 Release build in build/
#   bash scripts/test.sh --sanitize      AddressSanitizer + UndefinedBehaviorSanitizer in build-asan/
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

mode=release
if [ "${1:-}" = "--sanitize" ]; then mode=sanitize; shift; fi

bash "$root/scripts/install-deps.sh"

jobs=$(nproc 2>/dev/null || echo 4)
if [ "$mode" = sanitize ]; then
  build=${1:-$root/build-asan}
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSERIVANE_SANITIZE=ON -DSERIVANE_BUILD_BENCH=OFF
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
else
  build=${1:-$root/build}
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$build" -j"$jobs"
ctest --test-dir "$build" --output-on-failure -j"$jobs"
