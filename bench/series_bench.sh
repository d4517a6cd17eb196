#!/usr/bin/env bash
# series_bench.sh: times sl_depth on generated series next to the plain
# I/O floors and a libtiff-based converter, after checking its output.
#
# usage: bench/series_bench.sh [--count N] [--size WxH]
#          [--storage none|lzw|lzw+predictor|packbits] [--byte-order little|big]
#          [--rows-per-strip R] [--rounds N] [--build DIR] [--baseline DIR]
#          [--suite] [--keep]
#
# Defaults: 64 slices of 2048x2048 16-bit samples, uncompressed,
# little-endian, one strip per slice, 5 rounds, binaries from build/bench
# (configure with -DSL_BENCH=ON). The series go to /dev/shm when it is
# writable, so that disk speed is not what is measured.
#
# 1. Check: sl_depth 8 and 16 and libtiff_convert 8 and 16 convert the series;
#    every output file of the two must be byte for byte the same, and so must
#    the report lines. Nothing is timed when they differ (exit status 1).
#    With --baseline, the sl_depth of that build must print and write the
#    same bytes as the one timed.
# 2. Timing: one untimed warm-up round, then N rounds of every command, the
#    order rotated from round to round; the table shows the median of the
#    rounds, seconds per slice, input MB/s (10^6 bytes of rec*.tif per
#    second) and the time as a multiple of the I/O floors of the same series
#    and depth: whole files on one thread ("x floor"), whole files on every
#    usable CPU ("x cpus floor", io_floor --all-cpus) and streamed on every
#    usable CPU ("x streamed", io_floor --streamed). "... 1 cpu" is a run
#    confined to one CPU with taskset; its time over that of the run on
#    every CPU is the speed-up. Every command writes outputs whose names do
#    not exist yet, but "... again", which replaces existing ones.
#    --suite times the series users convert every day in one run: 64 x
#    2048x2048 (8 bits, again, 16 bits), 1000 x 512x512 (with 1 cpu),
#    4000 x 128x128 and 64 x 2048x2048 LZW, each against its streamed floor
#    (the runs over existing outputs against the floor over existing
#    outputs), and sets each ratio beside its target.
# 3. Peak resident memory of sl_depth 8 on 16 and on 64 slices (not with
#    --suite).
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
baseline=""
suite=0
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
    --baseline) baseline=$(cd "$2" && pwd); shift ;;
    --suite) suite=1 ;;
    --keep) keep=1 ;;
    *) sed -n '4,7p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 1 ;;
  esac
  shift
done

sl_depth="$build/src/convert/sl_depth"
make_series="$build/tools/make_series"
io_floor="$build/bench/io_floor"
libtiff_convert="$build/bench/libtiff_convert"
for binary in "$sl_depth" "$make_series" "$io_floor" "$libtiff_convert"; do
  [ -x "$binary" ] || die "$binary missing; build with: cmake -S $root -B $build -DSL_BENCH=ON -DSL_TESTS=OFF && cmake --build $build -j2"
done
before=""
if [ -n "$baseline" ]; then
  before="$baseline/src/convert/sl_depth"
  [ -x "$before" ] || die "$before missing; build the earlier commit there (bench/README.md)"
fi

scratch_base=/dev/shm
[ -d "$scratch_base" ] && [ -w "$scratch_base" ] || scratch_base=${TMPDIR:-/tmp}
work=$(mktemp -d "$scratch_base/series_bench.XXXXXX")
if [ "$keep" = 1 ]; then
  echo "scratch directory kept: $work"
else
  trap 'rm -rf "$work"' EXIT
fi

# Generator options of a storage ($1) and the layout options above.
generator_options() {
  local options=(--rows-per-strip "$rows_per_strip")
  case "$1" in
    none) options+=(--compression none) ;;
    lzw) options+=(--compression lzw) ;;
    lzw+predictor) options+=(--compression lzw --predictor 2) ;;
    packbits) options+=(--compression packbits) ;;
    *) die "unknown storage $1" ;;
  esac
  case "$byte_order" in
    little) ;;
    big) options+=(--big-endian) ;;
    *) die "unknown byte order $byte_order" ;;
  esac
  echo "${options[@]}"
}

