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

echo "$passes passed, $fails failed"
[ "$fails" -eq 0 ]
