#!/usr/bin/env bash
# Prints the directory of a minimal root of that Debian release, made with
# debootstrap the first time and kept under SL_CACHE_DIR (default
# /var/cache/sl_depth); it is made in a temporary directory and renamed
# once complete.
# Usage: debian_root.sh RELEASE
set -euo pipefail
release=$1
roots=${SL_CACHE_DIR:-/var/cache/sl_depth}/roots
root=$roots/$release
if [ ! -x "$root/bin/sh" ]; then
  mkdir -p "$roots"
  work=$(mktemp -d "$roots/.$release.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  echo "making a Debian $release root in $root" >&2
  debootstrap --variant=minbase "$release" "$work/root" http://deb.debian.org/debian >"$work.log" 2>&1 ||
    { tail -n 20 "$work.log" >&2; rm -f "$work.log"; exit 1; }
  rm -f "$work.log"
  mv -T "$work/root" "$root" 2>/dev/null || [ -x "$root/bin/sh" ]
fi
echo "$root"
