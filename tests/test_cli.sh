#!/usr/bin/env bash
# The command line: text and PGM input, estimates written back, clear errors.
set -u
cli=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fails=0 passes=0
check() {  # description, then a command that must succeed
  local what=$1; shift
  if "$@"; then passes=$((passes + 1)); else echo "FAIL: $what"; fails=$((fails + 1)); fi
}

printf '0 0\n0 4\n' > "$dir/a.txt"
"$cli" tessik --pen 4 "$dir/a.txt" "$dir/e.txt"
check "2x2 merges at pen 4" diff -q "$dir/e.txt" <(printf '1 1\n1 1\n')
"$cli" tessik --pen 3.9 "$dir/a.txt" "$dir/e.txt"
check "2x2 stays at pen 3.9" diff -q "$dir/e.txt" <(printf '0 0\n0 4\n')

# Binary PGM, 8-bit: a 4x4 image whose left half is 10 and right half 200.
{ printf 'P5\n# two halves\n4 4\n255\n'; for r in 1 2 3 4; do printf '\x0a\x0a\xc8\xc8'; done; } > "$dir/b.pgm"
"$cli" brindel --sh 1 --lines 16 "$dir/b.pgm" "$dir/w.txt"
check "noise-free halves kept" diff -q "$dir/w.txt" <(for r in 1 2 3 4; do echo "10 10 200 200"; done)
"$cli" quarlo --sh 2 "$dir/b.pgm" "$dir/q.pgm"
check "16-bit PGM written" bash -c "head -c 2 '$dir/q.pgm' | grep -q P5 && [ \$(stat -c %s '$dir/q.pgm') -gt 32 ]"

msg=$("$cli" tessik --pen 1 --sh 3 "$dir/a.txt" "$dir/x.txt" 2>&1); rc=$?
check "bad sh reported" [ "$rc:$msg" = "1:tessik: Input sh must be a positive integer that divides the image sides." ]
msg=$("$cli" brindel --noise poisson "$dir/b.pgm" "$dir/x.txt" 2>&1); rc=$?
check "bad noise name reported" [ "$rc:$msg" = "1:brindel: noiseType must be either 'Poisson' or 'Gaussian'." ]
printf '1 2\n3\n' > "$dir/ragged.txt"
"$cli" tessik --pen 1 "$dir/ragged.txt" "$dir/x.txt" 2>/dev/null
check "ragged text rejected" [ $? -eq 1 ]
"$cli" tessik --pen x "$dir/a.txt" "$dir/x.txt" 2>/dev/null
check "non-numeric option rejected" [ $? -eq 1 ]

"$cli" tessik --pen 1 --threads 0 "$dir/a.txt" "$dir/x.txt" 2>/dev/null
check "zero threads rejected" [ $? -eq 1 ]

# Malformed or unusable files: status 1 and the fault named, before anything large is allocated.
refused() {  # expected stderr, then the arguments
  local want=$1 msg rc; shift
  msg=$("$cli" "$@" 2>&1); rc=$?
  [ "$rc:$msg" = "1:$want" ] || { echo "  got $rc: $msg"; return 1; }
}
bad=$dir/bad.pgm
{ printf 'P5 4 4 255\n'; head -c 15 /dev/zero; } > "$bad"
check "truncated P5" refused "dyadfit: $bad: P5 of 4x4 needs 16 bytes of samples, the file holds 15" tessik --pen 1 "$bad" "$dir/x.txt"
{ printf 'P5 2 2 255\n'; printf '\000\000\000\004\n'; } > "$dir/trail.pgm"
"$cli" tessik --pen 3.9 "$dir/trail.pgm" "$dir/trail.txt"
check "P5 with a final newline read" diff -q "$dir/trail.txt" <(printf '0 0\n0 4\n')
printf 'P5 16384 16384 255\n' > "$bad"
check "huge P5 header" refused "dyadfit: $bad: P5 of 16384x16384 needs 268435456 bytes of samples, the file holds 0" \
  tessik --pen 1 "$bad" "$dir/x.txt"
printf 'P2 4 4 255\n%s\n' "$(seq -s ' ' 16)" > "$dir/p2.pgm"
check "P2 well formed" "$cli" tessik --pen 0 "$dir/p2.pgm" "$dir/x.txt"
printf 'P2 65536 65536 255\n0\n' > "$bad"
check "absurd P2 size" refused "dyadfit: $bad: PGM of 65536x65536 exceeds the limit of 2^28 samples" \
  tessik --pen 1 "$bad" "$dir/x.txt"
printf 'P2 8 8 255\n1 2 3\n' > "$bad"
check "P2 shorter than its samples" refused "dyadfit: $bad: P2 of 8x8 needs at least 127 bytes of samples, the file holds 6" \
  tessik --pen 1 "$bad" "$dir/x.txt"
printf 'P2 2 2 255\n0 1 256 3\n' > "$bad"
check "P2 sample above maxval" refused "dyadfit: $bad: PGM sample 256 exceeds maxval 255" tessik --pen 1 "$bad" "$dir/x.txt"
printf 'P2 2 2 255\n0 1 -2 3\n' > "$bad"
check "negative P2 sample" refused "dyadfit: $bad: P2 sample is not a non-negative integer: '-2'" \
  tessik --pen 1 "$bad" "$dir/x.txt"
