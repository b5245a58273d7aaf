"""Tiles on Dask against the whole image: PSNR, throughput, peak memory.

    python bench_dask.py [--size 2048] [--chunk 512] [--sigma 20] [--workers 2]

A synthetic scene (discs over a slope and a wave, 0..255) under Gaussian
noise, float32:

1. the whole image through dyadfit.denoise on one thread;
2. the same image as a dask array of chunk x chunk chunks through
   dyadfit.dask.denoise on the threaded scheduler: PSNR against (1);
3. the image in a zarr store, denoised on a LocalCluster of `workers`
   single-threaded worker processes (3 GB memory limit each) and written to
   another zarr store: pixels per second per worker against (1), and each
   worker's peak resident memory.
"""

import argparse
import resource
import sys
import tempfile
import time
from pathlib import Path

# The installed package, not its source folder beside this script.
sys.path = [d for d in sys.path if Path(d or ".").resolve() != Path(__file__).resolve().parent]

import numpy as np  # noqa: E402

import dask.array as da  # noqa: E402
from distributed import Client, LocalCluster  # noqa: E402

import dyadfit  # noqa: E402
import dyadfit.dask  # noqa: E402


def scene(n, seed=0):
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:n, 0:n] / n
    img = 60 + 80 * x + 30 * np.sin(6 * y)
    for _ in range(60):
        cy, cx, r = rng.uniform(0, 1, 3)
        img[(y - cy) ** 2 + (x - cx) ** 2 < (0.01 + 0.08 * r) ** 2] += rng.uniform(-60, 60)
    return img


def psnr(estimate, clean):
    return 10 * np.log10(255.0 ** 2 / np.mean((estimate.astype(np.float64) - clean) ** 2))


def peak_rss_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--size", type=int, default=2048)
    p.add_argument("--chunk", type=int, default=512)
    p.add_argument("--sigma", type=float, default=20.0)
    p.add_argument("--workers", type=int, default=2)
    p.add_argument("--block-side", type=int, default=None,
                   help="the same block side for the whole image and the tiles (default: each chooses)")
    args = p.parse_args()
    n, pixels = args.size, args.size * args.size

    clean = scene(n)
    noisy = (clean + np.random.default_rng(1).normal(0, args.sigma, clean.shape)).astype(np.float32)
    print(f"image {n} x {n} float32, sigma {args.sigma}, chunks {args.chunk}, noisy PSNR {psnr(noisy, clean):.2f} dB")

    t = time.perf_counter()
    fixed = {} if args.block_side is None else {"block_side": args.block_side}
    whole, info = dyadfit.denoise(noisy, threads=1, return_info=True, **fixed)
    t_whole = time.perf_counter() - t
    print(f"whole image, 1 thread:      {t_whole:7.1f} s  {pixels / t_whole / 1e3:8.1f} kpx/s  "
          f"PSNR {psnr(whole, clean):.3f} dB  (block side {info['block_side'][0]:.0f}, "
          f"two-stage {bool(info['two_stage'][0])})")

    a = da.from_array(noisy, chunks=args.chunk)
    shared = dyadfit.dask.global_options(a, fixed)
    margin = dyadfit.dask.default_margin(shared["block_side"])
    print(f"shared settings: sigma {shared['sigma'][0]:.3f}, block side {shared['block_side']}, "
          f"penalties {shared['penalties'][0]:.4f},{shared['penalties'][1]:.4f}, lines {shared['lines']:.0f}, "
          f"margin {margin}")
    t = time.perf_counter()
    tiled = dyadfit.dask.denoise(a, **fixed).compute(scheduler="threads", num_workers=args.workers)
    t_tiled = time.perf_counter() - t
    print(f"tiled, threads x{args.workers}:       {t_tiled:7.1f} s  "
          f"{pixels / t_tiled / args.workers / 1e3:8.1f} kpx/s per thread  PSNR {psnr(tiled, clean):.3f} dB  "
          f"(whole - tiled {psnr(whole, clean) - psnr(tiled, clean):+.3f} dB)")

    with tempfile.TemporaryDirectory() as tmp:
        src, dst = Path(tmp) / "in.zarr", Path(tmp) / "out.zarr"
        da.from_array(noisy, chunks=args.chunk).to_zarr(str(src))
        with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, memory_limit="3GB",
                          dashboard_address=None) as cluster, Client(cluster) as client:
            t = time.perf_counter()
            dyadfit.dask.denoise(da.from_zarr(str(src)), **fixed).to_zarr(str(dst))
            t_cluster = time.perf_counter() - t
            peaks = sorted(client.run(peak_rss_mb).values())
        spread = da.from_zarr(str(dst)).compute()
    per_worker = pixels / t_cluster / args.workers
    print(f"zarr on LocalCluster x{args.workers}: {t_cluster:7.1f} s  {per_worker / 1e3:8.1f} kpx/s per worker  "
          f"PSNR {psnr(spread, clean):.3f} dB  peak RSS per worker "
          + ", ".join(f"{v:.0f} MB" for v in peaks))
    print(f"throughput per worker / whole image on one thread: {per_worker / (pixels / t_whole):.2f}")


if __name__ == "__main__":
    main()
