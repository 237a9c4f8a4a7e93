#!/usr/bin/env bash
# Installs the dependencies, builds the console program and runs the console calibration on the
# bundled sample chain (build/bin/OptionsData.txt). The program asks two questions:
#   model: 1 GARCH diffusion, 2 power law with p = 0.8
#   mode:  0 speed, 1 accuracy
# Answer them at the prompts, or pipe them in:
#   printf '1\n0\n' | bash scripts/run-calibration.sh
# The report "ModelIVs.txt" is written into the current folder.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${SERIVANE_BUILD_DIR:-$root/build}

bash "$root/scripts/install-deps.sh" </dev/null >&2
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release </dev/null >&2
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 4)" --target Serivane64 </dev/null >&2
"$build/bin/Serivane64"
