#!/usr/bin/env bash
# Builds the slice reader's fuzz target and seed generator with clang in a
# build directory of their own (default build/fuzz), apart from the g++
# builds. Usage: fuzz/build.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build/fuzz}
CC=clang CXX=clang++ cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSL_FUZZ=ON -DSL_TESTS=OFF -DSL_WERROR=ON >/dev/null
cmake --build "$build_dir" --target read_slice_fuzz make_corpus -j2