# The series timed: a key (the prefix of its rows), its directory, slices,
# size and storage.
series_keys=()
declare -A series_dir series_count series_size series_storage series_bytes
add_series() {
  series_keys+=("$1")
  series_dir[$1]="$work/series_$1"
  series_count[$1]=$2
  series_size[$1]=$3
  series_storage[$1]=$4
}
if [ "$suite" = 1 ]; then
  add_series 2048 64 2048x2048 none
  add_series 512 1000 512x512 none
  add_series 128 4000 128x128 none
  add_series lzw 64 2048x2048 lzw
else
  add_series series "$count" "${width}x${height}" "$storage"
fi

for key in "${series_keys[@]}"; do
  size=${series_size[$key]}
  # shellcheck disable=SC2046  # the generator options are words
  "$make_series" "${series_dir[$key]}" --count "${series_count[$key]}" --width "${size%x*}" --height "${size#*x}" \
    $(generator_options "${series_storage[$key]}") >/dev/null
  series_bytes[$key]=$(stat -c %s "${series_dir[$key]}"/rec*.tif | awk '{ sum += $1 } END { print sum }')
  echo "series $key: ${series_count[$key]} slices of $size, 16 bits, ${series_storage[$key]}, $byte_order-endian," \
    "$(awk -v b="${series_bytes[$key]}" 'BEGIN { printf "%.1f MB", b / 1e6 }') in $scratch_base"
done

# ---- 1. check before timing ----

# True when directory $1 holds the same $2*.tif files as the current one,
# byte for byte: the same names and sizes, and the same bytes one after the
# other (one comparison, however many slices).
same_files() {
  [ "$(cd "$1" && stat -c '%n %s' "$2"*.tif)" = "$(stat -c '%n %s' "$2"*.tif)" ] &&
    cmp -s <(cd "$1" && cat "$2"*.tif) <(cat "$2"*.tif)
}

# The first of the $2*.tif files in directory $1 that differs from the
# current directory's, for the message.
first_difference() {
  local file
  for file in "$1/$2"*.tif; do
    cmp -s "$file" "$(basename "$file")" || { basename "$file"; return; }
  done
  echo "(another set of files)"
}

# Converts the series in the current directory with both programs at depth
# $1 and compares every output file; the report lines go to $work/report$1.
check_depth() {
  local bit=$1 count=$2 prefix=ro
  [ "$bit" = 16 ] && prefix=rh
  local reference="$work/check$bit"
  rm -rf "$reference"
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
  local files
  files=$(cd "$reference" && ls ${prefix}*.tif | wc -l)
  [ "$files" = "$count" ] || die "libtiff_convert $bit wrote $files files for $count slices"
  same_files "$reference" "$prefix" ||
    die "sl_depth $bit output differs from libtiff_convert's: $(first_difference "$reference" "$prefix")"
  echo "check: sl_depth $bit and libtiff_convert $bit wrote the same $files files, byte for byte"
}

# Runs `$2 $1` (words before the program in $3) into fresh names and over
# existing outputs, and checks that it prints and writes what sl_depth $1
# printed and wrote into $work/kept.
check_same_run() {
  local bit=$1 program=$2 words=$3 what=$4 prefix=ro
  [ "$bit" = 16 ] && prefix=rh
  for again in 0 1; do
    [ "$again" = 1 ] || rm -f ${prefix}*.tif
    # shellcheck disable=SC2086  # the words are words
    $words "$program" "$bit" >"$work/same_out" 2>"$work/same_err" || die "$what $bit failed"
    cmp -s "$work/kept/out" "$work/same_out" && cmp -s "$work/kept/err" "$work/same_err" ||
      die "$what $bit prints other lines than sl_depth $bit"
    same_files "$work/kept" "$prefix" || die "$what $bit wrote another $(first_difference "$work/kept" "$prefix")"
  done
  echo "check: $what, $bit bits: printed and wrote the same bytes, into new names and over existing outputs"
}

