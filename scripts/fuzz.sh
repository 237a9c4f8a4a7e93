#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for a fixed time
# (FUZZ_SECONDS per target, default 25: the seven targets take about three minutes) from its seed
# corpus in tests/fuzz/corpus/. New inputs go to a temporary corpus, crash, contract and timeout
# inputs to build-fuzz/artifacts/. Each input must finish within FUZZ_INPUT_TIMEOUT seconds
# (default 30): a longer one is reported as a timeout finding. Fails when a target finds anything.
#   bash scripts/fuzz.sh [build folder] [target ...]
# Each target runs as a copy of its own in a private folder, which the code takes as its own
# folder ("OptionsData.txt", the pricing log, the outside library libmervane.so) and as the
# current folder ("Results.txt"), so that runs side by side cannot race on those files.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build-fuzz}
shift || true
seconds=${FUZZ_SECONDS:-25}
input_timeout=${FUZZ_INPUT_TIMEOUT:-30}
targets=(fuzz_option_chain fuzz_counted_option_file fuzz_export_args fuzz_pde_solver
  fuzz_closed_forms fuzz_objectives fuzz_option_pricer)
if [ $# -gt 0 ]; then targets=("$@"); fi

bash "$root/scripts/install-deps.sh"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSERIVANE_FUZZ=ON -DSERIVANE_BUILD_TESTS=OFF -DSERIVANE_BUILD_BENCH=OFF
cmake --build "$build" --target "${targets[@]}"
# The outside library without sanitizers (a sanitized shared library does not link on its own).
clang++ -std=c++17 -O2 -shared -fPIC -I "$root" "$root/mervane/heston_call_exact.cpp" \
  -o "$build/libmervane.so"

mkdir -p "$build/artifacts"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export OMP_NUM_THREADS=${OMP_NUM_THREADS:-2}
status=0
for t in "${targets[@]}"; do
  seeds="$root/tests/fuzz/corpus/${t#fuzz_}"
  run="$work/$t.run"
  mkdir -p "$work/$t" "$run"
  cp "$build/tests/fuzz/$t" "$build/libmervane.so" "$run/"
  echo "== $t ($seconds s, $input_timeout s per input)"
  if ! (cd "$run" && "./$t" -max_total_time="$seconds" -seed=1 -timeout="$input_timeout" \
          -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" \
          "$work/$t" "$seeds" 2>"$work/$t.log"); then
    status=1
    tail -n 40 "$work/$t.log"
  fi
  grep -E "^stat::number_of_executed_units|^stat::average_exec_per_sec|^stat::new_units_added|ERROR|SUMMARY|runtime error|contract violated" \
    "$work/$t.log" || true
done
exit $status
