#!/usr/bin/env bash
# series_bench.sh: times sl_depth on a generated series next to the plain
# I/O floor and a libtiff-based converter, after checking its output.
#
# usage: bench/series_bench.sh [--count N] [--size WxH]
#          [--storage none|lzw|lzw+predictor|packbits] [--byte-order little|big]
#          [--rows-per-strip R] [--rounds N] [--build DIR] [--keep]
#
# Defaults: 64 slices of 2048x2048 16-bit samples, uncompressed,
# little-endian, one strip per slice, 5 rounds, binaries from build/bench
# (configure with -DSL_BENCH=ON). The series goes to /dev/shm when it is
# writable, so that disk speed is not what is measured.
#
# 1. Check: sl_depth 8 and 16 and libtiff_convert 8 and 16 convert the series;
#    every output file of the two must be byte for byte the same, and so must
#    the report lines. Nothing is timed when they differ (exit status 1).
# 2. Timing: one untimed warm-up round, then N rounds of every command, the
#    order rotated from round to round; the table shows the median of the
#    rounds, seconds per slice, input MB/s (10^6 bytes of rec*.tif per
#    second) and the time as a multiple of the I/O floor of the same depth:
#    on one thread ("x floor") and spread over every usable CPU ("x cpus
#    floor", io_floor --all-cpus). "sl_depth 8 1 cpu" is the same run
#    confined to one CPU with taskset, and its time over that of the run on
#    every CPU is the speed-up. Every command writes outputs whose names do
#    not exist yet, but "sl_depth 8 again", which replaces existing ones.
# 3. Peak resident memory of sl_depth 8 on 16 and on 64 slices.
set -euo pipefail
export LC_ALL=C  # decimal points in EPOCHREALTIME, awk and sort
[ -n "${EPOCHREALTIME:-}" ] || { echo "series_bench: needs bash 5 or later" >&2; exit 1; }

root=$(cd "$(dirname "$0")/.." && pwd)
count=64
width=2048
height=2048
storage=none
byte_order=little
rows_per_strip=0
rounds=5
build="$root/build/bench"
keep=0

die() { echo "series_bench: $*" >&2; exit 1; }

while [ $# -gt 0 ]; do
  case "$1" in
    --count) count=$2; shift ;;
    --size) width=${2%x*}; height=${2#*x}; shift ;;
    --storage) storage=$2; shift ;;
    --byte-order) byte_order=$2; shift ;;
    --rows-per-strip) rows_per_strip=$2; shift ;;
    --rounds) rounds=$2; shift ;;
    --build) build=$(cd "$2" && pwd); shift ;;
    --keep) keep=1 ;;
    *) sed -n '4,7p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 1 ;;
  esac
  shift
done

generator_options=(--width "$width" --height "$height" --rows-per-strip "$rows_per_strip")
case "$storage" in
  none) generator_options+=(--compression none) ;;
  lzw) generator_options+=(--compression lzw) ;;
  lzw+predictor) generator_options+=(--compression lzw --predictor 2) ;;
  packbits) generator_options+=(--compression packbits) ;;
  *) die "unknown storage $storage" ;;
esac
case "$byte_order" in
  little) ;;
  big) generator_options+=(--big-endian) ;;
  *) die "unknown byte order $byte_order" ;;
esac

sl_depth="$build/src/convert/sl_depth"
make_series="$build/tools/make_series"
io_floor="$build/bench/io_floor"
libtiff_convert="$build/bench/libtiff_convert"
for binary in "$sl_depth" "$make_series" "$io_floor" "$libtiff_convert"; do
  [ -x "$binary" ] || die "$binary missing; build with: cmake -S $root -B $build -DSL_BENCH=ON -DSL_TESTS=OFF && cmake --build $build -j2"
done

scratch_base=/dev/shm
[ -d "$scratch_base" ] && [ -w "$scratch_base" ] || scratch_base=${TMPDIR:-/tmp}
work=$(mktemp -d "$scratch_base/series_bench.XXXXXX")
if [ "$keep" = 1 ]; then
  echo "scratch directory kept: $work"
else
  trap 'rm -rf "$work"' EXIT
fi

# Writes a series of $2 slices into directory $1 with the chosen layout.
make_slices() {
  "$make_series" "$1" --count "$2" "${generator_options[@]}" >/dev/null
}

series="$work/series"
make_slices "$series" "$count"
cd "$series"
input_bytes=$(stat -c %s rec*.tif | awk '{ sum += $1 } END { print sum }')
echo "series: $count slices of ${width}x${height}, 16 bits, $storage, $byte_order-endian," \
  "$(awk -v b="$input_bytes" 'BEGIN { printf "%.1f MB", b / 1e6 }') in $scratch_base"

# ---- 1. check before timing ----

