#!/usr/bin/env bash
# Builds the portable Linux tarballs on Debian (as root): for each
# architecture, libtiff from Debian's source of the version the Linux build
# links (or the nearest of the same upstream release, with a note at the
# end, as tools/windows.sh takes it), static and without any codec library,
# then a statically linked sl_depth and its tarball.
# Usage: tools/portable.sh [ARCH...]     ARCH: x86_64 (native), aarch64
#                                       (Debian's cross compiler); both
#                                       when none is named
#
# Leaves in build/portable/:
#   sl_depth-<version>-linux-<arch>.tar.gz   one folder: sl_depth, its
#                                            manual page, README-linux.txt,
#                                            libtiff-version.txt and the
#                                            licences of what is linked in
#
# What is slow to make and the same for every clone is kept outside the
# repository, under SL_CACHE_DIR (default /var/cache/sl_depth): the unpacked
# tiff source (tiff-source/VERSION) and each architecture's static libtiff
# (libtiff/ARCH/VERSION-KEY, KEY naming the compiler and the options). Each
# is made in a temporary directory and renamed once complete, so a build
# stopped half-way or running beside another leaves nothing half-made. A
# second run builds sl_depth only.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=$root/build/portable
cache=${SL_CACHE_DIR:-/var/cache/sl_depth}
jobs=$(nproc)
[ "$jobs" -le 2 ] || jobs=2
arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=(x86_64 aarch64)

packages=(g++ cmake make dpkg-dev file libtiff-dev)
for arch in "${arches[@]}"; do
  case $arch in
    x86_64) [ "$(uname -m)" = x86_64 ] || { echo "x86_64 is built natively, on an x86_64 machine" >&2; exit 1; } ;;
    aarch64) packages+=(g++-aarch64-linux-gnu libc6-dev-arm64-cross) ;;
    *) echo "unknown architecture: $arch (x86_64 or aarch64)" >&2; exit 1 ;;
  esac
done
source tools/packages.sh
install_missing_packages "${packages[@]}"
mkdir -p "$out" "$cache"

# --- libtiff's source: the version the Linux build links, or the nearest ---

source tools/tiff_source.sh
choose_tiff_source "$cache/tiff-source" "$out/apt-source.log"

# The copyright file of the Debian package that holds the file the compiler
# links under that name (libc.a, libstdc++.a).
copyright_of() {
  local file package
  file=$(realpath "$("$1" -print-file-name="$2")")
  package=$(dpkg -S "$file" | head -n 1 | cut -d: -f1)
  realpath "/usr/share/doc/$package/copyright"
}

for arch in "${arches[@]}"; do
  toolchain=()
  cc=gcc
  cxx=g++
  if [ "$arch" = aarch64 ]; then
    toolchain=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake")
    cc=aarch64-linux-gnu-gcc
    cxx=aarch64-linux-gnu-g++
  fi

  # --- libtiff for this architecture: static, no codec library, no tools ---

  # A library built by another compiler or with other options is another
  # entry, never a stale one.
  key=$( (
    "$cc" --version | head -n 1
    printf '%s\n' "${tiff_static_options[@]}"
    [ ${#toolchain[@]} -eq 0 ] || cat "$root/cmake/aarch64-linux-gnu.cmake"
  ) | sha256sum | cut -c1-12)
  deps=$cache/libtiff/$arch/$tiff_version-$key
  if [ ! -f "$deps/lib/libtiff.a" ]; then
    echo "building libtiff $tiff_version for $arch"
    mkdir -p "$cache/libtiff/$arch"
    work=$(mktemp -d "$cache/libtiff/$arch/.build.XXXXXX")
    # Removed however the script ends from here on.
    trap 'rm -rf "$work"' EXIT
    logged "$out/tiff-configure-$arch.log" cmake -S "$tiff_source" -B "$work/build" "${toolchain[@]}" \
      -DCMAKE_INSTALL_PREFIX="$work/prefix" "${tiff_static_options[@]}"
    logged "$out/tiff-build-$arch.log" cmake --build "$work/build" -j"$jobs"
    logged "$out/tiff-install-$arch.log" cmake --install "$work/build"
    echo "$tiff_version" >"$work/prefix/tiff-source-version"
    # Another build may have put the same library in place meanwhile.
    mv -T "$work/prefix" "$deps" 2>/dev/null || [ -f "$deps/lib/libtiff.a" ]
    rm -rf "$work"
    trap - EXIT
  fi

  # --- sl_depth, static, and its tarball ---

  build=$out/build-$arch
  logged "$out/configure-$arch.log" cmake -S . -B "$build" "${toolchain[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DSL_PORTABLE=ON -DSL_TESTS=OFF -DSL_WERROR=ON -DCMAKE_PREFIX_PATH="$deps" \
    -DTIFF_INCLUDE_DIR="$deps/include" -DTIFF_LIBRARY_RELEASE="$deps/lib/libtiff.a" \
    -DSL_TIFF_LICENSE="$tiff_source/LICENSE.md" -DSL_TIFF_SOURCE="tiff $tiff_version" \
    -DSL_LIBC_LICENSE="$(copyright_of "$cc" libc.a)" -DSL_GCC_LICENSE="$(copyright_of "$cxx" libstdc++.a)"
  logged "$out/build-$arch.log" cmake --build "$build" -j"$jobs"
  rm -f "$out"/sl_depth-*-linux-"$arch".tar.gz
  logged "$out/cpack-$arch.log" cpack -G TGZ --config "$build/CPackConfig.cmake" -B "$out"
  rm -rf "$out/_CPack_Packages"
  tarball=$(ls "$out"/sl_depth-*-linux-"$arch".tar.gz)
  binary=$build/src/convert/sl_depth

  # Nothing to load at run time, and the oldest kernel the C library
  # inside still starts on.
  if readelf -lW "$binary" | grep -q INTERP || readelf -dW "$binary" | grep -q NEEDED; then
    echo "failed: $binary is not statically linked: $(file -b "$binary")" >&2
    exit 1
  fi
  kernel=$(file -b "$binary" | grep -o 'for GNU/Linux [0-9.]*' || echo "for no kernel named")
  echo "built $tarball: static, $kernel"
  check_tiff_versions "the portable $arch build" "$(sed -n 's/^ *version: *//p' "$build/portable-text/libtiff-version.txt")"
done
