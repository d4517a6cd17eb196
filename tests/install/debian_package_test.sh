#!/usr/bin/env bash
# The Debian package of this build: its control fields, a Depends field that
# names exactly the packages the binary's shared libraries come from, with a
# C library new enough for every symbol it uses, its contents (the manual
# page compressed, the copyright file, a changelog of this version), no
# error or warning from lintian when it is installed, and the unpacked
# binary converting a generated series.
# Usage: debian_package_test.sh CPACK BUILD_DIR MAKE_SERIES VERSION PAGE
set -euo pipefail
cpack=$1
build_dir=$2
make_series=$3
version=$4
page=$5
scratch=$(mktemp -d "${TMPDIR:-/tmp}/sl_depth_package.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The build's own package configuration with one change. cpack first builds
# the project's "preinstall" target, which would rebuild this tree under the
# tests running beside this one whenever a source changed after the build.
# Named as a Ninja build, which has no such target, the tree is packaged as
# it stands.
{
  cat "$build_dir/CPackConfig.cmake"
  echo 'set(CPACK_CMAKE_GENERATOR "Ninja")'
} >"$scratch/CPackConfig.cmake"
if ! log=$("$cpack" -G DEB --config "$scratch/CPackConfig.cmake" -B "$scratch/out" 2>&1); then
  echo "FAIL: cpack:"$'\n'"$log"
  exit 1
fi
packages=("$scratch"/out/*.deb)
if [ "${#packages[@]}" -ne 1 ] || [ ! -f "${packages[0]}" ]; then
  echo "FAIL: expected one .deb, found: ${packages[*]}"
  exit 1
fi
deb=${packages[0]}

# Control fields, and a Maintainer of some kind.
while IFS='|' read -r field expected; do
  actual=$(dpkg-deb -f "$deb" "$field")
  [ "$actual" = "$expected" ] || fail "$field is '$actual', expected '$expected'"
done <<EOF
Package|sl-depth
Version|$version
Section|science
Architecture|$(dpkg --print-architecture)
EOF
[ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || fail "no Maintainer"

root=$scratch/root
dpkg-deb -x "$deb" "$root"
contents=$(cd "$root" && find . -type f -o -type l | sort | paste -sd' ')
expected_contents="./usr/bin/sl_depth ./usr/share/doc/sl-depth/changelog.gz ./usr/share/doc/sl-depth/copyright"
expected_contents+=" ./usr/share/man/man1/sl_depth.1.gz"
[ "$contents" = "$expected_contents" ] || fail "package contents: $contents"
zcat "$root/usr/share/man/man1/sl_depth.1.gz" | cmp -s "$page" - || fail "packaged manual page differs from $page"
changelog_version=$(zcat "$root/usr/share/doc/sl-depth/changelog.gz" | dpkg-parsechangelog -l - -S Version 2>&1) || true
[ "$changelog_version" = "$version" ] || fail "the changelog's last entry is for '$changelog_version', not $version"
binary=$root/usr/bin/sl_depth

# The owner of every shared library the binary loads, looked up by the
# library's directory name and file name as the loader resolves it (merged
# /usr lists one file under two paths). Each must be in Depends, and
# Depends must hold nothing else.
owners=()
while read -r library; do
  # The dynamic loader is part of the C library too.
  case $library in ld-linux*) continue ;; esac
  path=$(ldd "$binary" | awk -v name="$library" '$1 == name { print $3 }')
  if [ -z "$path" ] || [ ! -e "$path" ]; then
    fail "$library: not found by the loader"
    continue
  fi
  pattern="*/$(basename "$(dirname "$path")")/$library"
  owner=$(dpkg -S "$pattern" 2>/dev/null | head -n 1 | sed -E 's/^([^:,]+).*/\1/') || true
  [ -n "$owner" ] || { fail "$library: no package owns $pattern"; continue; }
  owners+=("$owner")
done < <(readelf -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\].*/\1/p')
needed_packages=$(printf '%s\n' "${owners[@]}" | sort -u | paste -sd' ')
depends=$(dpkg-deb -f "$deb" Depends)
declared=$(tr ',' '\n' <<<"$depends" | sed -E 's/^ *([^ (]+).*/\1/' | sort -u | paste -sd' ')
[ "$needed_packages" = "$declared" ] || fail "Depends is '$depends', the binary needs '$needed_packages'"
grep -q 'libtiff' <<<"$depends" || fail "Depends '$depends' does not name the libtiff package"
# A C library older than the newest GLIBC_ symbol version the binary uses
# does not start it.
newest=$(objdump -T "$binary" | grep -oE 'GLIBC_[0-9.]+' | sed 's/GLIBC_//' | sort -uV | tail -n 1)
bound=$(sed -nE 's/.*libc6 \(>= ([^)]+)\).*/\1/p' <<<"$depends")
dpkg --compare-versions "${bound:-0}" ge "$newest" ||
  fail "Depends asks for libc6 ${bound:+>= }${bound:-of any version}, the binary uses GLIBC_$newest"

if command -v lintian >/dev/null; then
  lintian_status=0
  lintian --fail-on error,warning "$deb" >"$scratch/lintian" 2>&1 || lintian_status=$?
  [ "$lintian_status" -eq 0 ] || fail "lintian:"$'\n'"$(grep -v '^running with root' "$scratch/lintian")"
else
  echo "lintian not installed: the package is not checked by it"
fi

# The unpacked binary on a generated series (scale 10000, offset -0.5, so
# max = 65536 / 10000 - 0.5), one run per row in a fresh copy of the series.
series=$scratch/series
"$make_series" "$series" --count 3 --width 40 --height 30 --scale 10000 --offset -0.5 >/dev/null
range_line=$'\nmax=6.053600\tmin=-0.500000'
while IFS='|' read -r name arguments outputs scaling_line; do
  work=$scratch/run_$name
  cp -r "$series" "$work"
  status=0
  # shellcheck disable=SC2086 # the arguments are split on purpose
  out=$(cd "$work" && "$binary" $arguments 2>"$scratch/err") || status=$?
  [ "$status" -eq 0 ] || fail "$name: status $status: $(tr '\r' '\n' <"$scratch/err")"
  expected_out=$range_line
  [ -z "$scaling_line" ] || expected_out+=$'\n'"$(printf '%b' "$scaling_line")"
  [ "$out" = "$expected_out" ] || fail "$name: standard output:"$'\n'"$out"
  files=$(cd "$work" && find . -mindepth 1 -printf '%P\n' | LC_ALL=C sort | paste -sd' ')
  expected_files="rec0000.tif rec0001.tif rec0002.tif${outputs:+ $outputs}"
  [ "$files" = "$expected_files" ] || fail "$name: files: $files"
done <<'EOF'
bit_8|8|ro0000.tif ro0001.tif ro0002.tif|div=39.062500\tbase=-0.500000
bit_16_cropped|16 2 3 21 17|rh0000.tif rh0001.tif rh0002.tif|div=10000.000000\tbase=-0.500000
range_only|0||
EOF

[ "$failures" -eq 0 ] || exit 1
echo "$(basename "$deb"): Depends: $depends"
echo "usr/bin/sl_depth --version: $(cd "$scratch" && "$binary" --version 2>&1 | head -n 1)"
