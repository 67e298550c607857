#!/usr/bin/env bash
# Ctrl-C in a real Octave session: a call that would run for hours gets
# SIGINT once it runs. It must end within seconds with <command>:interrupted,
# and the same session must go on and give the right labels on the next call.
# Both commands, with one thread and with two.
#   interrupt_test.sh OCTAVE_CLI MEX_DIR
set -euo pipefail
octave=$1
mex_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

run_case() {
  local command=$1 threads=$2
  local ready=$work/ready.$command.$threads log=$work/log.$command.$threads
  cat > "$work/session.m" <<OCTAVE
addpath('$mex_dir');
img = kron([0 1; 1 0], ones(48)) * 100 + mod((1:96)' * (1:96), 23);
if strcmp('$command', 'Sorvik')
  long = {img, [7 50 0 1e6 1 6]};
  short = {img, [5 300 1e-4 20 3 2]};
else
  long = {img, img, [1 0 50 7 1e6 2 1 6]};
  short = {img, img, [1 1e-4 5000 5 20 2 3 2]};
end
expected = $command(short{:});
fclose(fopen('$ready', 'w'));
tic;
try
  $command(long{:}, 'threads', $threads);
  printf('the long call finished\n');
catch err
  printf('caught %s after %.2f s\n', err.identifier, toc);
end
printf('same labels: %d\n', isequal($command(short{:}, 'threads', $threads), expected));
OCTAVE
  "$octave" --norc --no-history --quiet "$work/session.m" > "$log" 2>&1 &
  local pid=$!
  for _ in $(seq 1 600); do
    [ -e "$ready" ] && break
    sleep 0.1
  done
  sleep 1
  kill -INT "$pid"
  local waited=0
  while kill -0 "$pid" 2> /dev/null && [ $waited -lt 300 ]; do
    sleep 0.1
    waited=$((waited + 1))
  done
  if kill -0 "$pid" 2> /dev/null; then
    kill -KILL "$pid"
    echo "FAIL $command, $threads threads: still running 30 s after Ctrl-C"
    return 1
  fi
  wait "$pid" || true
  cat "$log"
  grep -q "caught $command:interrupted" "$log" && grep -q "same labels: 1" "$log" || {
    echo "FAIL $command, $threads threads"
    return 1
  }
}

status=0
for command in Sorvik Tamvel; do
  for threads in 1 2; do
    run_case $command $threads || status=1
  done
done
exit $status