# Converts with both programs at depth $1 and compares every output file.
check_depth() {
  local bit=$1 prefix=ro
  [ "$bit" = 16 ] && prefix=rh
  local reference="$work/check$bit"
  mkdir "$reference"
  "$libtiff_convert" "$bit" >"$reference/report" || die "libtiff_convert $bit failed"
  mv ${prefix}*.tif "$reference/"
  "$sl_depth" "$bit" >"$work/report$bit" 2>"$work/console$bit" || {
    cat "$work/console$bit" >&2
    die "sl_depth $bit failed"
  }
  cmp -s "$reference/report" "$work/report$bit" || {
    diff "$reference/report" "$work/report$bit" >&2 || true
    die "sl_depth $bit reports another series scaling than libtiff_convert"
  }
  local files=0 file
  for file in "$reference"/${prefix}*.tif; do
    cmp "$file" "$(basename "$file")" >&2 || die "sl_depth $bit output differs from libtiff_convert's: $(basename "$file")"
    files=$((files + 1))
  done
  [ "$files" = "$count" ] || die "libtiff_convert $bit wrote $files files for $count slices"
  [ "$(ls ${prefix}*.tif | wc -l)" = "$count" ] || die "sl_depth $bit wrote another number of files"
  echo "check: sl_depth $bit and libtiff_convert $bit wrote the same $files files, byte for byte"
}
check_depth 8
check_depth 16
# The run confined to one CPU writes the same bytes as the run on all of them.
mkdir "$work/all_cpus"
cp ro*.tif "$work/all_cpus/"
taskset -c 0 "$sl_depth" 8 >"$work/report8_one_cpu" 2>/dev/null || die "sl_depth 8 on one CPU failed"
cmp -s "$work/report8" "$work/report8_one_cpu" || die "sl_depth 8 on one CPU reports another scaling"
for file in "$work"/all_cpus/ro*.tif; do
  cmp "$file" "$(basename "$file")" >&2 || die "sl_depth 8 on one CPU wrote another $(basename "$file")"
done
rm -rf "$work/all_cpus"
echo "check: sl_depth 8 on one CPU (taskset -c 0) wrote the same $count files, byte for byte"
"$sl_depth" 0 >"$work/report0" 2>/dev/null || die "sl_depth 0 failed"
head -n 2 "$work/report8" | cmp -s - "$work/report0" || die "sl_depth 0 reports another series range than sl_depth 8"

# The floor writes files of (almost) the size sl_depth writes.
"$io_floor" 8 && "$io_floor" 16 || die "io_floor failed"
# The floor on every CPU writes the same files.
for bit in 8 16; do
  prefix=ro
  [ "$bit" = 16 ] && prefix=rh
  mkdir "$work/floor$bit"
  cp ${prefix}*.tif "$work/floor$bit/"
  "$io_floor" "$bit" --all-cpus || die "io_floor $bit --all-cpus failed"
  for file in "$work/floor$bit"/${prefix}*.tif; do
    cmp -s "$file" "$(basename "$file")" || die "io_floor $bit --all-cpus wrote another $(basename "$file")"
  done
  rm -rf "$work/floor$bit"
done
floor_bytes=$(stat -c %s ro0000.tif rh0000.tif | paste -sd/)
tool_bytes=$(stat -c %s "$work/check8/ro0000.tif" "$work/check16/rh0000.tif" | paste -sd/)
echo "check: output bytes per slice (8/16 bit): sl_depth $tool_bytes, io_floor $floor_bytes"
rm -rf "$work/check8" "$work/check16"

# ---- 2. timing ----

labels=("sl_depth 8" "sl_depth 16" "sl_depth 0" "io_floor 8" "io_floor 16" "io_floor 0" "libtiff_convert 8"
  "sl_depth 8 1 cpu" "io_floor 8 cpus" "io_floor 16 cpus" "sl_depth 8 again")
programs=("$sl_depth" "$sl_depth" "$sl_depth" "$io_floor" "$io_floor" "$io_floor" "$libtiff_convert" "$sl_depth"
  "$io_floor" "$io_floor" "$sl_depth")
depths=(8 16 0 8 16 0 8 8 8 16 8)
# Words put after the depth: the floor spread over every CPU.
options=("" "" "" "" "" "" "" "" "--all-cpus" "--all-cpus" "")
# Words put before a command: the one-CPU run is confined with taskset.
prefixes=("" "" "" "" "" "" "" "taskset -c 0" "" "" "")
# The baseline of each command: the floor of the same output depth.
floors=("io_floor 8" "io_floor 16" "io_floor 0" "io_floor 8" "io_floor 16" "io_floor 0" "io_floor 8" "io_floor 8"
  "io_floor 8" "io_floor 16" "io_floor 8")