# Keeps what sl_depth $1 prints and writes into fresh names in $work/kept.
keep_run() {
  local bit=$1 prefix=ro
  [ "$bit" = 16 ] && prefix=rh
  rm -rf "$work/kept"
  mkdir "$work/kept"
  rm -f ${prefix}*.tif
  "$sl_depth" "$bit" >"$work/kept/out" 2>"$work/kept/err" || die "sl_depth $bit failed"
  cp ${prefix}*.tif "$work/kept/"
}

for key in "${series_keys[@]}"; do
  cd "${series_dir[$key]}"
  echo "checks of series $key:"
  n=${series_count[$key]}
  check_depth 8 "$n"
  if [ "$key" = series ] || [ "$key" = 2048 ]; then check_depth 16 "$n"; fi
  keep_run 8
  check_same_run 8 "$sl_depth" "taskset -c 0" "sl_depth on one CPU (taskset -c 0)"
  if [ -n "$before" ]; then
    check_same_run 8 "$before" "" "the baseline sl_depth"
    if [ "$key" = series ] || [ "$key" = 2048 ]; then
      keep_run 16
      check_same_run 16 "$before" "" "the baseline sl_depth"
    fi
  fi
  rm -rf "$work/kept"
  "$sl_depth" 0 >"$work/report0" 2>/dev/null || die "sl_depth 0 failed"
  head -n 2 "$work/report8" | cmp -s - "$work/report0" || die "sl_depth 0 reports another series range than sl_depth 8"

  # The floors write files of (almost) the size sl_depth writes: the whole
  # file floor on every CPU the same files as on one thread, the streamed
  # one files of the same sizes.
  "$io_floor" 8 && "$io_floor" 16 || die "io_floor failed"
  for bit in 8 16; do
    prefix=ro
    [ "$bit" = 16 ] && prefix=rh
    mkdir "$work/floor$bit"
    cp ${prefix}*.tif "$work/floor$bit/"
    "$io_floor" "$bit" --all-cpus || die "io_floor $bit --all-cpus failed"
    same_files "$work/floor$bit" "$prefix" ||
      die "io_floor $bit --all-cpus wrote another $(first_difference "$work/floor$bit" "$prefix")"
    "$io_floor" "$bit" --streamed || die "io_floor $bit --streamed failed"
    [ "$(cd "$work/floor$bit" && stat -c '%n %s' ${prefix}*.tif)" = "$(stat -c '%n %s' ${prefix}*.tif)" ] ||
      die "io_floor $bit --streamed wrote other files or sizes"
    rm -rf "$work/floor$bit"
  done
  floor_bytes=$(stat -c %s ro0000.tif rh0000.tif | paste -sd/)
  tool_bytes=$( (stat -c %s "$work/check8/ro0000.tif" "$work/check16/rh0000.tif" 2>/dev/null || true) | paste -sd/)
  echo "check: output bytes per slice (8/16 bit): sl_depth $tool_bytes, io_floor $floor_bytes"
  rm -rf "$work/check8" "$work/check16"
  rm -f ro*.tif rh*.tif
done

# ---- 2. timing ----

