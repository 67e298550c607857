#!/usr/bin/env bash
# The demo as a newcomer runs it: from a copy of the source tree in a fresh
# folder with no ../shared beside it, so it must build the plug-ins and make
# its own scenes. Checks that every picture is written, that the edge term
# beats plain clustering on each synthetic scene, and that bad input is
# refused with one line and status 2, leaving out/ as it was.
# Usage: demo_test.sh SOURCE_DIR
set -euo pipefail
source_dir=$1
work=$(mktemp -d /tmp/demo_test.XXXXXX)
trap 'rm -rf "$work"' EXIT
tree="$work/sources"
mkdir "$tree"
tar -C "$source_dir" --exclude='./build*' --exclude=./out --exclude=./.git -cf - . | tar -C "$tree" -xf -
cd "$tree"

failures=0
fail() {
  echo "FAILED: $1"
  failures=$((failures + 1))
}

# The demo asks for the build and Octave, none of the test tools.
demo_needs=$(setup_for=demo SETUP_LIST_ONLY=1 bash -c 'source scripts/setup.sh')
for tool in libgtest-dev clang valgrind; do
  ! grep -qw "$tool" <<< "$demo_needs" || fail "the demo's set-up installs $tool"
done
grep -qw liboctave-dev <<< "$demo_needs" || fail "the demo's set-up lacks liboctave-dev"

bash scripts/demo.sh > "$work/demo.log" 2>&1 || { cat "$work/demo.log"; fail "the demo exited with status $?"; exit 1; }
grep -v '^\[\|Built target\|^gmake' "$work/demo.log"

for picture in sorvik_shapes tamvel_shapes sorvik_volume sorvik_settings; do
  [ -s "out/$picture.png" ] || fail "out/$picture.png was not written"
done
for picture in sorvik_coins tamvel_brain; do
  [ ! -e "out/$picture.png" ] || fail "out/$picture.png was written without the sample images"
done

# "... plain clustering 69.86% right, edge-weighted 99.52% right"
scenes=0
while read -r line; do
  scenes=$((scenes + 1))
  plain=$(sed -E 's/.*plain clustering ([0-9.]+)% right.*/\1/' <<< "$line")
  edged=$(sed -E 's/.*edge-weighted ([0-9.]+)% right.*/\1/' <<< "$line")
  awk -v p="$plain" -v e="$edged" 'BEGIN { exit !(e > p) }' || fail "edge-weighted not above plain: $line"
done < <(grep 'plain clustering .*% right, edge-weighted .*% right' "$work/demo.log")
[ "$scenes" -eq 3 ] || fail "expected the accuracy of 3 synthetic scenes, found $scenes"

# Refusals: a file that is no image, a pair of two sizes, a missing file.
printf 'not an image\n' > "$work/notes.txt"
octave-cli --norc --no-history --quiet --eval \
  "imwrite(uint8(magic(8)), '$work/small.png'); imwrite(uint8(magic(10)), '$work/large.png');" 2> /dev/null
before=$(ls -l --time-style=+%s.%N out)
refused() {
  local status=0
  bash scripts/demo.sh "$@" > /dev/null 2> "$work/stderr" || status=$?
  [ "$status" -eq 2 ] || fail "demo.sh $* exited with $status, not 2"
  [ "$(wc -l < "$work/stderr")" -eq 1 ] || { cat "$work/stderr"; fail "demo.sh $* said more than one line"; }
  echo "refused $*: $(cat "$work/stderr")"
}
refused --image "$work/notes.txt"
refused --pair "$work/small.png" "$work/large.png"
refused --image "$work/missing.png"
[ "$(ls -l --time-style=+%s.%N out)" = "$before" ] || fail "a refused call changed out/"

((failures == 0)) && echo "demo from a bare copy: all checks passed"
exit $((failures > 0))
