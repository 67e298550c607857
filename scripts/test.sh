#!/usr/bin/env bash
# Builds everything and runs every test: the C++ tests and the Octave tests on
# a Release build, then the C++ tests again built with AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/setup.sh"
jobs=$(nproc)

echo "== Release build: C++ and Octave tests"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build "$root/build" -j "$jobs"
(cd "$root/build" && ctest --output-on-failure -j "$jobs")

echo "== Sanitizer build (ASan + UBSan): C++ tests"
cmake -S "$root" -B "$root/build-sanitize" -DCMAKE_BUILD_TYPE=Debug \
  -DSEGMENTATION_SANITIZE=ON -DSEGMENTATION_OCTAVE=OFF > /dev/null
cmake --build "$root/build-sanitize" -j "$jobs"
(cd "$root/build-sanitize" && ctest --output-on-failure -j "$jobs")