# One row per command: its label, series, program, depth, the words after
# the depth and before the program, whether it replaces existing outputs,
# and its floors (labels of rows of the same series; "" for none).
labels=() keys=() programs=() depths=() options=() prefixes=() agains=() floors=() cpu_floors=() streamed_floors=()
declare -A target
add_row() {
  local key=$1 label=$2 program=$3 depth=$4 option=$5 prefix=$6 again=$7 floor=$8 cpu_floor=$9 streamed=${10}
  local name=""
  [ "$suite" = 0 ] || name="[$key] "
  labels+=("$name$label") keys+=("$key") programs+=("$program") depths+=("$depth") options+=("$option")
  prefixes+=("$prefix") agains+=("$again") floors+=("${floor:+$name$floor}") cpu_floors+=("${cpu_floor:+$name$cpu_floor}")
  streamed_floors+=("${streamed:+$name$streamed}")
}
# sl_depth rows, and with a baseline the same rows of the earlier build.
add_tool_row() {
  local key=$1 label=$2 depth=$3 prefix=$4 again=$5 floor=$6 cpu_floor=$7 streamed=$8 goal=${9:-}
  add_row "$key" "sl_depth $label" "$sl_depth" "$depth" "" "$prefix" "$again" "$floor" "$cpu_floor" "$streamed"
  local name="[$key] sl_depth $label"
  [ -z "$goal" ] || target[$name]=$goal
  if [ -n "$before" ]; then
    add_row "$key" "before $label" "$before" "$depth" "" "$prefix" "$again" "$floor" "$cpu_floor" "$streamed"
  fi
}

if [ "$suite" = 1 ]; then
  add_row 2048 "io_floor 8 streamed" "$io_floor" 8 --streamed "" 0 "" "" ""
  add_row 2048 "io_floor 16 streamed" "$io_floor" 16 --streamed "" 0 "" "" ""
  # Over existing outputs the floor writes each file over and cuts it to size.
  add_row 2048 "io_floor 8 streamed again" "$io_floor" 8 --streamed "" 1 "" "" ""
  add_tool_row 2048 8 8 "" 0 "" "" "io_floor 8 streamed" 1.15
  add_tool_row 2048 "8 again" 8 "" 1 "" "" "io_floor 8 streamed again" 1.2
  add_tool_row 2048 16 16 "" 0 "" "" "io_floor 16 streamed" 1.25
  add_row 512 "io_floor 8 streamed" "$io_floor" 8 --streamed "" 0 "" "" ""
  add_tool_row 512 8 8 "" 0 "" "" "io_floor 8 streamed" 1.4
  add_tool_row 512 "8 1 cpu" 8 "taskset -c 0" 0 "" "" "io_floor 8 streamed"
  add_row 128 "io_floor 8 streamed" "$io_floor" 8 --streamed "" 0 "" "" ""
  add_tool_row 128 8 8 "" 0 "" "" "io_floor 8 streamed" 2.0
  add_row lzw "io_floor 8 streamed" "$io_floor" 8 --streamed "" 0 "" "" ""
  add_tool_row lzw 8 8 "" 0 "" "" "io_floor 8 streamed" 2.8
else
  floor_row() { add_row series "io_floor $1$2" "$io_floor" "$1" "$3" "" 0 "$4" "$5" ""; }
  floor_row 8 "" "" "io_floor 8" "io_floor 8 cpus"
  floor_row 16 "" "" "io_floor 16" "io_floor 16 cpus"
  floor_row 0 "" "" "io_floor 0" ""
  floor_row 8 " cpus" --all-cpus "io_floor 8" "io_floor 8 cpus"
  floor_row 16 " cpus" --all-cpus "io_floor 16" "io_floor 16 cpus"
  floor_row 8 " streamed" --streamed "io_floor 8" "io_floor 8 cpus"
  floor_row 16 " streamed" --streamed "io_floor 16" "io_floor 16 cpus"
  add_tool_row series 8 8 "" 0 "io_floor 8" "io_floor 8 cpus" "io_floor 8 streamed"
  add_tool_row series 16 16 "" 0 "io_floor 16" "io_floor 16 cpus" "io_floor 16 streamed"
  add_row series "sl_depth 0" "$sl_depth" 0 "" "" 0 "io_floor 0" "" ""
  add_row series "libtiff_convert 8" "$libtiff_convert" 8 "" "" 0 "io_floor 8" "io_floor 8 cpus" "io_floor 8 streamed"
  add_tool_row series "8 1 cpu" 8 "taskset -c 0" 0 "io_floor 8" "io_floor 8 cpus" "io_floor 8 streamed"
  add_tool_row series "8 again" 8 "" 1 "io_floor 8" "io_floor 8 cpus" "io_floor 8 streamed"
