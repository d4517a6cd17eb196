#!/usr/bin/env bash
# Cross-builds the Windows sl_depth.exe on Debian (as root): installs the
# MinGW-w64 compilers and Wine when missing, builds libtiff for Windows from
# Debian's source of the libtiff version the Linux build links (or, when the
# archive lacks that one, of the nearest version of the same upstream
# release, with a note at the end), then sl_depth.exe and its ZIP package.
#
# Leaves in build/windows/:
#   sl_depth.exe                    one self-contained 64-bit program
#   libtiff-version.txt             the libtiff inside it and its source package
#   sl_depth-<version>-win64.zip    one folder sl_depth-<version>-win64/
#                                   with the program, README-windows.txt,
#                                   libtiff-version.txt and the licences of
#                                   the libraries linked into it
# A second run rebuilds only what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=$root/build/windows
deps=$out/deps
jobs=$(nproc)
[ "$jobs" -le 2 ] || jobs=2

source tools/packages.sh
install_missing_packages g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev \
  cmake make dpkg-dev zip unzip wine wine64 libtiff-dev
mkdir -p "$out"

# --- libtiff's source: the version the Linux build links, or the nearest ---

source tools/tiff_source.sh
choose_tiff_source "$out/tiff-source" "$out/apt-source.log"

# --- libtiff for Windows: static, no codec library, no tools ---

# Rebuilt whenever the source changes; deps/tiff-source-version tells which
# one the installed library came from.
toolchain=$root/cmake/mingw-w64-x86_64.cmake
if [ ! -f "$deps/lib/libtiff.a" ] || [ "$(cat "$deps/tiff-source-version" 2>/dev/null)" != "$tiff_version" ]; then
  echo "building libtiff $tiff_version"
  rm -rf "$out/tiff-build" "$deps"
  logged "$out/tiff-configure.log" cmake -S "$tiff_source" -B "$out/tiff-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_INSTALL_PREFIX="$deps" "${tiff_static_options[@]}"
  logged "$out/tiff-build.log" cmake --build "$out/tiff-build" -j"$jobs"
  logged "$out/tiff-install.log" cmake --install "$out/tiff-build"
  echo "$tiff_version" >"$deps/tiff-source-version"
fi

# --- sl_depth.exe and its ZIP ---

logged "$out/configure.log" cmake -S . -B "$out/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$deps" -DSL_TESTS=OFF -DSL_WERROR=ON \
  -DSL_TIFF_LICENSE="$tiff_source/LICENSE.md" -DSL_TIFF_SOURCE="tiff $tiff_version" \
  -DSL_MINGW_LICENSE=/usr/share/doc/mingw-w64-x86-64-dev/copyright
cmake --build "$out/build" -j"$jobs"
cp -p "$out/build/src/convert/sl_depth.exe" "$out/sl_depth.exe"
cp -p "$out/build/windows-text/libtiff-version.txt" "$out/libtiff-version.txt"
logged "$out/cpack.log" cpack -G ZIP --config "$out/build/CPackConfig.cmake" -B "$out"
rm -rf "$out/_CPack_Packages"
echo "built $out/sl_depth.exe and $(ls "$out"/sl_depth-*-win64.zip)"

# The libtiff inside, as the program's headers give it.
check_tiff_versions "the Windows build" "$(tr -d '\r' <"$out/libtiff-version.txt" | sed -n 's/^ *version: *//p')"
