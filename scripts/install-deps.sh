#!/usr/bin/env bash
# Installs every Debian package that the build, the tests, the benchmarks and the fuzz targets
# (clang with its libFuzzer and OpenMP runtimes) need.
# Safe to run again. The project uses the reference BLAS/LAPACK: no OpenBLAS package is
# installed, because Debian 12's serial OpenBLAS gives wrong results when called from several
# OpenMP threads, and any OpenBLAS install silently takes over the system BLAS.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config make
  libeigen3-dev libsuitesparse-dev libboost-dev
  libblas-dev liblapack-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3
  clang libclang-rt-14-dev libomp-14-dev
)

if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi

if dpkg -l 2>/dev/null | awk '{print $2}' | grep -q '^libopenblas'; then
  echo "warning: an OpenBLAS package is installed; it may replace the reference BLAS" >&2
fi