fi
declare -A times

# Runs row $1 once and adds its wall time in seconds to times[$1]. Every
# command writes its outputs under names that do not exist yet, as a first
# conversion of a new series does; an "again" row replaces the outputs of
# an untimed run of the same program just before it.
time_once() {
  local start end
  cd "${series_dir[${keys[$1]}]}"
  rm -f ro*.tif rh*.tif
  if [ "${agains[$1]}" = 1 ]; then "${programs[$1]}" "${depths[$1]}" >/dev/null 2>&1 || die "${labels[$1]} failed"; fi
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
for key in "${series_keys[@]}"; do rm -f "${series_dir[$key]}"/ro*.tif "${series_dir[$key]}"/rh*.tif; done

median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
declare -A medians
for ((i = 0; i < ${#labels[@]}; i++)); do medians[${labels[$i]}]=$(echo "${times[$i]}" | median); done
# The ratio of row label $1 to row label $2, or "-".
ratio() { if [ -n "$2" ]; then awk -v t="${medians[$1]}" -v f="${medians[$2]}" 'BEGIN { printf "%.2f", t / f }'; else echo -; fi; }

echo
echo "median of $rounds rounds on $(nproc) cpus"
printf '%-28s %9s %10s %11s %8s %13s %11s %13s\n' command seconds s/slice "input MB/s" "x floor" "x cpus floor" \
  "x streamed" spread
for ((i = 0; i < ${#labels[@]}; i++)); do
  label=${labels[$i]} key=${keys[$i]}
  spread=$(echo "${times[$i]}" | tr ' ' '\n' | grep . | sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%.3f-%.3f", lo, hi }')
  awk -v label="$label" -v t="${medians[$label]}" -v n="${series_count[$key]}" -v b="${series_bytes[$key]}" \
    -v floor="$(ratio "$label" "${floors[$i]}")" -v cpus="$(ratio "$label" "${cpu_floors[$i]}")" \
    -v streamed="$(ratio "$label" "${streamed_floors[$i]}")" -v spread="$spread" \
    'BEGIN { printf "%-28s %9.3f %10.5f %11.1f %8s %13s %11s %13s\n", label, t, t / n, b / 1e6 / t, floor, cpus,
             streamed, spread }'
done

# The speed-up from one CPU to all of them, of each run timed both ways.
for ((i = 0; i < ${#labels[@]}; i++)); do
  label=${labels[$i]}
  [ "${label% 1 cpu}" != "$label" ] || continue
  awk -v one="${medians[$label]}" -v all="${medians[${label% 1 cpu}]}" -v cpus="$(nproc)" -v what="${label% 1 cpu}" \
    'BEGIN { printf "speed-up of %s from 1 cpu to %d: %.2f\n", what, cpus, one / all }'
done

if [ "$suite" = 1 ]; then
  echo
  printf '%-28s %9s %9s %7s\n' "against the streamed floor" now before target
  for ((i = 0; i < ${#labels[@]}; i++)); do
    label=${labels[$i]}
    [ -n "${target[$label]:-}" ] || continue
    earlier=-
    [ -z "$before" ] || earlier=$(ratio "${label/sl_depth/before}" "${streamed_floors[$i]}")
    now=$(ratio "$label" "${streamed_floors[$i]}")
    printf '%-28s %9s %9s %7s  %s\n' "$label" "$now" "$earlier" "${target[$label]}" \
      "$(awk -v r="$now" -v g="${target[$label]}" 'BEGIN { print (r <= g) ? "met" : "not met" }')"
  done
  exit 0
fi

# ---- 3. peak resident memory ----

series=${series_dir[series]}
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
      # shellcheck disable=SC2046  # the generator options are words
      "$make_series" "$dir" --count "$slices" --width "$width" --height "$height" $(generator_options "$storage") >/dev/null
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
