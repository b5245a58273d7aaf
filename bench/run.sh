#!/usr/bin/env bash
# Benchmark of the three modules: each case runs in a fresh octave-cli
# process under /usr/bin/time -v, which gives the wall time and peak RSS.
#
#   bench/run.sh BUILD_DIR        modules are taken from BUILD_DIR/mex
#   BENCH_QUICK=1 bench/run.sh …  skips the slowest cases (brindel 1024^2,
#                                 quarlo 512^2)
#
# A "baseline" row per image size is the same process doing only the image
# generation; subtract it from a module's row to read the module's share.
# The table is printed and written to bench-output/results.txt.
set -euo pipefail

if [[ $# -ne 1 ]]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
mexdir="$build/mex"
for module in tessik brindel quarlo; do
  if ! compgen -G "$mexdir/$module.mex*" >/dev/null; then
    echo "$0: $mexdir/$module.mex not found; build first (make build)" >&2
    exit 1
  fi
done
[[ -x /usr/bin/time ]] || { echo "$0: /usr/bin/time is missing (Debian package 'time')" >&2; exit 1; }

outdir="$root/bench-output"
mkdir -p "$outdir"
results="$outdir/results.txt"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

quick=${BENCH_QUICK:-0}
cases=(
  "none 128" "none 256" "none 512" "none 1024" "none 2048"
  "tessik 2048"
  "brindel 256" "brindel 512" "brindel 1024"
  "quarlo 128" "quarlo 256" "quarlo 512"
)

# m:ss.ss or h:mm:ss from /usr/bin/time, to seconds.
to_seconds() {
  awk -F: '{ if (NF == 3) print $1 * 3600 + $2 * 60 + $3; else if (NF == 2) print $1 * 60 + $2; else print $1 }' <<<"$1"
}

header=$(printf '%-9s %-11s %10s %10s %14s' module size wall_s call_s peak_rss_MiB)
{
  echo "dyadfit benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, modules from $mexdir"
  echo "image: Shepp-Logan phantom x10 + N(0,1) noise; tessik pen 0.1*log(M*N), sh 1; brindel, quarlo defaults"
  echo "wall_s and peak RSS: whole octave-cli process; call_s: the module call alone"
  echo
  echo "$header"
  printf '%s\n' "$(printf '%*s' ${#header} '' | tr ' ' '-')"
} | tee "$results"

failures=0
for c in "${cases[@]}"; do
  read -r module n <<<"$c"
  if [[ "$quick" == 1 && ( "$c" == "brindel 1024" || "$c" == "quarlo 512" ) ]]; then
    line=$(printf '%-9s %-11s %10s %10s %14s' "$module" "${n}x${n}" skipped - -)
    echo "$line" | tee -a "$results"
    continue
  fi
  label=$module
  [[ "$module" == none ]] && label=baseline
  log="$work/$module-$n"
  if /usr/bin/time -v -o "$log.time" \
      octave-cli --norc --no-history --no-window-system --quiet \
      --eval "addpath('$mexdir'); addpath('$root/demo'); addpath('$root/bench'); bench_case('$module', $n)" \
      >"$log.out" 2>"$log.err"; then
    wall=$(to_seconds "$(awk '/Elapsed \(wall clock\)/ { print $NF }' "$log.time")")
    rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$log.time")
    call=$(sed -n 's/^call_seconds //p' "$log.out")
    line=$(printf '%-9s %-11s %10.2f %10s %14.1f' "$label" "${n}x${n}" "$wall" "${call:--}" "$(awk "BEGIN { print $rss / 1024 }")")
  else
    line=$(printf '%-9s %-11s %10s %10s %14s' "$label" "${n}x${n}" failed - -)
    failures=$((failures + 1))
    sed 's/^/    /' "$log.err" >&2
  fi
  echo "$line" | tee -a "$results"
done
echo
echo "Written to $results"
((failures == 0)) || { echo "$failures case(s) failed" >&2; exit 1; }
