#!/usr/bin/env bash
# A portable tarball's program inside another root (as root, with chroot):
# the root of an older Linux (a Debian 11 chroot, say) or, given `empty`, a
# directory that holds nothing but the program and the series, no shell,
# no C library, no /proc. For each case of the table the same series is
# converted there and, by the release build, here; the exit status, both
# console streams and every file left must be the same bytes.
# Usage: in_root_test.sh ROOT|empty TARBALL BUILD_RELEASE_DIR
set -euo pipefail
root=$1
tarball=$(realpath "$2")
release=$(realpath "$3")
reference=$release/src/convert/sl_depth
make_series=$release/tools/make_series
scratch=$(mktemp -d "${TMPDIR:-/tmp}/sl_depth_root.XXXXXX")
cleanup=(rm -rf "$scratch")
trap '"${cleanup[@]}"' EXIT

# Inside a system root the cases live in a directory of their own under its
# /tmp, and its shell changes into each; an empty root is made afresh for
# each case, with the series at its top, where chroot starts the program.
if [ "$root" = empty ]; then
  system=
else
  root=$(realpath "$root")
  [ -x "$root/bin/sh" ] || { echo "FAIL: $root is no system root (no /bin/sh)"; exit 1; }
  system=$(cd "$root/tmp" && mktemp -d sl_depth_root.XXXXXX)
  cleanup+=("$root/tmp/$system")
  tar -xzf "$tarball" -C "$root/tmp/$system" --strip-components=1
fi
name=$(basename "$tarball" .tar.gz)

# Runs the program in the root on the series `case`; status and console
# streams go to files beside the case in the scratch directory.
run_in_root() {
  local case=$1 status=0
  shift
  if [ -z "$system" ]; then
    chroot "$scratch/$case.root" /sl_depth "$@" >"$scratch/$case.root.out" 2>"$scratch/$case.root.err" || status=$?
  else
    chroot "$root" /bin/sh -c 'cd "$0" && exec ../sl_depth "$@"' "/tmp/$system/$case" "$@" \
      >"$scratch/$case.root.out" 2>"$scratch/$case.root.err" || status=$?
  fi
  echo "$status" >"$scratch/$case.root.status"
}
series_in_root() {
  if [ -z "$system" ]; then echo "$scratch/$1.root"; else echo "$root/tmp/$system/$1"; fi
}

common=(--count 4 --width 96 --height 72 --scale 20000 --scale-step -1000 --offset -0.5 --offset-step 0.1)
cases=$(cat <<'TABLE'
# name          | make_series options                           | strip broken in | arguments
lzw-8           | --compression lzw                             | -               | 8
lzw-pred-be-16  | --compression lzw --predictor 2 --big-endian  | -               | 16 10 5 70 40
packbits-0      | --compression packbits                        | -               | 0
bad-strip       | --compression lzw                             | rec0002.tif     | 8
TABLE
)

failures=0
field() { sed -E 's/^[[:space:]]+|[[:space:]]+$//g' <<<"$1"; }
while IFS='|' read -r case options broken arguments; do
  case=$(field "$case")
  case $case in '' | '#'*) continue ;; esac
  read -ra options <<<"$options"
  broken=$(field "$broken")
  read -ra arguments <<<"$arguments"
  here=$scratch/$case.here
  there=$(series_in_root "$case")
  "$make_series" "$here" "${common[@]}" "${options[@]}" >/dev/null
  # The first strip starts right after the 8-byte header: four bytes of
  # ones are no LZW code of a fresh strip.
  [ "$broken" = - ] || printf '\377\377\377\377' | dd of="$here/$broken" bs=1 seek=8 conv=notrunc status=none
  cp -a "$here" "$there"
  [ -n "$system" ] || tar -xzf "$tarball" -C "$there" --strip-components=1 "$name/sl_depth"

  status=0
  (cd "$here" && "$reference" "${arguments[@]}" >"$here.out" 2>"$here.err") || status=$?
  run_in_root "$case" "${arguments[@]}"
  problems=()
  [ "$(cat "$scratch/$case.root.status")" = "$status" ] ||
    problems+=("status $(cat "$scratch/$case.root.status"), $status here")
  cmp -s "$here.out" "$scratch/$case.root.out" || problems+=("standard output differs")
  cmp -s "$here.err" "$scratch/$case.root.err" ||
    problems+=("standard error: $(tr '\r' '\n' <"$scratch/$case.root.err" | tail -n 2 | paste -sd' ')")
  rm -f "$there/sl_depth"
  files=$(cd "$here" && ls)
  [ "$(cd "$there" && ls)" = "$files" ] || problems+=("files: $(cd "$there" && ls | paste -sd' ')")
  for file in $files; do
    cmp -s "$here/$file" "$there/$file" || problems+=("$file differs")
  done
  if [ ${#problems[@]} -eq 0 ]; then
    printf 'ok    %-16s status %s, %s outputs\n' "$case" "$status" "$(cd "$here" && ls | grep -c '^r[oh]' || true)"
  else
    printf 'FAIL  %-16s %s\n' "$case" "$(IFS=';'; echo "${problems[*]}")"
    failures=$((failures + 1))
  fi
done <<<"$cases"

# What the program says of itself there.
if [ -n "$system" ]; then
  version=$(chroot "$root" /bin/sh -c 'cd /tmp && "$0" --version' "/tmp/$system/sl_depth" 2>&1 | head -n 1) || true
  echo "$name/sl_depth --version in $root: $version"
fi
[ "$failures" -eq 0 ]
