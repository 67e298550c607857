#!/usr/bin/env bash
# Builds the plug-ins and segments images in Octave, writing side-by-side
# pictures to out/.
#   bash scripts/demo.sh                          synthetic scenes
#   bash scripts/demo.sh --image FILE             Sorvik on your image
#   bash scripts/demo.sh --pair PRIMARY SECONDARY Tamvel on your image pair
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

image="" primary="" secondary=""
while (($#)); do
  case "$1" in
    --image) image=$(realpath "$2"); shift 2 ;;
    --pair) primary=$(realpath "$2"); secondary=$(realpath "$3"); shift 3 ;;
    -h|--help) sed -n '2,6p' "$0"; exit 0 ;;
    *) echo "unknown argument: $1 (see --help)" >&2; exit 2 ;;
  esac
done

source "$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build "$root/build" -j "$(nproc)" --target octave_sorvik octave_tamvel
mkdir -p "$root/out"
DEMO_MEX_DIR="$root/build/mex" DEMO_OUT_DIR="$root/out" DEMO_IMAGE="$image" \
DEMO_PRIMARY="$primary" DEMO_SECONDARY="$secondary" \
  octave-cli --norc --no-history --quiet "$root/examples/demo.m"
