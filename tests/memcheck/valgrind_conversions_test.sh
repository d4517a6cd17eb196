#!/usr/bin/env bash
# One conversion per strip coding, and one run stopped by a broken slice,
# under valgrind's memory checker: no invalid access, no use of undefined
# values, no leak. Usage: valgrind_conversions_test.sh SL_DEPTH MAKE_SERIES
set -euo pipefail
sl_depth=$1
make_series=$2
scratch=$(mktemp -d "${TMPDIR:-/tmp}/sl_depth_valgrind.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0

# Exit status 99 marks a valgrind finding; anything else is the tool's own.
memcheck() {
  valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect \
    "$sl_depth" "$@" >/dev/null 2>>"$scratch/valgrind.log"
}

run_case() {
  local name=$1 expected=$2 bit=$3
  shift 3
  local dir="$scratch/$name"
  "$make_series" "$dir" --count 2 --width 67 --height 45 --rows-per-strip 7 "$@" >/dev/null
  local status=0
  (cd "$dir" && memcheck "$bit") || status=$?
  if [ "$status" -ne "$expected" ]; then
    echo "FAIL: $name: status $status, expected $expected"
    failures=$((failures + 1))
  fi
}

run_case none 0 8
run_case none_16_bit_big_endian 0 16 --big-endian
run_case lzw 0 16 --compression lzw
run_case lzw_predictor 0 8 --compression lzw --predictor 2
run_case packbits 0 8 --compression packbits --fill-order 2
run_case odd_depth_lzw 0 16 --compression lzw --bits 12

# A slice cut short stops the run with status 1.
dir="$scratch/cut_file"
"$make_series" "$dir" --count 2 --width 67 --height 45 >/dev/null
head -c 2000 "$dir/rec0001.tif" >"$dir/rec0001.cut" && mv "$dir/rec0001.cut" "$dir/rec0001.tif"
status=0
(cd "$dir" && memcheck 8) || status=$?
if [ "$status" -ne 1 ]; then
  echo "FAIL: cut_file: status $status, expected 1"
  failures=$((failures + 1))
fi

if [ -s "$scratch/valgrind.log" ]; then
  cat "$scratch/valgrind.log"
fi
if [ "$failures" -ne 0 ]; then
  echo "$failures valgrind case(s) failed"
  exit 1
fi
echo "valgrind: 7 runs clean"
