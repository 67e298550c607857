#!/usr/bin/env bash
# Builds everything and runs every test: the C++ tests and the Octave tests on
# a Release build, then the C++ tests again built with AddressSanitizer and
# UndefinedBehaviorSanitizer, then with ThreadSanitizer, a short run of every
# fuzz target (FUZZ_SECONDS each, 60 by default) and the C++ tests of the
# Release build under valgrind, where the property tests draw fewer cases.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/setup.sh"
jobs=$(nproc)

echo "== Release build: C++ and Octave tests"
# ON in so many words: the demo configures build/ without the tests.
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release -DSEGMENTATION_TESTS=ON > /dev/null
cmake --build "$root/build" -j "$jobs"
(cd "$root/build" && ctest --output-on-failure -j "$jobs")

echo "== Sanitizer build (ASan + UBSan): C++ tests"
cmake -S "$root" -B "$root/build-sanitize" -DCMAKE_BUILD_TYPE=Debug \
  -DSEGMENTATION_SANITIZE=ON -DSEGMENTATION_OCTAVE=OFF > /dev/null
cmake --build "$root/build-sanitize" -j "$jobs"
(cd "$root/build-sanitize" && ctest --output-on-failure -j "$jobs")

echo "== ThreadSanitizer build: C++ tests"
# Every library and the plug-ins the tests load carry the instrumentation
# (SEGMENTATION_THREAD_SANITIZE). The peak-memory test is left out: resident
# memory means nothing beside the sanitizer's shadow memory.
tsan_start=$SECONDS
cmake -S "$root" -B "$root/build-threads" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSEGMENTATION_THREAD_SANITIZE=ON -DSEGMENTATION_OCTAVE=OFF > /dev/null
cmake --build "$root/build-threads" -j "$jobs"
(cd "$root/build-threads" && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --output-on-failure -j "$jobs" -E '^sorvik_volume_peak_memory$')
echo "ThreadSanitizer section: $((SECONDS - tsan_start)) s"

fuzz_seconds=${FUZZ_SECONDS:-60}
echo "== Fuzzing (clang, libFuzzer, ASan + UBSan + LSan): each target ${fuzz_seconds} s from its seed corpus"
CC=clang CXX=clang++ cmake -S "$root" -B "$root/build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSEGMENTATION_FUZZ=ON -DSEGMENTATION_OCTAVE=OFF -DSEGMENTATION_TESTS=OFF > /dev/null
cmake --build "$root/build-fuzz" -j "$jobs" --target fuzz_targets
bash "$root/fuzz/run.sh" "$root/build-fuzz" "$fuzz_seconds"

echo "== Valgrind memcheck: the C++ tests of the Release build"
for tests in "$root"/build/tests/*_tests "$root"/build/tests/*_tests_baseline; do
  echo "${tests##*/}"
  PROPERTY_CASE_SCALE=1 valgrind --quiet --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
    --show-leak-kinds=definite,indirect "$tests" --gtest_brief=1
done
