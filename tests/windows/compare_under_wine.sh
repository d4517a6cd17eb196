#!/usr/bin/env bash
# The Windows build against the Linux one. For each case of the table, the
# same series in two scratch directories: the Linux sl_depth runs in one,
# sl_depth.exe under Wine in the other, with the same arguments; the exit
# status, both console streams and every file left in the directory must be
# the same bytes. The first rows check that both builds have the same
# upstream libtiff (both versions are printed first), that the ZIP beside
# the program unpacks into one folder, holds that program, tells which
# libtiff it carries and has CR LF line ends in its text files, that the
# program needs no DLL beyond Windows' own, and that its --version names the
# libtiff inside. The last rows interrupt runs of sl_depth.exe at spread
# moments and check what they leave.
# Usage: compare_under_wine.sh BUILD_RELEASE_DIR WINDOWS_EXE
set -euo pipefail
source=$(cd "$(dirname "$0")/../.." && pwd)
release=$(realpath "$1")
exe=$(realpath "$2")
linux_tool=$release/src/convert/sl_depth
make_series=$release/tools/make_series
for program in "$linux_tool" "$make_series" "$exe"; do
  [ -f "$program" ] || { echo "missing: $program" >&2; exit 1; }
done
command -v wine >/dev/null || { echo "wine not found: run tools/windows.sh first" >&2; exit 1; }

# Every series: four 96 x 72 slices whose scale and offset change from slice
# to slice, then the options of the row.
common=(--count 4 --width 96 --height 72 --scale 20000 --scale-step -1000 --offset -0.5 --offset-step 0.1)

# Damage: "-" none; "header N" overwrites the first bytes of slice N;
# "strip N" the first bytes of its strip data, right after the 8-byte
# header, where libtiff puts the first strip; "directory NAME" makes a
# directory of that name. Console "merged" sends standard error into
# standard output, so that the order of their lines counts too. Status and
# outputs are what the Linux run must give: they show that a case fails
# where it is meant to (a slice broken in the second pass leaves the
# slices before it converted).
cases=$(cat <<'TABLE'
# name            | make_series options                   | damage         | arguments    | console | status | outputs
none-8            | --compression none                    | -              | 8            | apart   | 0 | 4
none-16           | --compression none                    | -              | 16           | merged  | 0 | 4
none-be-8         | --compression none --big-endian       | -              | 8            | apart   | 0 | 4
lzw-8             | --compression lzw                     | -              | 8            | apart   | 0 | 4
lzw-16            | --compression lzw                     | -              | 16           | apart   | 0 | 4
lzw-predictor-8   | --compression lzw --predictor 2       | -              | 8            | apart   | 0 | 4
lzw-predictor-be-16 | --compression lzw --predictor 2 --big-endian | -     | 16           | apart   | 0 | 4
packbits-8        | --compression packbits                | -              | 8            | apart   | 0 | 4
packbits-be-16    | --compression packbits --big-endian   | -              | 16           | apart   | 0 | 4
bits-12-8         | --bits 12 --compression lzw           | -              | 8            | apart   | 0 | 4
bits-12-be-16     | --bits 12 --big-endian                | -              | 16           | apart   | 0 | 4
bits-1-8          | --bits 1 --compression packbits       | -              | 8            | apart   | 0 | 4
bits-1-16         | --bits 1 --fill-order 2               | -              | 16           | apart   | 0 | 4
crop-16           | --compression lzw                     | -              | 16 10 5 70 40 | apart  | 0 | 4
crop-outside-8    | --compression none                    | -              | 8 0 0 96 10  | apart   | 1 | 0
report-0          | --compression lzw                     | -              | 0            | apart   | 0 | 0
bad-header        | --compression none                    | header 2       | 8            | apart   | 1 | 0
bad-strip-pass-2  | --compression lzw                     | strip 3        | 8            | merged  | 1 | 3
output-directory  | --compression none                    | directory ro0001.tif | 8      | apart   | 1 | 1
no-slices         | --count 0                             | -              | 8            | apart   | 1 | 0
bit-7             | --compression none                    | -              | 7            | apart   | 1 | 0
argument-count    | --compression none                    | -              | 8 1 2        | apart   | 1 | 0
help              | --compression none                    | -              | --help       | apart   | 0 | 0
TABLE
)

