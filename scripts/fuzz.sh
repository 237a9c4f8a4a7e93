#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for a fixed time
# (FUZZ_SECONDS, default 30) from its seed corpus in tests/fuzz/corpus/. New inputs go to a
# temporary corpus, crash inputs to build-fuzz/artifacts/. Fails when a target finds a crash.
#   bash scripts/fuzz.sh [build folder]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-30}
targets=(fuzz_option_chain fuzz_counted_option_file fuzz_export_args)

bash "$root/scripts/install-deps.sh"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSERIVANE_FUZZ=ON -DSERIVANE_BUILD_TESTS=OFF -DSERIVANE_BUILD_BENCH=OFF
cmake --build "$build" --target "${targets[@]}"

mkdir -p "$build/artifacts"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
for t in "${targets[@]}"; do
  seeds="$root/tests/fuzz/corpus/${t#fuzz_}"
  mkdir -p "$work/$t"
  echo "== $t ($seconds s)"
  # The export target's failure records land beside the program; run it from the build folder.
  if ! (cd "$build" && "$build/tests/fuzz/$t" -max_total_time="$seconds" -seed=1 -timeout=10 \
          -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" \
          "$work/$t" "$seeds" 2>"$work/$t.log"); then
    status=1
  fi
  grep -E "^stat::number_of_executed_units|^stat::average_exec_per_sec|^stat::new_units_added|ERROR|SUMMARY|runtime error" \
    "$work/$t.log" || true
done
exit $status
