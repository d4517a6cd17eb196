#!/usr/bin/env bash
# The source build on the oldest and the newest Debian it is checked on, in
# chroots made with debootstrap from Debian's archive (as root):
#   bullseye  Debian 11: gcc 10, CMake 3.18, libtiff 4.2, GoogleTest 1.10
#   trixie    Debian 13: gcc 14, CMake 3.31, libtiff 4.7, GoogleTest 1.16
#
#   tools/chroot.sh make SUITE
#       makes the chroot when it is missing or incomplete
#   tools/chroot.sh path SUITE
#       makes it when needed and prints its directory
#   tools/chroot.sh run SUITE [--] COMMAND [ARGUMENT...]
#       runs COMMAND in the chroot as root, in /build, with the source tree
#       at /src (read-only) and build/chroot-SUITE of the tree at /build
#   tools/chroot.sh test SUITE RELEASE_BUILD_DIR
#       builds the tree in the chroot with default options (a plain
#       `cmake -S /src -B /build/tree && cmake --build /build/tree`), runs
#       the end-to-end and unit tests there, and converts a series made by
#       the release build's make_series with both builds: the outputs and
#       console streams must be the same bytes
#
# The chroots live in $SL_CACHE_DIR/chroots (default
# /var/cache/sl_depth/chroots), outside any clone, so that one machine makes
# each only once; a chroot's directory carries its name only once it is
# complete. Each holds only
# minbase and g++ cmake make libtiff-dev libgtest-dev pkg-config. Mounts
# are made in a mount namespace of the command's own, so none outlives
# it however it ends, and none is seen outside it. Long output goes to
# logs in build/chroot-SUITE/, shown only when a step fails.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
source tools/packages.sh
chroots=${SL_CACHE_DIR:-/var/cache/sl_depth}/chroots
mirror=http://deb.debian.org/debian
packages=(g++ cmake make libtiff-dev libgtest-dev pkg-config)

usage() {
  echo "usage: tools/chroot.sh make SUITE | path SUITE | run SUITE [--] COMMAND... | test SUITE RELEASE_BUILD_DIR" >&2
  exit 2
}

check_suite() {
  case ${1:-} in
    bullseye | trixie) ;;
    *) echo "unknown suite '${1:-}': bullseye or trixie" >&2; exit 2 ;;
  esac
}

# A chroot is complete when it carries the stamp written last by make.
stamp() { echo "minbase ${packages[*]}"; }
complete() { [ "$(cat "$1/etc/sl_depth-chroot" 2>/dev/null)" = "$(stamp)" ]; }

# Nothing may be mounted below a directory about to be removed: the source
# tree or /dev would go with it.
remove_unmounted() {
  local dir=$1
  [ -e "$dir" ] || return 0
  if awk -v dir="$dir/" 'index($5 "/", dir) == 1 { found = 1 } END { exit !found }' /proc/self/mountinfo; then
    echo "failed: something is mounted below $dir; unmount it, then run again" >&2
    exit 1
  fi
  rm -rf --one-file-system "$dir"
}

make_chroot() {
  local suite=$1 root=$chroots/$1 log
  complete "$root" && return 0
  install_missing_packages debootstrap
  mkdir -p "$chroots"
  # One maker per chroot, and none while a command runs in it; another run
  # waits for it, then finds it made.
  exec 9>"$chroots/$suite.lock"
  flock 9
  if ! complete "$root"; then
    log=$chroots/$suite.log
    echo "making the $suite chroot in $root (debootstrap from $mirror)"
    remove_unmounted "$root"
    remove_unmounted "$root.partial"
    if ! getent hosts deb.debian.org >/dev/null; then
      echo "failed: deb.debian.org cannot be resolved: the $suite chroot needs Debian's archive (no network?)" >&2
      exit 1
    fi
    local include
    include=$(IFS=,; echo "${packages[*]}")
    if ! debootstrap --variant=minbase --include="$include" "$suite" "$root.partial" "$mirror" >"$log" 2>&1; then
      tail -n 20 "$log" >&2
      echo "failed: debootstrap of $suite from $mirror (network or archive unreachable?); log: $log" >&2
      exit 1
    fi
    chroot "$root.partial" apt-get clean
    stamp >"$root.partial/etc/sl_depth-chroot"
    mv "$root.partial" "$root"
  fi
  exec 9>&-
}

