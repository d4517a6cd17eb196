# Sourced by the scripts that build libtiff into a self-contained sl_depth
# (tools/windows.sh, tools/portable.sh): Debian's tiff source of the version
# the Linux build links, or, when the archive lacks that one, of the nearest
# version of the same upstream release; and the options of a static libtiff
# without any codec library, so that every such build writes the bytes the
# Linux build writes.

# Static, no codec library, no tools: LZW and PackBits, all the tool reads
# and writes besides uncompressed strips, are libtiff's own code.
tiff_static_options=(-DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF
  -Dtiff-tools=OFF -Dtiff-tests=OFF -Dtiff-contrib=OFF -Dtiff-docs=OFF -Dcxx=OFF
  -Dzlib=OFF -Dlibdeflate=OFF -Dpixarlog=OFF -Djpeg=OFF -Dold-jpeg=OFF -Djpeg12=OFF
  -Djbig=OFF -Dlerc=OFF -Dlzma=OFF -Dzstd=OFF -Dwebp=OFF -Dtiff-opengl=OFF)

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

# fetch_tiff_source SOURCES VERSION LOG: unpacks Debian's tiff source of
# that version, patches applied, into SOURCES/VERSION. It is unpacked in a
# directory of its own and renamed once complete, so a directory under the
# version's name is always whole and two builds fetching at once do not
# mix their files; the downloaded files go with the temporary directory.
fetch_tiff_source() {
  local sources=$1 version=$2 log=$3 partial status=0
  echo "fetching Debian's source of libtiff $version"
  partial=$(mktemp -d "$sources/.fetch.XXXXXX")
  (cd "$partial" && apt-get source --download-only -qq "tiff=$version" &&
    dpkg-source -x "tiff_${version#*:}.dsc" unpacked) </dev/null >>"$log" 2>&1 || status=1
  # Another build may have put the same source in place meanwhile.
  [ "$status" -ne 0 ] || mv -T "$partial/unpacked" "$sources/$version" 2>/dev/null ||
    [ -d "$sources/$version" ] || status=1
  rm -rf "$partial"
  return "$status"
}

# The Debian version of an unpacked source, from its changelog.
source_version() { dpkg-parsechangelog -l "$1/debian/changelog" -S Version 2>/dev/null || true; }

# choose_tiff_source SOURCES LOG: sets linux_version (the libtiff the Linux
# build links, from libtiff-dev), tiff_version (the Debian version taken)
# and tiff_source (its unpacked directory under SOURCES); fails when the
# archive has no source of the same upstream release.
choose_tiff_source() {
  local sources=$1 log=$2 version
  linux_version=$(dpkg-query -W -f='${source:Version}' libtiff-dev)
  mkdir -p "$sources"
  : >"$log"
  if [ ! -d "$sources/$linux_version" ] && [ -z "$(apt-cache showsrc tiff 2>/dev/null | sed -n 's/^Version: //p')" ]; then
    echo "adding deb-src entries for the Debian archive"
    add_debian_source_entries
  fi
  tiff_version=
  while read -r version; do
    # A directory of another version than its name (left by hand) is fetched anew.
    [ "$(source_version "$sources/$version")" = "$version" ] || rm -rf "${sources:?}/$version"
    [ -d "$sources/$version" ] || fetch_tiff_source "$sources" "$version" "$log" || continue
    tiff_version=$version
    break
  done < <(nearest_tiff_sources "$linux_version")
  if [ -z "$tiff_version" ]; then
    cat "$log" >&2
    echo "failed: Debian's archive has no source of libtiff $(upstream_of "$linux_version")," \
      "the upstream version the Linux build links ($linux_version)" >&2
    return 1
  fi
  tiff_source=$sources/$tiff_version
}

# check_tiff_versions BUILD BUILT: BUILT is the libtiff version inside the
# program, as its headers give it. A library built from another upstream
# version makes no build, nor does one of another upstream version than the
# Linux build's, whose bytes may differ. BUILD names the build in the lines
# printed ("the Windows build").
check_tiff_versions() {
  local build=$1 built=$2
  echo "libtiff: $built from Debian's tiff $tiff_version in $build, $linux_version in the Linux build"
  if [ "$built" != "$(upstream_of "$tiff_version")" ] || [ "$built" != "$(upstream_of "$linux_version")" ]; then
    echo "failed: $build's libtiff $built is not the Linux build's $(upstream_of "$linux_version")" >&2
    return 1
  fi
  [ "$tiff_version" = "$linux_version" ] ||
    echo "note: Debian's archive has no source of libtiff $linux_version, which the Linux build links; $build has the nearest one, $tiff_version"
}
