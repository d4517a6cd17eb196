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
#   sl_depth-<version>-win64.zip    the program, README-windows.txt,
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

# Runs a long-winded command with its output in a log, shown only when it fails.
logged() {
  local log=$out/$1
  shift
  "$@" >"$log" 2>&1 || { tail -n 40 "$log" >&2; echo "failed: $* (log: $log)" >&2; return 1; }
}

# --- libtiff's source: the version the Linux build links, or the nearest ---

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

# 4.5.0 for 4.5.0-6+deb12u5 (and for 1:4.5.0-1).
upstream_of() {
  local version=${1#*:}
  echo "${version%-*}"
}

# The versions read, one a line, in dpkg's order, oldest first.
dpkg_order() {
  local version i sorted=()
  while read -r version; do
    i=${#sorted[@]}
    while [ "$i" -gt 0 ] && dpkg --compare-versions "${sorted[i - 1]}" gt "$version"; do
      sorted[i]=${sorted[i - 1]}
      i=$((i - 1))
    done
    sorted[i]=$version
  done
  printf '%s\n' "${sorted[@]}"
}

# The versions of Debian's tiff source with the upstream version of
# `wanted`, nearest first: `wanted` itself, then by their distance from it
# in dpkg's order; of two as near, the newer one, which keeps wanted's
# Debian patches.
nearest_tiff_sources() {
  local wanted=$1 at=0 i ordered=()
  mapfile -t ordered < <({
    echo "$wanted"
    apt-cache showsrc tiff | sed -n 's/^Version: //p'
  } | awk '!seen[$0]++' | dpkg_order)
  for i in "${!ordered[@]}"; do [ "${ordered[i]}" != "$wanted" ] || at=$i; done
  for i in "${!ordered[@]}"; do
    [ "$(upstream_of "${ordered[i]}")" = "$(upstream_of "$wanted")" ] || continue
    echo "$((i > at ? i - at : at - i)) $((i < at)) ${ordered[i]}"
  done | sort -n -k1,1 -k2,2 | cut -d' ' -f3
}

# Unpacks Debian's tiff source of that version, patches applied, into
# $sources/VERSION; a directory is there only once complete, so a later run
# takes it as it is.
fetch_tiff_source() {
  local version=$1
  rm -rf "$sources/$version.partial"
  echo "fetching Debian's source of libtiff $version"
  (cd "$sources" && apt-get source --download-only -qq "tiff=$version" &&
    dpkg-source -x "tiff_${version#*:}.dsc" "$version.partial") </dev/null >>"$out/apt-source.log" 2>&1 &&
    mv "$sources/$version.partial" "$sources/$version"
}

# The Debian version of an unpacked source, from its changelog.
source_version() { dpkg-parsechangelog -l "$1/debian/changelog" -S Version 2>/dev/null || true; }

linux_version=$(dpkg-query -W -f='${source:Version}' libtiff-dev)
sources=$out/tiff-source
mkdir -p "$sources"
: >"$out/apt-source.log"
if [ ! -d "$sources/$linux_version" ] && [ -z "$(apt-cache showsrc tiff 2>/dev/null | sed -n 's/^Version: //p')" ]; then
  echo "adding deb-src entries for the Debian archive"
  add_debian_source_entries
fi
tiff_version=
while read -r version; do
  # A directory of another version than its name (left by hand) is fetched anew.
  [ "$(source_version "$sources/$version")" = "$version" ] || rm -rf "${sources:?}/$version"
  [ -d "$sources/$version" ] || fetch_tiff_source "$version" || continue
  tiff_version=$version
  break
done < <(nearest_tiff_sources "$linux_version")
if [ -z "$tiff_version" ]; then
  cat "$out/apt-source.log" >&2
  echo "failed: Debian's archive has no source of libtiff $(upstream_of "$linux_version")," \
    "the upstream version the Linux build links ($linux_version)" >&2
  exit 1
fi
tiff_source=$sources/$tiff_version

# --- libtiff for Windows: static, no codec library, no tools ---

# Rebuilt whenever the source changes; deps/tiff-source-version tells which
# one the installed library came from.
toolchain=$root/cmake/mingw-w64-x86_64.cmake
if [ ! -f "$deps/lib/libtiff.a" ] || [ "$(cat "$deps/tiff-source-version" 2>/dev/null)" != "$tiff_version" ]; then
  echo "building libtiff $tiff_version"
  rm -rf "$out/tiff-build" "$deps"
  logged tiff-configure.log cmake -S "$tiff_source" -B "$out/tiff-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps" -DBUILD_SHARED_LIBS=OFF \
    -Dtiff-tools=OFF -Dtiff-tests=OFF -Dtiff-contrib=OFF -Dtiff-docs=OFF -Dcxx=OFF \
    -Dzlib=OFF -Dlibdeflate=OFF -Dpixarlog=OFF -Djpeg=OFF -Dold-jpeg=OFF -Djpeg12=OFF \
    -Djbig=OFF -Dlerc=OFF -Dlzma=OFF -Dzstd=OFF -Dwebp=OFF -Dtiff-opengl=OFF
  logged tiff-build.log cmake --build "$out/tiff-build" -j"$jobs"
  logged tiff-install.log cmake --install "$out/tiff-build"
  echo "$tiff_version" >"$deps/tiff-source-version"
fi

# --- sl_depth.exe and its ZIP ---

logged configure.log cmake -S . -B "$out/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$deps" -DSL_TESTS=OFF -DSL_WERROR=ON \
  -DSL_TIFF_LICENSE="$tiff_source/LICENSE.md" -DSL_TIFF_SOURCE="tiff $tiff_version" \
  -DSL_MINGW_LICENSE=/usr/share/doc/mingw-w64-x86-64-dev/copyright
cmake --build "$out/build" -j"$jobs"
cp -p "$out/build/src/convert/sl_depth.exe" "$out/sl_depth.exe"
cp -p "$out/build/windows-text/libtiff-version.txt" "$out/libtiff-version.txt"
logged cpack.log cpack -G ZIP --config "$out/build/CPackConfig.cmake" -B "$out"
rm -rf "$out/_CPack_Packages"
echo "built $out/sl_depth.exe and $(ls "$out"/sl_depth-*-win64.zip)"

# The libtiff inside, as the program's headers give it: a library built
# from another upstream version makes no build, nor does one of another
# upstream version than the Linux build's, whose bytes may differ.
built=$(tr -d '\r' <"$out/libtiff-version.txt" | sed -n 's/^ *version: *//p')
echo "libtiff: $built from Debian's tiff $tiff_version in the Windows build, $linux_version in the Linux build"
if [ "$built" != "$(upstream_of "$tiff_version")" ] || [ "$built" != "$(upstream_of "$linux_version")" ]; then
  echo "failed: the Windows build's libtiff $built is not the Linux build's $(upstream_of "$linux_version")" >&2
  exit 1
fi
[ "$tiff_version" = "$linux_version" ] ||
  echo "note: Debian's archive has no source of libtiff $linux_version, which the Linux build links; the Windows build has the nearest one, $tiff_version"
