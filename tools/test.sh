#!/usr/bin/env bash
# Builds and runs the whole test suite: the release build (with lintian on
# its Debian package), the Windows build compared with it under Wine, the
# portable Linux tarballs, a short fuzzing run of the slice reader, the
# build with AddressSanitizer and UBSan, and the end-to-end tests against a
# build with ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

source tools/packages.sh
install_missing_packages lintian qemu-user-static binfmt-support debootstrap
bash tools/setup.sh build/release -DSL_TESTS=ON
(cd build/release && ctest --output-on-failure -j"$(nproc)")

# The Windows build, cross-compiled and run under Wine against the Linux
# build's results.
bash tools/windows.sh
bash tests/windows/compare_under_wine.sh build/release build/windows/sl_depth.exe

# The portable tarballs: every end-to-end test against the program of each
# (aarch64 under qemu-user), and each program in an empty root and in a
# Debian 11 root, against the release build's results.
bash tools/portable.sh
bullseye=$(bash tests/portable/debian_root.sh bullseye)
for tarball in build/portable/sl_depth-*-linux-*.tar.gz; do
  bash tests/portable/tarball_test.sh "$tarball" build/release
  bash tests/portable/in_root_test.sh empty "$tarball" build/release
  bash tests/portable/in_root_test.sh "$bullseye" "$tarball" build/release
done

# A short fuzzing run of the slice reader with clang's libFuzzer: any crash,
# leak, hang or memory blow-up it finds fails the suite.
if command -v clang++ >/dev/null 2>&1; then
  bash fuzz/run.sh 30
else
  echo "clang++ not found: fuzzing smoke of the slice reader skipped" >&2
fi

bash tools/setup.sh build/asan -DSL_TESTS=ON -DSL_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd build/asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j"$(nproc)")

# The slices decoded on worker threads: every end-to-end conversion and
# failure test against a tool built with ThreadSanitizer, which fails a run
# (and so the test) on any data race.
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSL_TESTS=ON -DSL_SANITIZE_THREAD=ON >/dev/null
cmake --build build/tsan -j"$(nproc)" --target e2e_tests
(cd build/tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --output-on-failure -j"$(nproc)" -L e2e)
