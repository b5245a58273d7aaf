#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Ctrl-C in Octave: SIGINT sent to octave-cli while brindel runs ends the call
# with its Interrupted. error, and the script's next statement runs; five
# times in a row, without memory growth (see sigint_session.m). Then SIGTERM
# during a call ends Octave.
# usage: test_sigint.sh OCTAVE_CLI PATH_DIR...   (directories for addpath)
# DYADFIT_OCTAVE_PRELOAD, when set, becomes octave-cli's LD_PRELOAD only.
set -u
octave=$1; shift
dirs=$(printf "'%s'," "$@")
rounds=5
out=$(mktemp)
pid=
finish() {
  [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null
  echo "--- octave output:"; cat "$out"; rm -f "$out"
}
trap finish EXIT

# wait_for PATTERN TENTHS: true once a line starts with PATTERN, false after
# TENTHS/10 s or once octave-cli has ended without it.
wait_for() {
  local waited=0
  until grep -q "^$1" "$out"; do
    [ $waited -ge "$2" ] && return 1
    kill -0 "$pid" 2>/dev/null || { grep -q "^$1" "$out"; return; }
    sleep 0.1
    waited=$((waited + 1))
  done
}

# Job control: a background job of a script would otherwise start with SIGINT ignored.
set -m
env ${DYADFIT_OCTAVE_PRELOAD:+LD_PRELOAD="$DYADFIT_OCTAVE_PRELOAD"} "$octave" --norc --no-window-system \
  --no-history --quiet --eval "addpath(${dirs%,}); sigint_session($rounds)" > "$out" 2>&1 &
pid=$!
for k in $(seq $rounds); do
  # Loading and building the image may take long under the sanitizers.
  if ! wait_for "ready $k" 3000; then echo "FAIL: call $k never started"; exit 1; fi
  sleep 1
  kill -INT "$pid"
  # The call takes minutes unless it stops.
  if ! wait_for "ended $k" 100; then echo "FAIL: call $k still running 10 s after SIGINT"; exit 1; fi
done
if ! wait_for "ready term" 600; then echo "FAIL: the session did not reach its last call"; exit 1; fi
sleep 1
kill -TERM "$pid"
waited=0
while kill -0 "$pid" 2>/dev/null && [ $waited -lt 100 ]; do sleep 0.1; waited=$((waited + 1)); done
if kill -0 "$pid" 2>/dev/null; then echo "FAIL: octave-cli still running 10 s after SIGTERM"; exit 1; fi
wait "$pid"
status=$?
pid=
# Status 1 is Octave's own exit on SIGTERM; 2 is a failed case above.
[ $status -eq 1 ] || echo "FAIL: octave-cli exited with $status"
[ $status -eq 1 ]
