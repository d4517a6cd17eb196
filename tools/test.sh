#!/usr/bin/env bash
# Builds and runs the whole test suite: the release build (with lintian on
# its Debian package, and its decoding tests on an older x86 processor
# under qemu-user), the source build on the oldest and the newest Debian
# in chroots, the Windows build compared with it under Wine, the portable
# Linux tarballs, a short fuzzing run of the slice reader, the build with
# AddressSanitizer and UBSan, and the end-to-end tests against a build with
# ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

source tools/packages.sh
install_missing_packages lintian qemu-user-static binfmt-support debootstrap
bash tools/setup.sh build/release -DSL_TESTS=ON
(cd build/release && ctest --output-on-failure -j"$(nproc)")

# The decoding and mapping tests again on an x86 processor without BMI2 or
# AVX-512 (qemu-user's model of a 2008 one): the paths this machine's
# processor never takes.
qemu-x86_64-static -cpu Nehalem build/release/tests/unit_tests --gtest_brief=1 \
  --gtest_filter='DifferentialSweep.*:LzwDecoder.*:Compressed/*:FuzzRegressions.*:MapSlice.*:CodeTables.*:Samples/*'

# A plain build with default options of Debian 11 (gcc 10, CMake 3.18,
# libtiff 4.2, GoogleTest 1.10) and of Debian 13 (gcc 14, libtiff 4.7), each
# in a chroot made once per machine: its end-to-end and unit tests, and a
# series converted to the same bytes as by the release build.
bash tools/chroot.sh test bullseye build/release
bash tools/chroot.sh test trixie build/release

# The Windows build, cross-compiled and run under Wine against the Linux
# build's results.
bash tools/windows.sh
bash tests/windows/compare_under_wine.sh build/release build/windows/sl_depth.exe

# The portable tarballs: every end-to-end test against the program of each
# (aarch64 under qemu-user), and each program in an empty root and in a
# Debian 11 root, against the release build's results.
bash tools/portable.sh
bullseye=$(bash tools/chroot.sh path bullseye)
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
# (and so the test) on any data race. It takes the route of libtiff before
# 4.5 for the messages of outputs written ahead (process-wide handlers that
# ask the writing thread), which the release build does not.
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSL_TESTS=ON -DSL_SANITIZE_THREAD=ON \
  -DSL_TIFF_OPEN_OPTIONS=OFF -DSL_WERROR=ON >/dev/null
cmake --build build/tsan -j"$(nproc)" --target e2e_tests
(cd build/tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --output-on-failure -j"$(nproc)" -L e2e)
