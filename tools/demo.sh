#!/usr/bin/env bash
# Builds sl_depth, generates a demo series of CT-like slices in a scratch
# directory and converts it to 8 bits.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash tools/setup.sh build/release -DSL_TESTS=OFF

demo=$(mktemp -d /tmp/sl_depth_demo.XXXXXX)
"$root/build/release/tools/make_series" "$demo" --count 8 --width 512 --height 512 \
  --scale 20000 --scale-step -500 --offset -0.8 --offset-step 0.05
cd "$demo"
echo "demo series in $demo:"
ls -l rec*.tif
echo
echo "\$ sl_depth 8"
"$root/build/release/src/convert/sl_depth" 8
echo
echo "written:"
ls -l ro*.tif