# And the floor of the same depth on every CPU; none for the report-only run.
cpu_floors=("io_floor 8 cpus" "io_floor 16 cpus" "" "io_floor 8 cpus" "io_floor 16 cpus" "" "io_floor 8 cpus"
  "io_floor 8 cpus" "io_floor 8 cpus" "io_floor 16 cpus" "io_floor 8 cpus")
declare -A times

# Runs command $1 once and adds its wall time in seconds to times[$1].
# Every command writes its outputs under names that do not exist yet, as a
# first conversion of a new series does; "sl_depth 8 again" replaces the
# outputs of an untimed run just before it.
time_once() {
  local start end
  rm -f ro*.tif rh*.tif
  if [ "${labels[$1]}" = "sl_depth 8 again" ]; then "$sl_depth" 8 >/dev/null 2>&1 || die "sl_depth 8 failed"; fi
  start=$EPOCHREALTIME
  # shellcheck disable=SC2086  # the prefix and the options are words
  ${prefixes[$1]} "${programs[$1]}" "${depths[$1]}" ${options[$1]} >/dev/null 2>&1 ||
    die "${labels[$1]} failed while timed"
  end=$EPOCHREALTIME
  times[$1]="${times[$1]:-} $(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.6f", e - s }')"
}

for ((i = 0; i < ${#labels[@]}; i++)); do time_once "$i"; done
times=()
for ((round = 0; round < rounds; round++)); do
  for ((k = 0; k < ${#labels[@]}; k++)); do time_once $(((round + k) % ${#labels[@]})); done
  if [ -t 2 ]; then echo -n "round $((round + 1))/$rounds done"$'\r' >&2; fi
done
if [ -t 2 ]; then echo >&2; fi

median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
declare -A medians
for ((i = 0; i < ${#labels[@]}; i++)); do medians[${labels[$i]}]=$(echo "${times[$i]}" | median); done

echo
echo "median of $rounds rounds, $count slices, input $(awk -v b="$input_bytes" 'BEGIN { printf "%.1f MB", b / 1e6 }')"
printf '%-18s %10s %10s %12s %10s %13s %13s  %s\n' command seconds s/slice "input MB/s" "x floor" "x cpus floor" \
  spread floor
for ((i = 0; i < ${#labels[@]}; i++)); do
  label=${labels[$i]} floor=${floors[$i]} cpu_floor=${cpu_floors[$i]}
  spread=$(echo "${times[$i]}" | tr ' ' '\n' | grep . | sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%.3f-%.3f", lo, hi }')
  awk -v label="$label" -v t="${medians[$label]}" -v f="${medians[$floor]}" -v n="$count" -v b="$input_bytes" \
    -v cf="${cpu_floor:+${medians[$cpu_floor]}}" -v spread="$spread" -v floor="$floor${cpu_floor:+, $cpu_floor}" \
    'BEGIN { printf "%-18s %10.3f %10.4f %12.1f %10.2f %13s %13s  %s\n", label, t, t / n, b / 1e6 / t, t / f,
             cf == "" ? "-" : sprintf("%.2f", t / cf), spread, floor }'
done

awk -v one="${medians[sl_depth 8 1 cpu]}" -v all="${medians[sl_depth 8]}" -v cpus="$(nproc)" \
  'BEGIN { printf "speed-up of sl_depth 8 from 1 cpu to %d: %.2f\n", cpus, one / all }'

# ---- 3. peak resident memory ----

if [ ! -x /usr/bin/time ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq time >/dev/null || true
  fi
fi
if [ -x /usr/bin/time ]; then
  # A series of $1 slices: links to the first slices of the timed series
  # when it has enough, else a series generated for the purpose.
  series_of() {
    local slices=$1 dir="$work/rss$1"
    if [ "$slices" -le "$count" ]; then
      mkdir "$dir"
      for ((n = 0; n < slices; n++)); do ln -s "$series/$(printf 'rec%04d.tif' "$n")" "$dir/"; done
    else
      make_slices "$dir" "$slices"
    fi
    echo "$dir"
  }
  peak_rss_mb() {
    (cd "$1" && /usr/bin/time -v "${@:2}" 2>&1 >/dev/null) |
      awk -F: '/Maximum resident set size/ { printf "%.1f", $2 / 1024 }'
  }
  echo
  echo "peak resident memory (MiB)"
  for slices in 16 64; do
    dir=$(series_of "$slices")
    echo "  sl_depth 8 on $slices slices: $(peak_rss_mb "$dir" "$sl_depth" 8)   on 1 cpu: $(peak_rss_mb "$dir" taskset -c 0 "$sl_depth" 8)   libtiff_convert 8: $(peak_rss_mb "$dir" "$libtiff_convert" 8)"
    rm -rf "$dir"
  done
else
  echo "peak resident memory: /usr/bin/time missing (apt-get install -y time)"
fi
