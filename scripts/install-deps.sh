#!/usr/bin/env bash
# Installs every Debian package that the build, the tests, the benchmarks and the fuzz targets
# (clang with its libFuzzer and OpenMP runtimes) need, and clang-format for the CI's formatting
# check.
# Safe to run again. The project uses the reference BLAS/LAPACK: no OpenBLAS package is
# installed, because Debian 12's serial OpenBLAS gives wrong results when called from several
# OpenMP threads, and any OpenBLAS install silently takes over the system BLAS.
#
# The 32-bit build (Serivane32) takes Debian's i386 packages, beside the 64-bit ones: GCC's
# multilib (-m32, with the i386 libstdc++ and libgomp), SuiteSparse, the reference BLAS and
# GoogleTest; the Eigen and Boost headers serve both builds. This enables the i386 architecture.
# Where the kernel does not execute i386 programs, the 32-bit programs and tests run under
# qemu-i386 (package qemu-user).
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config make
  libeigen3-dev libsuitesparse-dev libboost-dev
  libblas-dev liblapack-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3
  clang libclang-rt-14-dev libomp-14-dev clang-format
  g++-multilib
  libsuitesparse-dev:i386 libblas-dev:i386
  libgtest-dev:i386 libgmock-dev:i386
  qemu-user
)

if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi

apt_get() {
  # Waits for another apt run to let go of the package database rather than failing.
  $SUDO apt-get -o DPkg::Lock::Timeout=600 "$@"
}

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi

# Whether a package (name, or name:arch) is installed; a plain name means the machine's own
# architecture (or an architecture-independent package), not the i386 one.
native=$(dpkg --print-architecture)
installed() {
  local name=${1%%:*} arch=${1#*:}
  [ "$arch" = "$1" ] && arch=$native
  dpkg-query -W -f='${Architecture} ${Status}\n' "$name" 2>/dev/null |
    grep -Eq "^($arch|all) install ok installed"
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt_get update
  apt_get install -y --no-install-recommends "${missing[@]}"
fi

if dpkg -l 2>/dev/null | awk '{print $2}' | grep -q '^libopenblas'; then
  echo "warning: an OpenBLAS package is installed; it may replace the reference BLAS" >&2
fi
