#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Benchmark: the literal reference entries against the fast ones, and the
# fast modules inside Octave. Every run is a fresh process under
# /usr/bin/time -v, which gives its peak RSS.
#
#   bench/run.sh BUILD_DIR        uses BUILD_DIR/bench/dyadfit_bench and BUILD_DIR/mex
#   BENCH_QUICK=1 bench/run.sh …  skips the slowest cases (quarlo reference 512^2,
#                                 brindel 2048^2, quarlo 1024^2)
#
# Each case runs on three images built from fixed seeds (see
# bench/dyadfit_bench.cc): noise (flat + uniform noise of amplitude 10, the
# worst case), phantom (Shepp-Logan x10 + N(0,1)) and counts (Poisson counts
# of the phantom, peak 30, run with noiseType 'Poisson'). brindel and quarlo
# use their defaults; tessik uses pen = 0.1*log(M*N), sh = 1.
#
# Table 1 (C++): the module call's own seconds for the reference (one thread)
# and the fast entry at 1 and 2 threads (DYADFIT_THREADS), ratio = reference /
# fast at one thread, gain = 1 thread / 2 threads, peak RSS of the reference
# process and of the 2-thread fast process. check: every run of the case gave
# the same bits ("identical") or not ("DIFFERENT").
# Table 2 (Octave): the fast modules called from octave-cli at 2 threads on the
# same images, with the process's peak RSS and that peak minus a baseline
# process that only reads the image.
# Table 3 (C++): dyadfit_denoise's single stage at 2048^2 and 4096^2 on the
# phantom image and on a photograph with noise, the call's seconds and the
# process's peak RSS at 1 and 2 threads, gain = 1 thread / 2 threads, check
# as in table 1.
# Table 3c: the command line's denoise against the build before its
# workspace, thread and vector work, whole processes taking turns.
# Table 3b (Octave, bench/quality.m): PSNR of the noisy image, of each module
# with its defaults and of dyadfit_denoise at one and at the default number of
# shifts, on the test photographs of demo/data and a phantom, under Gaussian
# and Poisson noise, with the quality targets met or missed.
# Tables 4 to 6 (Octave): colour photographs in the opponent basis against RGB
# (bench/quality_colour.m), the noise level of clipped 8-bit photographs
# (bench/quality_clipped.m) and camera data under Poisson-Gaussian noise
# (bench/quality_camera.m), each with its targets.
# Table 7: dyadfit_denoise's default against scikit-image's non-local means
# (fast mode) on one thread, PSNR and seconds (bench/nlm_compare.sh).
# The tables are printed and written to bench-output/results.txt.
set -euo pipefail

