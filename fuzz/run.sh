#!/usr/bin/env bash
# Runs every fuzz target for a while, each from a scratch copy of its seed
# corpus (fuzz/corpus/<target>), so that the repository's seeds stay as they
# are. Fails on any finding: a sanitizer report, a leak, a broken host rule,
# a result of the wrong shape, an unknown error identifier, a disagreement with the
# reference, an input slower than 10 s or one that asks for more than 2 GB.
# Findings are kept in <build>/fuzz/findings/ with the run's log.
#
# Usage: bash fuzz/run.sh BUILD_DIR [SECONDS_PER_TARGET] [TARGET ...]
# (build first: cmake --build BUILD_DIR --target fuzz_targets)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
seconds=${2:-60}
shift $(($# < 2 ? $# : 2))
targets=("$@")
((${#targets[@]})) || targets=(plugin_calls_fuzz sorvik_kernels_fuzz tamvel_kernels_fuzz)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
findings="$build/fuzz/findings"
mkdir -p "$findings"
failed=0
for target in "${targets[@]}"; do
  corpus="$scratch/$target"
  mkdir -p "$corpus"
  cp "$here/corpus/$target/"* "$corpus/"
  log="$findings/$target.log"
  if ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$findings/$target-" "$corpus" > "$log" 2>&1; then
    # The last status line: executions, coverage, features, corpus.
    echo "$target: no finding in ${seconds} s; $(grep -E '^#[0-9]+' "$log" | tail -n 1)"
  else
    failed=1
    echo "$target: FINDING (log and reproducer in $findings)"
    grep -v -E '^#[0-9]+|^INFO:' "$log" | tail -n 40
  fi
done
exit "$failed"
