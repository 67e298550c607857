#!/usr/bin/env bash
# Builds the plug-ins and segments images in Octave, headless, writing
# side-by-side pictures to out/.
#   bash scripts/demo.sh                          the sample images in ../shared/data
#   bash scripts/demo.sh --image FILE             Sorvik on your image
#   bash scripts/demo.sh --pair PRIMARY SECONDARY Tamvel on your image pair
#   bash scripts/demo.sh --doc                    also copy the pictures into doc/
#   bash scripts/demo.sh --compare                also compare with plain k-means
# BUILD_DIR chooses the CMake build folder (default: build).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}

image="" primary="" secondary="" doc=false compare=false
while (($#)); do
  case "$1" in
    --image) image=$(realpath "$2"); shift 2 ;;
    --pair) primary=$(realpath "$2"); secondary=$(realpath "$3"); shift 3 ;;
    --doc) doc=true; shift ;;
    --compare) compare=true; shift ;;
    -h|--help) sed -n '2,9p' "$0"; exit 0 ;;
    *) echo "unknown argument: $1 (see --help)" >&2; exit 2 ;;
  esac
done
if $doc && [ -n "$image$primary" ]; then
  echo "--doc keeps the pictures of the sample images only" >&2
  exit 2
fi

source "$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build "$build" -j "$(nproc)" --target octave_sorvik octave_tamvel
mkdir -p "$root/out"
export DEMO_MEX_DIR="$build/mex" DEMO_OUT_DIR="$root/out" DEMO_DATA_DIR="$root/../shared/data"
DEMO_IMAGE="$image" DEMO_PRIMARY="$primary" DEMO_SECONDARY="$secondary" \
  octave-cli --norc --no-history --quiet "$root/examples/demo.m"
if $compare; then
  octave-cli --norc --no-history --quiet "$root/examples/compare_kmeans.m"
fi
if $doc; then
  cp "$root/out/sorvik_demo.png" "$root/out/tamvel_demo.png" "$root/out/sorvik_settings.png" "$root/doc/"
  echo "copied the pictures into $root/doc"
fi