# In the namespace: mounts /proc, /dev, the source tree and the build
# directory, runs the command, and unmounts them again on the way out.
enter() {
  local root=$1 build=$2
  shift 2
  local mounts
  printf -v mounts '%q ' "$root/build" "$root/src" "$root/dev" "$root/proc"
  trap "umount -R $mounts 2>/dev/null || true" EXIT
  mkdir -p "$root/src" "$root/build"
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  mount --bind "$repo" "$root/src"
  mount -o remount,bind,ro "$root/src"
  mount --bind "$build" "$root/build"
  local status=0
  chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    /bin/sh -c 'cd /build && exec "$@"' sh "$@" || status=$?
  return "$status"
}

run_in() {
  local suite=$1 root=$chroots/$1
  shift
  [ "${1:-}" != -- ] || shift
  [ $# -gt 0 ] || usage
  complete "$root" || { echo "no complete $suite chroot in $root: run tools/chroot.sh make $suite" >&2; exit 1; }
  local build=$repo/build/chroot-$suite
  mkdir -p "$build"
  # Shared: a chroot is not made again while a command runs in it.
  flock -s "$chroots/$suite.lock" \
    unshare --mount --propagation private bash "$repo/tools/chroot.sh" enter "$root" "$build" "$@"
}

# The conversions compared, run in DIR with TOOL: each case in a copy of
# DIR/series, its exit status and console streams beside it.
conversions=(
  "8|8"
  "16|16"
  "crop-16|16 40 30 279 199"
  "crop-8|8 0 0 319 0"
  "output-directory|8"
)
convert_cases() {
  local tool=$1 dir=$2 entry name arguments
  for entry in "${conversions[@]}"; do
    name=${entry%%|*}
    read -ra arguments <<<"${entry#*|}"
    rm -rf "${dir:?}/$name"
    cp -a "$dir/series" "$dir/$name"
    # libtiff's own message, then the tool's, for an output it cannot create.
    [ "$name" != output-directory ] || mkdir "$dir/$name/ro0002.tif"
    status=0
    (cd "$dir/$name" && "$tool" "${arguments[@]}" >"../$name.out" 2>"../$name.err") || status=$?
    echo "$status" >"$dir/$name.status"
  done
}

timed() {
  local what=$1 start=$SECONDS
  shift
  "$@"
  echo "$what: $((SECONDS - start)) s"
}

test_in() {
  local suite=$1 release
  release=$(realpath "$2")
  local build=$repo/build/chroot-$suite
  local jobs
  jobs=$(nproc)
  [ "$jobs" -le 2 ] || jobs=2
  timed "$suite chroot" make_chroot "$suite"
  mkdir -p "$build"
  timed "$suite build" logged "$build/build.log" run_in "$suite" sh -c \
    "cmake -S /src -B /build/tree && cmake --build /build/tree -j$jobs"
  timed "$suite tests" logged "$build/test.log" run_in "$suite" sh -c \
    "cd /build/tree && ctest -L e2e -j$jobs --output-on-failure && tests/unit_tests"

  # The same series through both builds.
  local compare=$build/compare
  rm -rf "$compare"
  mkdir -p "$compare/host" "$compare/chroot"
  "$release/tools/make_series" "$compare/host/series" --count 5 --width 320 --height 240 --compression lzw \
    --predictor 2 --scale 20000 --scale-step -1000 --offset -0.5 --offset-step 0.1 >/dev/null
  cp -a "$compare/host/series" "$compare/chroot/series"
  convert_cases "$release/src/convert/sl_depth" "$compare/host"
  logged "$build/compare.log" run_in "$suite" bash /src/tools/chroot.sh convert-cases \
    /build/tree/src/convert/sl_depth /build/compare/chroot
  if ! diff -r "$compare/host" "$compare/chroot" >"$build/compare.diff"; then
    head -n 20 "$build/compare.diff" >&2
    echo "failed: the $suite build converts differently from $release (in $compare)" >&2
    exit 1
  fi
  local versions
  versions=$(run_in "$suite" sh -c 'gcc -dumpfullversion; cmake --version | head -n 1; /build/tree/src/convert/sl_depth --version | tail -n 1')
  echo "$suite: $(tr '\n' ',' <<<"$versions" | sed 's/,$//; s/,/, /g'): same bytes as $release"
}

command=${1:-}
shift || true
case $command in
  make) check_suite "${1:-}"; make_chroot "$1" ;;
  path) check_suite "${1:-}"; make_chroot "$1" >&2; echo "$chroots/$1" ;;
  run) check_suite "${1:-}"; run_in "$@" ;;
  test) [ $# -eq 2 ] || usage; check_suite "$1"; test_in "$@" ;;
  # Internal steps, run in the namespace and in the chroot.
  enter) enter "$@" ;;
  convert-cases) convert_cases "$@" ;;
  *) usage ;;
esac
