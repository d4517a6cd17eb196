#!/usr/bin/env bash
# A portable tarball as a user gets it: one folder with the listed files, a
# program that loads nothing at run time and names the oldest kernel it
# starts on, then every end-to-end test of the release build run against
# that program. A program of another architecture runs under qemu-user
# (through binfmt_misc, or a wrapper when that cannot be enabled), where
# the tests that confine the tool's memory with `ulimit` are passed over:
# the emulator maps the guest's whole address space as it starts.
# Usage: tarball_test.sh TARBALL BUILD_RELEASE_DIR
set -euo pipefail
tarball=$(realpath "$1")
release=$(realpath "$2")
scratch=$(mktemp -d "${TMPDIR:-/tmp}/sl_depth_tarball.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
# Some tests run the tool as another user.
chmod 755 "$scratch"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

name=$(basename "$tarball" .tar.gz)
arch=${name##*-linux-}
case $arch in
  x86_64) machine="Advanced Micro Devices X86-64" oldest_kernel=3.2.0 ;;
  aarch64) machine=AArch64 oldest_kernel=3.7.0 ;;
  *) echo "FAIL: no architecture in the name $name"; exit 1 ;;
esac

listing=$(tar -tzf "$tarball" | LC_ALL=C sort | paste -sd' ')
expected=$(printf "$name/%s " LICENSE-gcc-runtime.txt LICENSE-glibc.txt LICENSE-libtiff.txt \
  README-linux.txt libtiff-version.txt sl_depth sl_depth.1)
[ "$listing" = "${expected% }" ] || fail "tarball holds: $listing"
tar -xzf "$tarball" -C "$scratch"
folder=$scratch/$name
binary=$folder/sl_depth
[ -x "$binary" ] || { fail "no executable $name/sl_depth"; exit 1; }

# No dynamic loader, no shared library, this architecture, and the kernel
# of the C library's ABI tag (the oldest it starts on).
header=$(readelf -hlW "$binary")
grep -q "Machine: *$machine\$" <<<"$header" || fail "not an $arch program: $(file -b "$binary")"
! grep -q INTERP <<<"$header" || fail "has a dynamic loader: $(file -b "$binary")"
! readelf -dW "$binary" | grep -q NEEDED || fail "needs shared libraries: $(readelf -dW "$binary" | grep NEEDED)"
abi=$(readelf -nW "$binary" | sed -n 's/.*OS: Linux, ABI: \([0-9.]*\).*/\1/p')
[ "$abi" = "$oldest_kernel" ] || fail "ABI tag: Linux '$abi', expected $oldest_kernel"
grep -q "^  Debian source package:  tiff [0-9]" "$folder/libtiff-version.txt" ||
  fail "libtiff-version.txt: $(cat "$folder/libtiff-version.txt")"
cmp -s "$folder/sl_depth.1" "$(dirname "$0")/../../docs/sl_depth.1" || fail "sl_depth.1 is not docs/sl_depth.1"

# A program of another architecture: through binfmt_misc when it can be
# enabled, else through a wrapper that starts the emulator.
emulated=
if [ "$arch" != "$(uname -m)" ]; then
  emulated=qemu-$arch
  "$binary" >/dev/null 2>&1 || [ $? -ne 126 ] || update-binfmts --enable "qemu-$arch" >/dev/null 2>&1 || true
  if ! { "$binary" >/dev/null 2>&1 || [ $? -ne 126 ]; }; then
    emulated="a wrapper around qemu-$arch-static"
    printf '#!/bin/sh\nexec qemu-%s-static "%s" "$@"\n' "$arch" "$binary" >"$scratch/run"
    chmod +x "$scratch/run"
    binary=$scratch/run
  fi
fi

status=0
usage=$("$binary" 2>&1 >/dev/null) || status=$?
[ "$status" -eq 1 ] && [ "$usage" = "usage : sl_depth bit (x1 y1 x2 y2)" ] ||
  fail "sl_depth without arguments: status $status: $usage"
version=$(cd "$scratch" && "$binary" --version 2>&1 | head -n 1) || true
echo "$name/sl_depth --version: $version"
[ "$failures" -eq 0 ] || exit 1

echo "end-to-end tests against $name/sl_depth${emulated:+ under $emulated}"
log=$scratch/e2e.log
start=$(date +%s)
if ! (cd "$release" && SL_DEPTH_UNDER_TEST="$binary" SL_DEPTH_EMULATED=${emulated:+1} \
  ctest -L e2e -j"$(nproc)" --output-on-failure >"$log" 2>&1); then
  cat "$log"
  exit 1
fi
echo "$(grep -E 'tests passed|tests failed' "$log"), $(($(date +%s) - start)) s"
