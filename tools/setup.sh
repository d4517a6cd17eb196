#!/usr/bin/env bash
# Installs what the build, the tests and the demo need (Debian, as root),
# then configures and builds with warnings as errors.
# Usage: tools/setup.sh BUILD_DIR [cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."

source tools/packages.sh
install_missing_packages g++ make cmake pkg-config dpkg-dev libtiff-dev libgtest-dev libgmock-dev libbenchmark-dev \
  groff-base clang libclang-rt-14-dev valgrind

build_dir=${1:-build/release}
shift || true
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DSL_WERROR=ON "$@" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
