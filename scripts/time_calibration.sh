#!/usr/bin/env bash
# Wall time of the whole console calibration of the sample chain, speed and accuracy mode, with
# OMP_NUM_THREADS=1 and 8, and the number of model evaluations (bench/calibration_benchmark.cpp
# repeats the console's levmar calls and counts them). Run after a Release build in build/:
#   bash scripts/time_calibration.sh [build folder]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
for mode in 0 1; do
  for threads in 1 8; do
    start=$(date +%s.%N)
    printf '1\n%s\n' "$mode" | OMP_NUM_THREADS=$threads "$build/bin/Serivane64" >console.txt
    end=$(date +%s.%N)
    printf 'mode %s (%s) threads %s: wall %.2f s; %s; %s\n' "$mode" \
      "$([ "$mode" = 0 ] && echo speed || echo accuracy)" "$threads" \
      "$(awk -v a="$start" -v b="$end" 'BEGIN{print b-a}')" \
      "$(grep -o 'Calibration time: [0-9.e+-]* secs' console.txt)" \
      "$(grep -o 'final IV RMSE: [^ ]* ([0-9]* basis points)' console.txt)"
  done
done
if [ -x "$build/bench/calibration_benchmark" ]; then
  "$build/bench/calibration_benchmark" --benchmark_counters_tabular=true
fi
