#!/usr/bin/env bash
# Fuzzes the slice reader for SECONDS seconds.
#
#   fuzz/run.sh SECONDS [--keep-going]
#
# Builds the fuzz target (fuzz/build.sh, in build/fuzz), writes the seed
# slices into build/fuzz/corpus, and runs libFuzzer over them and over the
# kept inputs of tests/fuzz_regressions. Every crash, leak, timeout or
# out-of-memory input found is copied into tests/fuzz_regressions/ under
# libFuzzer's name for what it found (crash-, leak-, timeout-, oom-), crashes
# minimised first, and the script then exits with status 1.
#
# Without --keep-going the run stops at the first finding (the CI smoke).
# With it, libFuzzer runs in fork mode (one job) and fuzzes on past crashes,
# timeouts and out-of-memory inputs, collecting them all.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:?usage: fuzz/run.sh SECONDS [--keep-going]}
keep_going=${2:-}
build_dir=build/fuzz
regressions=tests/fuzz_regressions
fuzzer=$build_dir/fuzz/read_slice_fuzz

bash fuzz/build.sh "$build_dir"

mkdir -p "$build_dir/corpus" "$regressions"
"$build_dir/fuzz/make_corpus" "$build_dir/corpus"

artifacts=$(mktemp -d "$build_dir/artifacts.XXXXXX")
# The fuzz target writes each input to a file in SL_FUZZ_DIR.
SL_FUZZ_DIR=$(mktemp -d /dev/shm/read_slice_fuzz.XXXXXX)
export SL_FUZZ_DIR
trap 'rm -rf "$SL_FUZZ_DIR"' EXIT

options=(-max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -max_len=8192
         -dict=fuzz/tiff.dict -artifact_prefix="$artifacts/" -print_final_stats=1)
if [ "$keep_going" = --keep-going ]; then
  options+=(-fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1)
fi

status=0
"$fuzzer" "${options[@]}" "$build_dir/corpus" "$regressions" || status=$?

found=0
for artifact in "$artifacts"/*; do
  [ -e "$artifact" ] || continue
  name=$(basename "$artifact")
  case "$name" in
    crash-*|leak-*|timeout-*|oom-*) ;;
    *) continue ;;
  esac
  found=$((found + 1))
  kind=${name%%-*}
  hash=${name#*-}
  kept="$regressions/$kind-${hash:0:12}"
  # An input that is already kept (a finding not yet fixed) is not copied again.
  for old in "$regressions"/*; do
    if cmp -s "$artifact" "$old"; then kept=$old; fi
  done
  if [ ! -e "$kept" ]; then
    if [[ "$name" == crash-* ]]; then
      minimised="$artifacts/minimised-$name"
      "$fuzzer" -minimize_crash=1 -max_total_time=60 -timeout=10 -rss_limit_mb=2048 \
        -exact_artifact_path="$minimised" "$artifact" >/dev/null 2>&1 || true
      if [ -s "$minimised" ]; then artifact=$minimised; fi
    fi
    cp "$artifact" "$kept"
  fi
  echo "fuzz: $name found, kept as $kept"
done

if [ "$found" -gt 0 ]; then
  echo "fuzz: the fuzzer's own report is above; artefacts in $artifacts" >&2
  echo "fuzz: $found finding(s); replay them with $fuzzer FILE" >&2
  exit 1
fi
if [ "$status" -ne 0 ]; then
  echo "fuzz: the fuzzer ended with status $status without a finding" >&2
  exit 1
fi
rm -rf "$artifacts"
echo "fuzz: no finding in $seconds seconds"