if [[ $# -ne 1 ]]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
bench="$build/bench/dyadfit_bench"
mexdir="$build/mex"
[[ -x "$bench" ]] || { echo "$0: $bench not found; build first (make build)" >&2; exit 1; }
for module in tessik brindel quarlo dyadfit_denoise; do
  compgen -G "$mexdir/$module.mex*" >/dev/null ||
    { echo "$0: $mexdir/$module.mex not found; build first (make build)" >&2; exit 1; }
done
[[ -x /usr/bin/time ]] || { echo "$0: /usr/bin/time is missing (Debian package 'time')" >&2; exit 1; }

outdir="$root/bench-output"
mkdir -p "$outdir"
results="$outdir/results.txt"
: >"$results"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
quick=${BENCH_QUICK:-0}
images=(noise phantom counts)
failures=0

# Cases as "module side", with "slow" for those BENCH_QUICK=1 skips.
compared=("brindel 256" "brindel 512" "quarlo 256" "quarlo 512 slow" "tessik 2048")
fast_only=("brindel 1024" "brindel 2048 slow" "quarlo 1024 slow" "tessik 4096")
in_octave=("brindel 512" "brindel 2048 slow" "quarlo 256" "quarlo 1024 slow" "tessik 4096")

say() { echo "$*" | tee -a "$results"; }
rule() { say "$(printf '%*s' "$1" '' | tr ' ' '-')"; }

# measure NAME ENV... -- COMMAND...: runs COMMAND with the environment
# settings under /usr/bin/time -v; sets call_s (the "seconds" line it
# printed), digest and peak_mib, or returns 1 (its stderr goes to ours).
measure() {
  local log="$work/$1" envs=()
  shift
  while [[ "$1" != -- ]]; do envs+=("$1"); shift; done
  shift
  call_s=- digest=- peak_mib=-
  if ! /usr/bin/time -v -o "$log.time" env "${envs[@]}" "$@" >"$log.out" 2>"$log.err"; then
    sed 's/^/    /' "$log.err" >&2
    failures=$((failures + 1))
    return 1
  fi
  call_s=$(sed -n 's/^seconds //p' "$log.out")
  digest=$(sed -n 's/^digest //p' "$log.out")
  peak_mib=$(awk '/Maximum resident set size/ { printf "%.1f", $NF / 1024 }' "$log.time")
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "-" || b == "-" || b <= 0) print "-"; else printf "%.1f", a / b }'; }

declare -A fast2_seconds

{
  echo "dyadfit benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, build $build"
  echo "images: noise = 50 + U(0,10); phantom = 10*Shepp-Logan + N(0,1); counts = Poisson(30*Shepp-Logan), noiseType 'Poisson'"
  echo "brindel, quarlo: defaults; tessik: pen 0.1*log(M*N), sh 1; seconds: the module call alone"
  echo
  echo "C++ (dyadfit_bench): reference (1 thread) against fast (1 and 2 threads)"
} | tee -a "$results"
fmt1='%-24s %9s %9s %9s %7s %6s %9s %9s  %s'
header=$(printf "$fmt1" case ref_s fast_1t_s fast_2t_s ratio gain ref_MiB fast_MiB check)
say "$header"
rule ${#header}

cpp_case() {
  local module=$1 n=$2 flag=$3 with_reference=$4 image name ref_s ref_mib fast1 fast2 fast_mib check
  for image in "${images[@]}"; do
    name=$(printf '%s %s^2 %s' "$module" "$n" "$image")
    if [[ "$quick" == 1 && "$flag" == slow ]]; then
      say "$(printf "$fmt1" "$name" skipped - - - - - - -)"
      continue
    fi
    local digests=() ok=1
    ref_s=- ref_mib=-
    if [[ "$with_reference" == 1 ]]; then
      if measure "$module-$n-$image-ref" DYADFIT_THREADS=1 -- "$bench" "$module" reference "$image" "$n"; then
        digests+=("$digest")
      else ok=0; fi
      ref_s=$call_s ref_mib=$peak_mib
    fi
    measure "$module-$n-$image-1" DYADFIT_THREADS=1 -- "$bench" "$module" fast "$image" "$n" && digests+=("$digest") || ok=0
    fast1=$call_s
    measure "$module-$n-$image-2" DYADFIT_THREADS=2 -- "$bench" "$module" fast "$image" "$n" && digests+=("$digest") || ok=0
    fast2=$call_s fast_mib=$peak_mib
    fast2_seconds["$module $n $image"]=$fast2
    if [[ $ok == 0 ]]; then
      check=failed
    elif [[ $(printf '%s\n' "${digests[@]}" | sort -u | wc -l) == 1 ]]; then
      check=identical
    else
      check=DIFFERENT
      failures=$((failures + 1))
    fi
    say "$(printf "$fmt1" "$name" "$ref_s" "$fast1" "$fast2" "$(ratio "$ref_s" "$fast1")" "$(ratio "$fast1" "$fast2")" \
      "$ref_mib" "$fast_mib" "$check")"
  done
}

for c in "${compared[@]}"; do
  read -r module n flag <<<"$c"
  cpp_case "$module" "$n" "${flag:-}" 1
done
for c in "${fast_only[@]}"; do
  read -r module n flag <<<"$c"
  cpp_case "$module" "$n" "${flag:-}" 0
done

say
say "Octave (octave-cli, modules from $mexdir, 2 threads): the fast modules on the same images"
fmt2='%-24s %9s %9s %9s %9s %13s'
header=$(printf "$fmt2" case call_s cpp_2t_s wall_s peak_MiB minus_base_MiB)
say "$header"
rule ${#header}

to_seconds() {
  awk -F: '{ if (NF == 3) print $1 * 3600 + $2 * 60 + $3; else if (NF == 2) print $1 * 60 + $2; else print $1 }' <<<"$1"
}
declare -A baseline_mib
octave_run() {  # NAME MODULE FILE N NOISE: measure() of one octave-cli process, plus wall_s
  local name=$1 module=$2 file=$3 n=$4 noise=$5
  measure "$name" DYADFIT_THREADS=2 -- octave-cli --norc --no-history --no-window-system --quiet \
    --eval "addpath('$mexdir'); addpath('$root/bench'); bench_case('$module', '$file', $n, '$noise')" || return 1
  wall_s=$(to_seconds "$(awk '/Elapsed \(wall clock\)/ { print $NF }' "$work/$name.time")")
}

for c in "${in_octave[@]}"; do
  read -r module n flag <<<"$c"
  for image in "${images[@]}"; do
    name=$(printf '%s %s^2 %s' "$module" "$n" "$image")
    if [[ "$quick" == 1 && "${flag:-}" == slow ]]; then
      say "$(printf "$fmt2" "$name" skipped - - - -)"
      continue
    fi
    file="$work/$image-$n.bin"
    [[ -f "$file" ]] || "$bench" write "$image" "$n" "$file"
    noise=Gaussian
    [[ "$image" == counts ]] && noise=Poisson
    key="$image $n"
    if [[ -z "${baseline_mib[$key]:-}" ]]; then
      octave_run "base-$image-$n" none "$file" "$n" "$noise" && baseline_mib[$key]=$peak_mib || baseline_mib[$key]=-
    fi
    if octave_run "octave-$module-$n-$image" "$module" "$file" "$n" "$noise"; then
      own=$(awk -v a="$peak_mib" -v b="${baseline_mib[$key]}" 'BEGIN { if (b == "-") print "-"; else printf "%.1f", a - b }')
      say "$(printf "$fmt2" "$name" "$call_s" "${fast2_seconds["$module $n $image"]:--}" "$wall_s" "$peak_mib" "$own")"
    else
      say "$(printf "$fmt2" "$name" failed - - - -)"
    fi
  done
done

say
say "dyadfit_denoise (C++, dyadfit_bench denoise): 4 shifts, no Wiener stage; phantom: noise level 1, block side 8;"
say "photo: camera.png enlarged with N(0, 25^2) noise, noise level 25, block side 4"
fmt3='%-24s %9s %9s %6s %9s %9s  %s'
header=$(printf "$fmt3" case 1t_s 2t_s gain 1t_MiB 2t_MiB check)
say "$header"
rule ${#header}
for c in "denoise 2048 phantom" "denoise 4096 phantom slow" "denoise 2048 photo" "denoise 4096 photo slow"; do
  read -r module n kind flag <<<"$c"
  name=$(printf '%s %s^2 %s' "$module" "$n" "$kind")
  image=$kind
  if [[ $kind == photo ]]; then
    image="raw:$work/photo$n.raw"
    [[ -f "$work/photo$n.raw" ]] || octave-cli --norc --no-history --no-window-system --quiet --eval \
      "x = kron(double(imread('$root/demo/data/camera.png')), ones($n / 512)); randn('seed', 25); \
       f = fopen('$work/photo$n.raw', 'w'); fwrite(f, x + 25 * randn(size(x)), 'double'); fclose(f);"
  fi
  if [[ "$quick" == 1 && "${flag:-}" == slow ]]; then
    say "$(printf "$fmt3" "$name" skipped - - - - -)"
    continue
  fi
  digests=() ok=1
  measure "$module-$n-$kind-1" DYADFIT_THREADS=1 -- "$bench" "$module" fast "$image" "$n" && digests+=("$digest") || ok=0
  d1=$call_s m1=$peak_mib
  measure "$module-$n-$kind-2" DYADFIT_THREADS=2 -- "$bench" "$module" fast "$image" "$n" && digests+=("$digest") || ok=0
  check=identical
  if [[ $ok == 0 ]]; then
    check=failed
  elif [[ $(printf '%s\n' "${digests[@]}" | sort -u | wc -l) != 1 ]]; then
    check=DIFFERENT
    failures=$((failures + 1))
  fi
  say "$(printf "$fmt3" "$name" "$d1" "$call_s" "$(ratio "$d1" "$call_s")" "$m1" "$peak_mib" "$check")"
done

# The command line's denoise against the build before its workspace, thread
# and vector work (commit $before_rev, built here from the repository's
# history), on a photograph: camera.png enlarged x4 / x8 with N(0, 25^2)
# noise, 8-bit PGM in and out, the single stage with its settings fixed.
# Whole processes, taking turns, the median of three; check: the two builds'
# estimates of the 512^2 photograph with noise, in double precision through
# text files, are the same bytes.
before_rev=4564d73
say
say "dyadfit denoise against the build before (commit $before_rev): photograph, sigma 25 given, block side 4, 4 shifts, no Wiener stage"
fmt3c='%-22s %8s %8s %7s %9s %9s  %s'
header=$(printf "$fmt3c" case before_s now_s ratio before_MiB now_MiB check)
say "$header"
rule ${#header}
before_cli=""
if git -C "$root" cat-file -e "$before_rev^{commit}" 2>/dev/null; then
  mkdir -p "$work/before"
  git -C "$root" archive "$before_rev" | tar -x -C "$work/before"
  if cmake -S "$work/before" -B "$work/before/build" -DCMAKE_BUILD_TYPE=Release -DDYADFIT_OCTAVE=OFF \
    -DDYADFIT_MATLAB=OFF -DDYADFIT_TESTS=OFF -DDYADFIT_BENCH=OFF >"$work/before.log" 2>&1 &&
    cmake --build "$work/before/build" -j"$(nproc)" --target dyadfit_cli >>"$work/before.log" 2>&1; then
    before_cli="$work/before/build/dyadfit"
  else
    say "(the build before could not be built: $work/before.log)"
  fi
else
  say "(commit $before_rev is not in this repository's history: a full clone has it)"
fi
whole_run() {  # LOG CLI IN OUT THREADS: whole-process seconds and peak MiB of one denoise
  /usr/bin/time -f '%e %M' -o "$1" "$2" denoise "$3" "$4" --sigma 25 --block-side 4 --shifts 4 \
    --threads "$5" --quiet $( [[ "$2" == "$before_cli" ]] || echo --wiener off ) >/dev/null 2>&1
}
median3() { printf '%s\n' "$@" | sort -g | sed -n 2p; }
if [[ -n "$before_cli" ]]; then
  # The bits: a 512^2 crop in double precision through text, in and out.
  octave-cli --norc --no-history --no-window-system --quiet --eval \
    "x = double(imread('$root/demo/data/camera.png')); randn('seed', 25); \
     dlmwrite('$work/photo.txt', x + 25 * randn(size(x)), 'delimiter', ' ', 'precision', '%.17g');"
  check=DIFFERENT
  whole_run "$work/t" "$before_cli" "$work/photo.txt" "$work/before.txt" 2 &&
    whole_run "$work/t" "$build/dyadfit" "$work/photo.txt" "$work/now.txt" 2 &&
    cmp -s "$work/before.txt" "$work/now.txt" && check=identical
  [[ $check == identical ]] || failures=$((failures + 1))
  for n in 2048 4096; do
    photo="$work/photo$n.pgm"
    octave-cli --norc --no-history --no-window-system --quiet --eval \
      "x = kron(double(imread('$root/demo/data/camera.png')), ones($n / 512)); randn('seed', 25); \
       imwrite(uint8(round(min(255, max(0, x + 25 * randn(size(x)))))), '$photo');"
    for threads in 1 2; do
      bs=() ns=() bm=() nm=()
      for rep in 1 2 3; do
        whole_run "$work/t" "$before_cli" "$photo" "$work/out.pgm" "$threads" || failures=$((failures + 1))
        read -r s m <"$work/t"; bs+=("$s"); bm+=("$m")
        whole_run "$work/t" "$build/dyadfit" "$photo" "$work/out.pgm" "$threads" || failures=$((failures + 1))
        read -r s m <"$work/t"; ns+=("$s"); nm+=("$m")
      done
      b=$(median3 "${bs[@]}") now=$(median3 "${ns[@]}")
      say "$(printf "$fmt3c" "denoise $n^2 ${threads}t" "$b" "$now" "$(awk -v a="$b" -v b="$now" 'BEGIN { printf "%.2f", a / b }')" \
        "$(awk -v k="$(median3 "${bm[@]}")" 'BEGIN { printf "%.0f", k / 1024 }')" \
        "$(awk -v k="$(median3 "${nm[@]}")" 'BEGIN { printf "%.0f", k / 1024 }')" "$check")"
    done
  done
fi

say
say "Quality (octave-cli, 2 threads): PSNR in dB on the test photographs and a phantom"
quality_table() {  # FUNCTION: one quality script of bench/, on the test photographs
  if ! DYADFIT_THREADS=2 octave-cli --norc --no-history --no-window-system --quiet \
    --eval "addpath('$mexdir', '$root/bench', '$root/demo'); $1('$root/demo/data')" \
    2> >(grep -v 'ignoring const execution_exception' >&2) | tee -a "$results"; then
    failures=$((failures + 1))
  fi
}
quality_table quality
say
say "Colour (octave-cli, 2 threads): PSNR in dB, the opponent basis against RGB"
quality_table quality_colour
say
say "Clipped 8-bit photographs (octave-cli, 2 threads): the noise level and PSNR in dB"
quality_table quality_clipped
say
say "Poisson-Gaussian camera noise (octave-cli, 2 threads): PSNR in dB"
quality_table quality_camera
say
say "Against non-local means (one thread each, taking turns): PSNR in dB and seconds"
"$root/bench/nlm_compare.sh" "$root" "$mexdir" | tee -a "$results" || failures=$((failures + 1))

echo
echo "Written to $results"
((failures == 0)) || { echo "$failures run(s) failed or differed" >&2; exit 1; }
