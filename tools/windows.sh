#!/usr/bin/env bash
# Cross-builds the Windows sl_depth.exe on Debian (as root): installs the
# MinGW-w64 compilers and Wine when missing, builds libtiff from Debian's own
# source package for Windows, then sl_depth.exe and its ZIP package.
#
# Leaves in build/windows/:
#   sl_depth.exe                    one self-contained 64-bit program
#   sl_depth-<version>-win64.zip    the program, README-windows.txt and the
#                                   licences of the libraries linked into it
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
  cmake make dpkg-dev zip wine wine64
mkdir -p "$out"

# Runs a long-winded command with its output in a log, shown only when it fails.
logged() {
  local log=$out/$1
  shift
  "$@" >"$log" 2>&1 || { tail -n 40 "$log" >&2; echo "failed: $* (log: $log)" >&2; return 1; }
}

# --- libtiff's source, once ---

# Source entries for the Debian archive, next to its binary entries: the
# stanzas of debian.sources (deb822) or the "deb" lines of sources.list,
# copied with the type deb-src.
add_debian_source_entries() {
  local sources=/etc/apt/sources.list.d/debian.sources
  if [ -f "$sources" ]; then
    sed -E 's/^Types:.*/Types: deb-src/' "$sources" >/etc/apt/sources.list.d/sl-depth-deb-src.sources
  elif [ -f /etc/apt/sources.list ]; then
    sed -nE 's/^deb[[:space:]]+(.*debian.*)$/deb-src \1/p' /etc/apt/sources.list \
      >/etc/apt/sources.list.d/sl-depth-deb-src.list
  fi
  apt-get update -qq
}

# The version the Linux build links comes first, so that both builds write
# the same bytes; then the others, newest first, for an archive that lacks
# that one's source.
fetch_tiff_source() {
  local linux_version versions version
  linux_version=$(dpkg-query -W -f='${source:Version}' libtiff-dev 2>/dev/null || true)
  mapfile -t versions < <({
    [ -z "$linux_version" ] || echo "$linux_version"
    apt-cache showsrc tiff | sed -n 's/^Version: //p' | sort -Vr
  } | awk '!seen[$0]++')
  for version in "${versions[@]}"; do
    echo "fetching Debian's source of libtiff $version"
    if (cd "$out" && apt-get source -qq "tiff=$version") >"$out/apt-source.log" 2>&1; then
      [ -z "$linux_version" ] || [ "$version" = "$linux_version" ] ||
        echo "note: the Linux build links libtiff $linux_version, whose source the archive lacks"
      return 0
    fi
  done
  cat "$out/apt-source.log" >&2
  return 1
}

find_tiff_source() { find "$out" -maxdepth 2 -path "$out/tiff-*/LICENSE.md" -printf '%h\n' | head -n 1; }

tiff_source=$(find_tiff_source)
if [ -z "$tiff_source" ]; then
  if ! apt-cache showsrc tiff >/dev/null 2>&1; then
    echo "adding deb-src entries for the Debian archive"
    add_debian_source_entries
  fi
  fetch_tiff_source
  tiff_source=$(find_tiff_source)
fi

# --- libtiff for Windows: static, no codec library, no tools ---

toolchain=$root/cmake/mingw-w64-x86_64.cmake
if [ ! -f "$deps/lib/libtiff.a" ]; then
  echo "building libtiff from $tiff_source"
  logged tiff-configure.log cmake -S "$tiff_source" -B "$out/tiff-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps" -DBUILD_SHARED_LIBS=OFF \
    -Dtiff-tools=OFF -Dtiff-tests=OFF -Dtiff-contrib=OFF -Dtiff-docs=OFF -Dcxx=OFF \
    -Dzlib=OFF -Dlibdeflate=OFF -Dpixarlog=OFF -Djpeg=OFF -Dold-jpeg=OFF -Djpeg12=OFF \
    -Djbig=OFF -Dlerc=OFF -Dlzma=OFF -Dzstd=OFF -Dwebp=OFF -Dtiff-opengl=OFF
  logged tiff-build.log cmake --build "$out/tiff-build" -j"$jobs"
  logged tiff-install.log cmake --install "$out/tiff-build"
fi

# --- sl_depth.exe and its ZIP ---

logged configure.log cmake -S . -B "$out/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$deps" -DSL_TESTS=OFF \
  -DSL_TIFF_LICENSE="$tiff_source/LICENSE.md" \
  -DSL_MINGW_LICENSE=/usr/share/doc/mingw-w64-x86-64-dev/copyright
cmake --build "$out/build" -j"$jobs"
cp -p "$out/build/src/convert/sl_depth.exe" "$out/sl_depth.exe"
logged cpack.log cpack -G ZIP --config "$out/build/CPackConfig.cmake" -B "$out"
rm -rf "$out/_CPack_Packages"
echo "built $out/sl_depth.exe and $(ls "$out"/sl_depth-*-win64.zip)"
