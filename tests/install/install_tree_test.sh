#!/usr/bin/env bash
# `cmake --install` into a scratch prefix gives the binary and the manual
# page, and nothing else; the installed binary runs.
# Usage: install_tree_test.sh CMAKE BUILD_DIR PAGE
set -euo pipefail
cmake=$1
build_dir=$2
page=$3
prefix=$(mktemp -d "${TMPDIR:-/tmp}/sl_depth_install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if ! log=$("$cmake" --install "$build_dir" --prefix "$prefix" 2>&1); then
  echo "FAIL: cmake --install:"$'\n'"$log"
  exit 1
fi

installed=$(cd "$prefix" && find . -type f -o -type l | sort)
expected=$'./bin/sl_depth\n./share/man/man1/sl_depth.1'
[ "$installed" = "$expected" ] || fail "installed files:"$'\n'"$installed"$'\nexpected:\n'"$expected"

[ -x "$prefix/bin/sl_depth" ] || fail "bin/sl_depth is not executable"
cmp -s "$page" "$prefix/share/man/man1/sl_depth.1" || fail "installed manual page differs from $page"

# Without arguments the installed tool prints its usage line and fails.
status=0
usage=$("$prefix/bin/sl_depth" 2>&1 >/dev/null) || status=$?
[ "$status" -eq 1 ] || fail "sl_depth without arguments: status $status"
[ "$usage" = "usage : sl_depth bit (x1 y1 x2 y2)" ] || fail "sl_depth without arguments printed: $usage"

[ "$failures" -eq 0 ] || exit 1
echo "installed: $(tr '\n' ' ' <<<"$installed")"