# --- Wine: a prefix of its own, no display, one server for the table ---

export WINEPREFIX=${WINEPREFIX:-$(dirname "$exe")/wineprefix}
export WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$WINEPREFIX"
scratch=$(mktemp -d /tmp/sl_depth_wine.XXXXXX)
trap 'wineserver -k 2>/dev/null || true; rm -rf "$scratch"' EXIT
# Refused when a server of this prefix runs already; that one serves then.
wineserver -p 2>/dev/null || true
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "initialising the Wine prefix $WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || { echo "wineboot failed in $WINEPREFIX" >&2; exit 1; }
fi

passed=0
failed=0
pass() { printf 'ok    %-20s %s\n' "$1" "$2"; passed=$((passed + 1)); }
fail() { printf 'FAIL  %-20s %s\n' "$1" "$2"; failed=$((failed + 1)); }

# --- The libtiff of each build ---

# The Linux program's: the Debian package of the libtiff it loads. The
# Windows program's: the libtiff-version.txt windows.sh leaves beside it.
# Another upstream version may read or write other bytes.
upstream_of() {
  local version=${1#*:}
  echo "${version%-*}"
}
linux_tiff=$(ldd "$linux_tool" | sed -n 's/^[[:space:]]*libtiff\.so[^ ]* => \([^ ]*\) .*/\1/p')
linux_tiff_package=$(dpkg-query -S "$(realpath "$linux_tiff")" | sed 's/: .*//')
linux_tiff_version=$(dpkg-query -W -f='${Version}' "$linux_tiff_package")
windows_tiff=$(tr -d '\r' <"$(dirname "$exe")/libtiff-version.txt" 2>/dev/null || true)
windows_tiff_version=$(sed -n 's/^ *version: *//p' <<<"$windows_tiff")
windows_tiff_source=$(sed -n 's/^ *Debian source package: *//p' <<<"$windows_tiff")
echo "libtiff of the Linux build:   $linux_tiff_version ($linux_tiff_package)"
echo "libtiff of the Windows build: ${windows_tiff_version:-unknown} (${windows_tiff_source:-source package unknown})"
if [ -n "$windows_tiff_version" ] && [ "$windows_tiff_version" = "$(upstream_of "$linux_tiff_version")" ]; then
  pass libtiff-upstream "$windows_tiff_version in both"
else
  fail libtiff-upstream "Linux $(upstream_of "$linux_tiff_version"), Windows ${windows_tiff_version:-unknown}"
fi

# --- The ZIP: one folder named as the ZIP, holding the program beside it,
# the readme and libtiff-version.txt; CR LF line ends in every text file ---

zip=$(find "$(dirname "$exe")" -maxdepth 1 -name 'sl_depth-*-win64.zip' | head -n 1)
folder=$(basename "${zip:-none}" .zip)
entries=$(unzip -Z1 "${zip:-/dev/null}" 2>/dev/null || true)
texts=$(grep '\.txt$' <<<"$entries" || true)
problems=()
[ -n "$entries" ] || problems+=("no ZIP beside the program")
outside=$(grep -v "^$folder/" <<<"$entries" || true)
[ -z "$outside" ] || problems+=("outside $folder/: $(tr '\n' ' ' <<<"$outside")")
for wanted in sl_depth.exe README-windows.txt libtiff-version.txt; do
  [ -z "$entries" ] || grep -qx "$folder/$wanted" <<<"$entries" || problems+=("no $folder/$wanted")
done
if grep -qx "$folder/sl_depth.exe" <<<"$entries" && ! unzip -p "$zip" "$folder/sl_depth.exe" | cmp -s - "$exe"; then
  problems+=("$folder/sl_depth.exe is not the program beside the ZIP")
fi
for text in $texts; do
  [ "$(unzip -p "$zip" "$text" | grep -cv $'\r$')" = 0 ] || problems+=("LF-only lines in $text")
done
if [ ${#problems[@]} -eq 0 ]; then
  pass zip-contents "$folder/ with CR LF in $(sed "s|^$folder/||" <<<"$texts" | tr '\n' ' ')"
else
  fail zip-contents "$(IFS=';'; echo "${problems[*]}")"
fi

# --- What Ctrl-C does to an output behind a link: a Windows link or
# junction cannot be made under Wine, so the choice is checked alone ---

# (Output goes through a file: Wine's services, started by the first
# program, keep a pipe open.)
steps=$scratch/interrupt_steps_test
if x86_64-w64-mingw32-g++-posix -std=c++17 -Wall -Wextra -Werror -static -I"$source/src/platform" -o "$steps.exe" \
  "$source/tests/windows/interrupt_steps_test.cc" >"$steps.out" 2>&1 && wine "$steps.exe" >"$steps.out" 2>&1; then
  pass interrupt-steps "$(tail -n 1 "$steps.out")"
else
  fail interrupt-steps "$(tail -n 3 "$steps.out" | tr '\n' ' ')"
fi

# --- The program's DLLs ---

dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
foreign=$(grep -viE '^(kernel32|msvcrt|ucrtbase|user32|advapi32|api-ms-win-.*)\.dll$' <<<"$dlls" || true)
if [ -n "$dlls" ] && [ -z "$foreign" ]; then
  pass system-dlls-only "$(tr '\n' ' ' <<<"$dlls")"
else
  fail system-dlls-only "needs ${foreign:-no DLL at all}"
fi

# --- --version: the tool's version as on Linux, the libtiff inside and its
# source package as libtiff-version.txt names them ---

expected="$("$linux_tool" --version | head -n 1)
libtiff ${windows_tiff_version:-unknown}, from the source package ${windows_tiff_source:-unknown}"
answer=$(wine "$exe" --version 2>/dev/null </dev/null || true)
if [ "$answer" = "$expected" ]; then
  pass version "$(tr '\n' ' ' <<<"$answer")"
else
  fail version "printed '$answer', not '$expected'"
fi

# --- The table ---

damage() {
  case $1 in
    -) ;;
    header) printf 'XXXX' | dd of="rec000$2.tif" bs=1 conv=notrunc status=none ;;
    strip) printf '\377\377\377\377' | dd of="rec000$2.tif" bs=1 seek=8 conv=notrunc status=none ;;
    directory) mkdir "$2" ;;
    *) echo "unknown damage: $*" >&2; return 1 ;;
  esac
}

