#!/usr/bin/env bash
# Builds and runs the whole test suite twice: the release build, and a build
# with AddressSanitizer and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh build/release -DSL_TESTS=ON
(cd build/release && ctest --output-on-failure -j"$(nproc)")

bash tools/setup.sh build/asan -DSL_TESTS=ON -DSL_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd build/asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j"$(nproc)")