printf 'P5 2 2 100\n\x01\x02\xc8\x04' > "$bad"
check "P5 sample above maxval" refused "dyadfit: $bad: PGM sample 200 exceeds maxval 100" tessik --pen 1 "$bad" "$dir/x.txt"
for m in 0 65536; do
  printf 'P2 2 2 %s\n0 1 2 3\n' $m > "$bad"
  check "maxval $m" refused "dyadfit: $bad: PGM maxval must be from 1 to 65535, not $m" tessik --pen 1 "$bad" "$dir/x.txt"
done
check "directory as IN" refused "dyadfit: $dir is a directory, not an image" tessik --pen 1 "$dir" "$dir/x.txt"
: > "$dir/empty.txt"
check "empty IN" refused "dyadfit: $dir/empty.txt is empty" tessik --pen 1 "$dir/empty.txt" "$dir/x.txt"

# Failed writes: a full device reports the error and stays in place; NaN is no grey level.
if [ -c /dev/full ]; then
  msg=$("$cli" tessik --pen 1 "$dir/a.txt" /dev/full 2>&1); rc=$?
  case "$rc:$msg" in "1:dyadfit: cannot write /dev/full"*) msg=ok ;; esac
  check "write to /dev/full fails" [ "$msg" = ok ]
  check "/dev/full kept" [ -c /dev/full ]
fi
printf '1 nan\n2 3\n' > "$dir/nan.txt"
check "NaN to PGM refused" refused "dyadfit: the estimate holds NaN or Inf, which a PGM cannot hold; write a text OUT" \
  tessik --pen 1 "$dir/nan.txt" "$dir/nan.pgm"
check "no PGM after NaN" [ ! -e "$dir/nan.pgm" ]

# Option values the module refuses come back with its message.
check "--pen nan" refused "tessik: The penalty must be positive." tessik --pen nan "$dir/a.txt" "$dir/x.txt"
check "--pen1 nan" refused "brindel: The penalty must be positive." brindel --pen1 nan "$dir/b.pgm" "$dir/x.txt"
check "--pen2 nan" refused "quarlo: The penalty must be positive." quarlo --pen1 1 --pen2 nan "$dir/b.pgm" "$dir/x.txt"
check "--lines 2e8" refused "brindel: The number of lines must be a finite non-negative number not above 1e8." \
  brindel --lines 2e8 "$dir/b.pgm" "$dir/x.txt"

# Any thread count gives the same estimate.
awk 'BEGIN { srand(5); for (r = 0; r < 64; r++) { row = ""
       for (c = 0; c < 64; c++) row = row (c ? " " : "") (r > c ? 40 : 10) + int(rand() * 9); print row } }' \
  > "$dir/n64.txt"
"$cli" brindel --threads 1 "$dir/n64.txt" "$dir/t1.txt"
"$cli" brindel --threads 2 "$dir/n64.txt" "$dir/t2.txt"
"$cli" quarlo --threads 3 --lines 64 "$dir/n64.txt" "$dir/t3.txt"
"$cli" quarlo --threads 1 --lines 64 "$dir/n64.txt" "$dir/t4.txt"
check "1 and 2 threads agree" cmp -s "$dir/t1.txt" "$dir/t2.txt"
check "3 threads and 1 agree" cmp -s "$dir/t3.txt" "$dir/t4.txt"

# A signal stops a run of minutes within seconds: a message, status 128 + signal, no OUT.
# Job control keeps SIGINT of the background run from being ignored.
awk 'BEGIN { srand(7); for (r = 0; r < 512; r++) { row = ""
       for (c = 0; c < 512; c++) row = row (c ? " " : "") (c > 256 ? 110 : 100) + int(rand() * 5); print row } }' \
  > "$dir/n512.txt"
set -m
stop_run() {  # signal: prints "status:message" once the run ended, or "running" after 10 s
  rm -f "$dir/s.txt"
  "$cli" brindel --lines 100000000 "$dir/n512.txt" "$dir/s.txt" 2> "$dir/err" &
  local pid=$! waited=0
  sleep 1
  kill -"$1" "$pid"
  while kill -0 "$pid" 2>/dev/null && [ $waited -lt 100 ]; do sleep 0.1; waited=$((waited + 1)); done
  if kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid"; wait "$pid"; echo running; return; fi
  wait "$pid"
  echo "$?:$(cat "$dir/err")"
}
check "SIGINT stops the run" [ "$(stop_run INT)" = "130:dyadfit: Interrupted." ]
check "no output after SIGINT" [ ! -e "$dir/s.txt" ]
check "SIGTERM stops the run" [ "$(stop_run TERM)" = "143:dyadfit: Interrupted." ]
check "no output after SIGTERM" [ ! -e "$dir/s.txt" ]
set +m

echo "$passes passed, $fails failed"
[ "$fails" -eq 0 ]