# Runs one side in its directory; status and console streams go beside it.
run_side() {
  local dir=$1 console=$2
  shift 2
  set +e
  if [ "$console" = merged ]; then
    (cd "$dir" && "$@" </dev/null >"$dir.out" 2>&1)
  else
    (cd "$dir" && "$@" </dev/null >"$dir.out" 2>"$dir.err")
  fi
  echo $? >"$dir.status"
  set -e
  touch "$dir.err"
}

# The first differing bytes of a stream, as od shows them.
show_stream() {
  local linux=$1 windows=$2
  echo "  Linux:"; od -c "$linux" | head -n 6
  echo "  Wine:"; od -c "$windows" | head -n 6
}

field() { sed -E 's/^[[:space:]]+|[[:space:]]+$//g' <<<"$1"; }

while IFS='|' read -r name options harm arguments console status outputs; do
  name=$(field "$name")
  case $name in '' | '#'*) continue ;; esac
  read -ra options <<<"$options"
  read -ra harm <<<"$harm"
  read -ra arguments <<<"$arguments"
  console=$(field "$console")
  status=$(field "$status")
  outputs=$(field "$outputs")

  series=$scratch/$name.series
  linux=$scratch/$name.linux
  windows=$scratch/$name.windows
  "$make_series" "$series" "${common[@]}" "${options[@]}" >/dev/null
  (cd "$series" && damage "${harm[@]}")
  cp -a "$series" "$linux"
  cp -a "$series" "$windows"
  run_side "$linux" "$console" "$linux_tool" "${arguments[@]}"
  run_side "$windows" "$console" wine "$exe" "${arguments[@]}"

  problems=()
  linux_status=$(cat "$linux.status")
  written=$(find "$linux" -maxdepth 1 -type f -name 'r[oh][0-9]*.tif' | wc -l)
  [ "$linux_status" = "$status" ] || problems+=("Linux status $linux_status, not $status")
  [ "$written" = "$outputs" ] || problems+=("Linux left $written outputs, not $outputs")
  cmp -s "$linux.status" "$windows.status" || problems+=("status $(cat "$windows.status") under Wine")
  for stream in out err; do
    cmp -s "$linux.$stream" "$windows.$stream" || problems+=("std$stream differs")
  done
  diff -r "$linux" "$windows" >"$scratch/$name.diff" || problems+=("files differ")

  if [ ${#problems[@]} -eq 0 ]; then
    pass "$name" "status $status, $outputs outputs, all equal"
  else
    fail "$name" "$(IFS=';'; echo "${problems[*]}")"
    for stream in out err; do
      cmp -s "$linux.$stream" "$windows.$stream" || show_stream "$linux.$stream" "$windows.$stream"
    done
    head -n 10 "$scratch/$name.diff"
  fi
done <<<"$cases"

# --- Ctrl-C at spread moments of a run ---

# SIGINT to the program's process (the wine script and Wine's loader exec
# it, so it is the process started here) makes Wine run the program's
# console control handlers on a new thread, as Ctrl-C does on Windows. The
# handler ends the process with STATUS_CONTROL_C_EXIT, 0xC000013A, whose low
# byte, 58, is the status a Unix parent sees; Wine's own default handler
# would end it with 0. A run that ended before the signal came has status 0
# and every output. After either, only a complete prefix of the outputs may
# be there, each the same bytes as the Linux run's, and no other file.
#
# The series is large enough that the workers write outputs ahead while
# the main thread names them in turn. Each interrupt waits for one point
# of the second pass, the end of the first pass or the progress line of a
# slice, then a few milliseconds more, so that the interrupts fall all over
# it. First conversions are written ahead; over existing outputs (here
# older files of another content), the main thread writes each in place,
# and the outputs after the interrupted one keep their older content.
interrupt_slices=48
last_name=$(printf 'rec%04d.tif' $((interrupt_slices - 1)))
interrupt_series=$scratch/interrupt.series
"$make_series" "$interrupt_series" --count "$interrupt_slices" --width 1024 --height 1024 --compression lzw \
  --scale 20000 --scale-step -100 --offset -0.5 --offset-step 0.01 >/dev/null
cp -a "$interrupt_series" "$scratch/interrupt.linux"
(cd "$scratch/interrupt.linux" && "$linux_tool" 8 >/dev/null 2>&1)
declare -A complete_sum
while read -r sum name; do complete_sum[$name]=$sum; done < <(cd "$scratch/interrupt.linux" && md5sum -- ro*.tif)
older_sum=$(printf 'an older output\n' | md5sum | cut -d' ' -f1)

# True while the process or any thread of it runs.
running() {
  local tasks=(/proc/"$1"/task/*) state
  read -r _ _ state _ 2>/dev/null <"/proc/$1/stat" || return 1
  [ "$state" != Z ] || [ ${#tasks[@]} -gt 1 ]
}

# Starts sl_depth.exe 8 in DIR, sends SIGINT once the console shows TEXT
# and DELAY seconds more have passed, and sets `status`. Wine 8.0 itself
# now and then never ends a process of several threads on Ctrl-C (its main
# thread gone, another waiting for a lock inside Wine for ever; its own
# default handler does the same): a run still there 5 s after the signal
# is killed, and `hung` set.
interrupt_run() {
  local dir=$1 text=$2 delay=$3 pid polls
  : >"$dir.err"
  (cd "$dir" && exec wine "$exe" 8 </dev/null >/dev/null 2>"$dir.err") &
  pid=$!
  for ((polls = 0; polls < 2000; polls++)); do
    [[ $(<"$dir.err") != *"$text"* ]] && running "$pid" || break
    sleep 0.005
  done
  sleep "$delay"
  kill -INT "$pid" 2>/dev/null || true
  for ((polls = 0; polls < 250; polls++)); do
    running "$pid" || break
    sleep 0.02
  done
  hung=0
  if running "$pid"; then
    hung=1
    kill -KILL "$pid"
  fi
  wait "$pid" 2>/dev/null && status=0 || status=$?
}

# One letter per output, in slice order: c complete, o the older output, -
# none, x anything else (empty, cut short); then any other file's name.
outputs_left() {
  local dir=$1 n name s
  local -A sum=()
  while read -r s name; do sum[$name]=$s; done < <(cd "$dir" && md5sum -- ro*.tif 2>/dev/null)
  for ((n = 0; n < interrupt_slices; n++)); do
    printf -v name 'ro%04d.tif' "$n"
    case ${sum[$name]:-none} in
      none) printf '%s' - ;;
      "${complete_sum[$name]}") printf c ;;
      "$older_sum") printf o ;;
      *) printf x ;;
    esac
  done
  find "$dir" -maxdepth 1 -type f ! -name 'rec[0-9][0-9][0-9][0-9].tif' ! -name 'ro[0-9][0-9][0-9][0-9].tif' -printf ' %f'
}

# What a run left: "finished", "interrupted", "hung" or "wrong". A hung
# run was killed: it too may leave only complete outputs.
judge() {
  local kind=$1 left=$2 expected='^c*-*$'
  [ "$kind" = first ] || expected='^c*-?o*$'
  if [ "$status" = 0 ] && [ "$left" = "$(printf "%${interrupt_slices}s" '' | tr ' ' c)" ]; then
    echo finished
  elif [ "$hung" = 0 ] && [ "$status" = 58 ] && [[ $left =~ $expected ]]; then
    echo interrupted
  elif [ "$hung" = 1 ] && [ "$status" = 137 ] && [[ $left =~ $expected ]]; then
    echo hung
  else
    echo wrong
  fi
}

# KIND first (no outputs before the run) or existing (older outputs of
# every name); COUNT interrupts.
interrupt_runs() {
  local kind=$1 count=$2 i n name text left verdict interrupted=0 finished=0 hangs=0 damaged=0 wrong=() fewest= most=
  local dir=$scratch/interrupt.$kind
  cp -a "$interrupt_series" "$dir"
  for ((i = 0; i < count; i++)); do
    rm -f "$dir"/ro*.tif
    if [ "$kind" = existing ]; then
      for ((n = 0; n < interrupt_slices; n++)); do
        printf -v name 'ro%04d.tif' "$n"
        printf 'an older output\n' >"$dir/$name"
      done
    fi
    # The points spread over the pass: the end of the first pass, then the
    # progress lines; 0, 4 or 8 ms after them.
    n=$((i * interrupt_slices / count))
    if [ "$n" = 0 ]; then text=$last_name$'\r'; else printf -v text -- '-> ro%04d.tif' $((n - 1)); fi
    interrupt_run "$dir" "$text" "0.00$((i % 3 * 4))"
    left=$(outputs_left "$dir")
    verdict=$(judge "$kind" "$left")
    if [ "$verdict" = wrong ]; then
      # The Wine server closes the handles of a process, and so removes
      # the outputs it wrote ahead, as it notices its end: a moment later
      # a name left behind is a fault.
      sleep 0.5
      left=$(outputs_left "$dir")
      verdict=$(judge "$kind" "$left")
    fi
    if [ "$verdict" = finished ]; then
      finished=$((finished + 1))
    elif [ "$verdict" = hung ]; then
      hangs=$((hangs + 1))
    elif [ "$verdict" = interrupted ]; then
      interrupted=$((interrupted + 1))
      n=${left%%[^c]*}
      n=${#n}
      [ -n "$fewest" ] && [ "$fewest" -le "$n" ] || fewest=$n
      [ -n "$most" ] && [ "$most" -ge "$n" ] || most=$n
    else
      wrong+=("status $status, left $left, last line $(tr '\r' '\n' <"$dir.err" | tail -n 1)")
      [[ $left =~ ^[co-]*$ ]] || damaged=$((damaged + 1))
    fi
  done
  local summary="$interrupted interrupted ($fewest to $most complete outputs left), $finished ended first"
  [ "$hangs" = 0 ] || summary+=", $hangs hung in Wine and killed"
  # Wine's own hangs are rare (3 in 400 interrupts); a deadlock of the
  # program's would hang most runs.
  if [ ${#wrong[@]} -eq 0 ] && [ "$interrupted" -gt 0 ] && [ $((hangs * 4)) -lt "$count" ]; then
    pass "interrupt-$kind" "$summary"
  else
    fail "interrupt-$kind" "$summary, ${#wrong[@]} wrong ($damaged with a damaged or other file)"
    printf '  %s\n' "${wrong[@]:0:10}"
  fi
}

started=$SECONDS
interrupt_runs first 100
interrupt_runs existing 20
echo "interrupts: $((SECONDS - started)) s"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
