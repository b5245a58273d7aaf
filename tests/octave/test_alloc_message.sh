#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# A failed allocation inside Octave's own MEX interface names the module
# once: "tessik: failed to allocate ...", not "tessik: tessik: ...".
# Usage: test_alloc_message.sh OCTAVE_CLI MEX_DIR
set -u
octave=$1
mexdir=$2
got=$(ulimit -v 2500000; "$octave" --norc --no-window-system --no-history --quiet --eval \
  "addpath('$mexdir'); try, [a, b, c] = tessik(zeros(8192), 1); disp('no error'); catch err, disp(err.message); end" 2>/dev/null |
  grep -v 'ignoring const execution_exception')
case "$got" in
  "tessik: failed to allocate "*) echo "1 passed, 0 failed"; exit 0 ;;
  *) echo "FAIL: got '$got'"; echo "0 passed, 1 failed"; exit 1 ;;
esac
