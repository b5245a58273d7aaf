#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# dyadfit_denoise against non-local means (scikit-image's fast mode, the
# common denoiser of its kind), both on one thread, on camera.png with
# Gaussian noise: PSNR and seconds (least of three runs in each process),
# the two programs taking turns over three rounds so that a busy machine
# weighs on both alike.
#
#   bench/nlm_compare.sh ROOT MEXDIR
set -euo pipefail
root=$1 mexdir=$2
python=/usr/bin/python3
if ! "$python" -c 'import skimage' 2> /dev/null; then
  echo "non-local means comparison skipped: python3-skimage is not installed"
  exit 0
fi
image=$root/demo/data/camera.png
printf '%-10s %-8s %9s %9s %9s %9s %8s\n' image sigma nlm_dB den_dB nlm_s den_s ratio
for sigma in 10 25; do
  nlm_best=inf den_best=inf
  for round in 1 2 3; do
    read -r nlm_s nlm_db < <(OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 "$python" "$root/bench/nlm_timing.py" "$image" "$sigma" 3 "$round")
    read -r den_s den_db < <(DYADFIT_THREADS=1 octave-cli --norc --no-history --no-window-system --quiet --eval "
      addpath('$mexdir'); I = double(imread('$image')); randn('seed', $round); Y = I + $sigma * randn(size(I));
      t = Inf; for r = 1:3; [e, info] = dyadfit_denoise(Y); t = min(t, info.seconds); end
      printf('%.4f %.2f\n', t, 10 * log10(255^2 / mean((e(:) - I(:)).^2)));" 2> /dev/null)
    nlm_best=$(awk -v a="$nlm_best" -v b="$nlm_s" 'BEGIN { print (a == "inf" || b < a) ? b : a }')
    den_best=$(awk -v a="$den_best" -v b="$den_s" 'BEGIN { print (a == "inf" || b < a) ? b : a }')
  done
  printf '%-10s %-8s %9s %9s %9.3f %9.3f %8.1f\n' camera "$sigma" "$nlm_db" "$den_db" "$nlm_best" "$den_best" \
    "$(awk -v a="$den_best" -v b="$nlm_best" 'BEGIN { print a / b }')"
done
echo "columns: PSNR of the last round's noise; seconds, the least over all rounds; ratio = den_s / nlm_s (target: at most 4)."
