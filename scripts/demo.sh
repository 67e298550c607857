#!/usr/bin/env bash
# Builds the plug-ins and segments images in Octave, headless, writing titled
# pictures to out/.
#   bash scripts/demo.sh                          synthetic scenes (and the sample images in ../shared/data)
#   bash scripts/demo.sh --image FILE             Sorvik on your image (a multi-page TIFF is a volume)
#   bash scripts/demo.sh --pair PRIMARY SECONDARY Tamvel on your image pair
#   bash scripts/demo.sh --doc                    also copy the pictures into doc/
#   bash scripts/demo.sh --compare                also compare with plain k-means and the peers
# BUILD_DIR chooses the CMake build folder (default: build).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}

refuse() {
  echo "demo: $1" >&2
  exit 2
}

# An input file must exist and be a readable file; whether it is an image is
# for Octave's imread to say.
input_file() {
  [ -n "$1" ] || refuse "$2 needs a file name"
  [ -e "$1" ] || refuse "no such file: $1"
  [ ! -d "$1" ] || refuse "$1 is a directory, not an image file"
  [ -r "$1" ] || refuse "cannot read $1"
  realpath "$1"
}

image="" primary="" secondary="" doc=false compare=false
while (($#)); do
  case "$1" in
    --image) image=$(input_file "${2:-}" --image); shift 2 ;;
    --pair)
      (($# >= 3)) || refuse "--pair needs two files, PRIMARY and SECONDARY"
      primary=$(input_file "$2" --pair); secondary=$(input_file "$3" --pair); shift 3 ;;
    --doc) doc=true; shift ;;
    --compare) compare=true; shift ;;
    -h|--help) sed -n '2,9p' "$0"; exit 0 ;;
    *) refuse "unknown argument: $1 (see --help)" ;;
  esac
done
samples="$root/../shared/data"
if $doc; then
  [ -z "$image$primary" ] || refuse "--doc keeps the pictures of the synthetic scenes and the sample images only"
  [ -f "$samples/coins.png" ] || refuse "--doc needs the sample images in $samples"
fi

# The demo needs the build and Octave, not the test tools; without the tests
# CMake does not look for GoogleTest.
setup_for=demo
source "$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DSEGMENTATION_TESTS=OFF > /dev/null
cmake --build "$build" -j "$(nproc)" --target octave_sorvik octave_tamvel
mkdir -p "$root/out"
export DEMO_MEX_DIR="$build/mex" DEMO_OUT_DIR="$root/out" DEMO_DATA_DIR="$samples"
DEMO_IMAGE="$image" DEMO_PRIMARY="$primary" DEMO_SECONDARY="$secondary" \
  octave-cli --norc --no-history --quiet "$root/examples/demo.m"
if $compare; then
  octave-cli --norc --no-history --quiet "$root/examples/compare_kmeans.m"
  # The peers program is a target only where CMake found OpenCV and ITK.
  if [ -d "$build/bench/peers/CMakeFiles/peers_compare.dir" ]; then
    cmake --build "$build" -j "$(nproc)" --target peers_compare > /dev/null
    labels=$(mktemp -d)
    trap 'rm -rf "$labels"' EXIT
    camera=()
    [ ! -f "$samples/camera.png" ] || camera=(--camera "$samples/camera.png")
    "$build/bench/peers/peers_compare" --out "$labels" "${camera[@]}"
    octave-cli --norc --no-history --quiet "$root/bench/peers/peers_figure.m" "$labels" > /dev/null
    mv "$labels/peers.png" "$root/out/peers.png"
    echo "  wrote $root/out/peers.png"
  else
    echo "the comparison with the peers needs libopencv-dev and libinsighttoolkit5-dev (see README)"
  fi
fi
if $doc; then
  for picture in sorvik_shapes tamvel_shapes sorvik_volume sorvik_coins tamvel_brain sorvik_settings; do
    cp "$root/out/$picture.png" "$root/doc/"
  done
  if $compare && [ -f "$root/out/peers.png" ]; then
    cp "$root/out/peers.png" "$root/doc/"
  fi
  echo "copied the pictures into $root/doc"
fi
