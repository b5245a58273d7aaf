# SPDX-License-Identifier: BSD-3-Clause
"""Non-local means (scikit-image, fast mode), the reference point of the
quality table: seconds (least of ROUNDS runs) and PSNR on a photograph with
Gaussian noise, one thread. Usage: nlm_timing.py IMAGE SIGMA ROUNDS SEED"""
import sys
import time

import numpy as np
from skimage import io
from skimage.restoration import denoise_nl_means

path, sigma, rounds, seed = sys.argv[1], float(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
clean = io.imread(path).astype(float)
noisy = clean + sigma * np.random.default_rng(seed).standard_normal(clean.shape)
best = float("inf")
for _ in range(rounds):
    start = time.perf_counter()
    est = denoise_nl_means(noisy, h=0.8 * sigma, sigma=sigma, fast_mode=True, patch_size=5, patch_distance=6)
    best = min(best, time.perf_counter() - start)
print(f"{best:.4f} {10 * np.log10(255 ** 2 / np.mean((est - clean) ** 2)):.2f}")
