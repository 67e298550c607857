#!/usr/bin/env bash
# Builds everything and runs every test: the C++, Octave and Python tests on
# a Release build, then the C++ tests again built with AddressSanitizer and
# UndefinedBehaviorSanitizer, the Python tests with the extension so built,
# then the C++ tests with ThreadSanitizer, a short run of every
# fuzz target (FUZZ_SECONDS each, 60 by default), the C++ tests of the
# Release build under valgrind, where the property tests draw fewer cases, and
# last the C++ tests cross-built for ARM64 Linux, run under qemu-user, and for
# Windows (MinGW-w64), run under wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/setup.sh"
jobs=$(nproc)

# Every compiler runs through ccache: through its compiler links on the PATH
# for the builds that CMake, mkoctfile and pip drive by name, and as CMake's
# launcher where the compiler's name has no link (the MinGW compilers). A
# compile repeated with the same flags, in this run or an earlier one, is
# read from the cache; a cold cache only costs the first compile of each.
export PATH=/usr/lib/ccache:$PATH
export CCACHE_NOHASHDIR=1 CCACHE_SLOPPINESS=include_file_mtime,include_file_ctime,time_macros
ccache --zero-stats > /dev/null

# Each section's seconds, printed as a table at the end (and on a failure,
# up to the section that failed).
sections=() section_seconds=() section_start=$SECONDS run_start=$SECONDS
section() {
  if ((${#sections[@]})); then section_seconds+=($((SECONDS - section_start))); fi
  sections+=("$1")
  section_start=$SECONDS
  echo "== $1"
}
print_section_times() {
  ((${#section_seconds[@]} == ${#sections[@]})) || section_seconds+=($((SECONDS - section_start)))
  echo "== Seconds by section"
  local i
  for i in "${!sections[@]}"; do
    printf '%6d  %s\n' "${section_seconds[$i]}" "${sections[$i]}"
  done
  printf '%6d  total\n' $((SECONDS - run_start))
  ccache --show-stats 2> /dev/null | grep -E 'Hits|Misses|hit rate' | sed 's/^/ccache: /' || true
}
cleanup_steps=(print_section_times)
trap 'for step in "${cleanup_steps[@]}"; do $step; done' EXIT

section "Release build: C++, Octave and Python tests"
# ON in so many words: the demo configures build/ without the tests.
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release -DSEGMENTATION_TESTS=ON > /dev/null
cmake --build "$root/build" -j "$jobs"
(cd "$root/build" && ctest --output-on-failure -j "$jobs")

section "Sanitizer build (ASan + UBSan): C++ tests"
cmake -S "$root" -B "$root/build-sanitize" -DCMAKE_BUILD_TYPE=Debug \
  -DSEGMENTATION_SANITIZE=ON -DSEGMENTATION_OCTAVE=OFF > /dev/null
cmake --build "$root/build-sanitize" -j "$jobs"
(cd "$root/build-sanitize" && ctest --output-on-failure -j "$jobs")

section "Python tests under AddressSanitizer and UndefinedBehaviorSanitizer"
# The extension built with both sanitizers (EDGESEG_SANITIZE=1, objects in
# python/build-sanitize/) into a venv of its own; Debian's interpreter is not
# instrumented, so the runtimes are preloaded. Leak checking stays off: the
# interpreter keeps what it allocated until the process ends. The test of
# workers' memory limits is left out: the shadow memory would break them.
python_asan_venv=$root/build-sanitize/python_venv
[ -x "$python_asan_venv/bin/python" ] || /usr/bin/python3 -m venv --system-site-packages "$python_asan_venv"
EDGESEG_SANITIZE=1 "$python_asan_venv/bin/python" -m pip install --quiet --no-build-isolation "$root/python"
(cd "$root/build" && LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1 PYTHONDONTWRITEBYTECODE=1 \
  EDGESEG_MEX_DIR="$root/build/mex" "$python_asan_venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python" \
  -k "not larger_than_any_worker_memory_limit")

section "ThreadSanitizer build: C++ tests"
# Every library and the plug-ins the tests load carry the instrumentation
# (SEGMENTATION_THREAD_SANITIZE). The peak-memory test is left out: resident
# memory means nothing beside the sanitizer's shadow memory. A race needs
# threads, not many cases: the property tests draw the fewest (every case
# still runs on several threads), as under valgrind.
cmake -S "$root" -B "$root/build-threads" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSEGMENTATION_THREAD_SANITIZE=ON -DSEGMENTATION_OCTAVE=OFF > /dev/null
cmake --build "$root/build-threads" -j "$jobs"
(cd "$root/build-threads" && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" PROPERTY_CASE_SCALE=1 \
  ctest --output-on-failure -j "$jobs" -E '^sorvik_volume_peak_memory$')

fuzz_seconds=${FUZZ_SECONDS:-60}
section "Fuzzing (clang, libFuzzer, ASan + UBSan + LSan): each target ${fuzz_seconds} s from its seed corpus"
CC=clang CXX=clang++ cmake -S "$root" -B "$root/build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSEGMENTATION_FUZZ=ON -DSEGMENTATION_OCTAVE=OFF -DSEGMENTATION_TESTS=OFF > /dev/null
cmake --build "$root/build-fuzz" -j "$jobs" --target fuzz_targets
# The targets side by side, each for the whole time.
fuzz_runs=()
for target in plugin_calls_fuzz sorvik_kernels_fuzz tamvel_kernels_fuzz; do
  bash "$root/fuzz/run.sh" "$root/build-fuzz" "$fuzz_seconds" "$target" & fuzz_runs+=($!)
done
for run in "${fuzz_runs[@]}"; do wait "$run"; done

section "Valgrind memcheck: the C++ tests of the Release build"
# valgrind runs a program's threads one at a time: a program a core, each
# one's report printed whole when it ends.
memcheck() {
  local report status=0
  report=$(PROPERTY_CASE_SCALE=1 valgrind --quiet --error-exitcode=1 --leak-check=full \
    --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect "$1" --gtest_brief=1 2>&1) || status=$?
  printf '%s\n%s\n' "${1##*/}" "$report"
  return "$status"
}
export -f memcheck
ls -S "$root"/build/tests/*_tests "$root"/build/tests/*_tests_baseline | xargs -P "$jobs" -I{} bash -c 'memcheck "$1"' _ {}

# The C++ tests of a cross build: configured with a toolchain file of
# cmake/toolchains/, built, and run by ctest through the toolchain's emulator.
cross_tests=(sorvik_unit_tests band_unit_tests tamvel_unit_tests safety_unit_tests api_unit_tests exact_sum_unit_tests
  sorvik_property_tests
  tamvel_property_tests stopped_and_watched_property_tests mask_property_tests)
run_cross_tests() {
  local toolchain=$1 build=$2
  local launcher=()
  [ -e "/usr/lib/ccache/$toolchain-g++" ] || launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/$toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DSEGMENTATION_OCTAVE=OFF "${launcher[@]}" > /dev/null
  cmake --build "$build" -j "$jobs" --target "${cross_tests[@]}"
  # An emulated processor is slow: fewer random cases, each still against the
  # plain reference bit for bit. The installed package's example is built by
  # the native compiler only. Two tests measure the process rather than
  # the code, and there the process is the emulator's: the threads it counts
  # include the emulator's own (the stopped calls' test counts them too), and
  # the emulators ignore the address-space
  # limit without which the test of counts beyond 32 bits would take 17 GiB.
  (cd "$build" && PROPERTY_CASE_SCALE=2 ctest --output-on-failure -j "$jobs" \
    -E '^(edgeseg_example_against_installed_package|CallThreads.no_thread_outlives_the_object_or_a_threaded_call|CallThreads.a_stop_requested_during_a_call_ends_it_cleanly|SizeLimits.counts_beyond_32_bits_that_the_container_holds_are_asked_for_in_full)$')
}

section "ARM64 Linux (cross-built, run under qemu-user): C++ tests"
install_missing g++-aarch64-linux-gnu qemu-user
run_cross_tests aarch64-linux-gnu "$root/build-arm64"

section "Windows x86-64 (MinGW-w64 cross build, run under wine): C++ tests"
install_missing g++-mingw-w64-x86-64 wine64
# A fresh prefix each run, no window and no messages. The MinGW runtime
# libraries and the stand-in host's DLL are found through WINEPATH.
wine_prefix=$(mktemp -d)
remove_wine_prefix() { /usr/lib/wine/wineserver -k 2>/dev/null || true; rm -rf "$wine_prefix"; }
cleanup_steps=(remove_wine_prefix "${cleanup_steps[@]}")
mingw_runtime=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")
export WINEPREFIX=$wine_prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
export WINEPATH="$mingw_runtime;/usr/x86_64-w64-mingw32/lib;$root/build-windows/host"
# The prefix is made before the build runs the first program (to list its
# tests); it has no 32-bit half, which wine mentions and nothing needs.
/usr/lib/wine/wine64 wineboot --init > /dev/null 2>&1
run_cross_tests x86_64-w64-mingw32 "$root/build-windows"
