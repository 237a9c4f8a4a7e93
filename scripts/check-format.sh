#!/usr/bin/env bash
# Checks that every tracked C and C++ file is formatted as .clang-format says (Debian's
# clang-format 14); lists the places that are not and fails. `clang-format -i FILE` mends a file.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
command -v clang-format >/dev/null || bash "$root/scripts/install-deps.sh"
git ls-files -z -- '*.c' '*.h' '*.cc' '*.cpp' '*.hpp' | xargs -0 clang-format --dry-run -Werror
