# SPDX-License-Identifier: BSD-3-Clause
"""Tiles on Dask against the whole image: PSNR, throughput, peak memory.

    python bench/tiling.py [--size 2048] [--chunk 512] [--workers 2] [--whole-size 4096]
                           [--margin M] [--tile T] [--dir DIR] [--no-threads-run]

Run with the Python that has the package installed (make test-python puts
it in build/python-venv/bin/python). A synthetic scene (discs over a slope
and a wave, 0..255) under Gaussian noise of sigma 20, float32, written to a
zarr store chunk by chunk (never whole in memory):

1. the whole image through dyadfit.denoise in this process on one thread,
   when it is at most --whole-size on a side; a larger image is compared
   with the whole-image rate of the scene's top-left --whole-size square;
2. (size <= 4096) the image as one dask array of chunk x chunk chunks through
   dyadfit.dask.denoise on the threaded scheduler: PSNR against (1);
3. the zarr store denoised on a LocalCluster of `workers` single-threaded
   worker processes (3 GB memory limit each) and written to another zarr
   store: pixels per second per worker against (1), by wall time and by
   the workers' CPU time; each worker's peak resident memory; and the same
   graph with the core's call replaced by a copy, the cost of reading,
   moving and writing the tiles.
"""

import argparse
import resource
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import dask.array as da
from distributed import Client, LocalCluster

import dyadfit
import dyadfit.dask

SIGMA = 20.0
DISCS = np.random.default_rng(0).uniform(0, 1, (60, 4))


def scene_block(block_info=None, *, n):
    """The clean scene over one block, from the block's place in the image."""
    (r0, r1), (c0, c1) = block_info[None]["array-location"]
    y, x = np.mgrid[r0:r1, c0:c1] / n
    img = 60 + 80 * x + 30 * np.sin(6 * y)
    for cy, cx, r, v in DISCS:
        img[(y - cy) ** 2 + (x - cx) ** 2 < (0.01 + 0.08 * r) ** 2] += -60 + 120 * v
    return img


def noisy_block(block_info=None, *, n):
    (r0, _), (c0, _) = block_info[None]["array-location"]
    clean = scene_block(block_info, n=n)
    rng = np.random.default_rng([1, r0, c0])
    return (clean + rng.normal(0, SIGMA, clean.shape)).astype(np.float32)


def scene(n, chunk, noisy):
    """The scene (noisy: float32 with its noise) as a lazy n x n array."""
    chunks = tuple(min(chunk, n - s) for s in range(0, n, chunk))
    return da.map_blocks(noisy_block if noisy else scene_block, n=n, chunks=(chunks, chunks),
                         dtype=np.float32 if noisy else np.float64)


def psnr_of(estimate, clean):
    mse = da.mean((estimate.astype(np.float64) - clean) ** 2)
    return float(10 * np.log10(255.0 ** 2 / mse.compute()))


def usage():
    """CPU seconds of this process, and its peak resident memory in MB (the
    kernel's high-water mark of its own memory; ru_maxrss would carry the
    parent's over a fork)."""
    r = resource.getrusage(resource.RUSAGE_SELF)
    with open("/proc/self/status") as f:
        peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
    return r.ru_utime + r.ru_stime, peak / 1024.0


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--size", type=int, default=2048)
    p.add_argument("--chunk", type=int, default=512)
    p.add_argument("--workers", type=int, default=2)
    p.add_argument("--whole-size", type=int, default=4096)
    p.add_argument("--margin", type=int, default=None)
    p.add_argument("--tile", type=int, default=None)
    p.add_argument("--dir", default=None, help="folder for the zarr stores (default: a temporary one)")
    p.add_argument("--no-threads-run", action="store_true", help="skip step 2")
    args = p.parse_args()
    n = args.size
    tiling = {k: v for k, v in (("margin", args.margin), ("tile", args.tile)) if v is not None}
    print(f"image {n} x {n} float32, sigma {SIGMA}, chunks {args.chunk}, {args.workers} workers, "
          f"dyadfit {dyadfit.__file__}", flush=True)

    with tempfile.TemporaryDirectory(dir=args.dir) as tmp:
        src, dst, copy = Path(tmp) / "in.zarr", Path(tmp) / "out.zarr", Path(tmp) / "copy.zarr"
        t = time.perf_counter()
        scene(n, args.chunk, True).to_zarr(str(src))
        print(f"scene written to zarr in {time.perf_counter() - t:.1f} s", flush=True)
        noisy = da.from_zarr(str(src))
        clean = scene(n, args.chunk, False)

        w = min(n, args.whole_size)
        image = noisy[:w, :w].compute()
        cpu0, _ = usage()
        t = time.perf_counter()
        whole, info = dyadfit.denoise(image, threads=1, return_info=True)
        t_whole = time.perf_counter() - t
        cpu_whole = usage()[0] - cpu0
        rate_whole, cpu_rate_whole = w * w / t_whole, w * w / cpu_whole
        psnr_whole = psnr_of(da.from_array(whole), clean[:w, :w])
        print(f"whole {w} x {w}, 1 thread: {t_whole:7.1f} s  {rate_whole / 1e3:8.1f} kpx/s  PSNR {psnr_whole:.3f} dB  "
              f"(block side {info['block_side'][0]:.0f}, two-stage {bool(info['two_stage'][0])}, "
              f"peak RSS of this process {usage()[1]:.0f} MB)", flush=True)
        del whole, image

        if n <= 4096 and not args.no_threads_run:
            a = noisy.compute()
            t = time.perf_counter()
            tiled = dyadfit.dask.denoise(da.from_array(a, chunks=args.chunk), **tiling).compute(
                scheduler="threads", num_workers=args.workers)
            t_tiled = time.perf_counter() - t
            psnr_tiled = psnr_of(da.from_array(tiled), clean)
            print(f"tiled, threads x{args.workers}: {t_tiled:7.1f} s  PSNR {psnr_tiled:.3f} dB  "
                  f"(whole - tiled {psnr_whole - psnr_tiled:+.3f} dB)", flush=True)
            del a, tiled

        with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, memory_limit="3GB",
                          dashboard_address=None) as cluster, Client(cluster) as client:
            before = client.run(usage)
            t = time.perf_counter()
            lazy = dyadfit.dask.denoise(da.from_zarr(str(src)), **tiling)
            t_plan = time.perf_counter() - t
            lazy.to_zarr(str(dst))
            t_cluster = time.perf_counter() - t
            after = client.run(usage)
            cpu = sum(after[k][0] - before[k][0] for k in after)
            peaks = sorted(v[1] for v in after.values())
            psnr_cluster = psnr_of(da.from_zarr(str(dst)), clean)
            per_worker = n * n / t_cluster / args.workers
            print(f"zarr on LocalCluster x{args.workers}: {t_cluster:7.1f} s wall (of which {t_plan:.1f} s deciding "
                  f"the shared settings), {per_worker / 1e3:8.1f} kpx/s per worker, PSNR {psnr_cluster:.3f} dB"
                  + (f" (whole - tiled {psnr_whole - psnr_cluster:+.3f} dB)" if w == n else ""), flush=True)
            print(f"workers' CPU {cpu:.1f} s: {n * n / cpu / 1e3:.1f} kpx per CPU second; peak RSS per worker "
                  + ", ".join(f"{v:.0f} MB" for v in peaks), flush=True)
            print(f"per worker / whole image on one thread: {per_worker / rate_whole:.2f} by wall time, "
                  f"{(n * n / cpu) / cpu_rate_whole:.2f} by CPU time", flush=True)

            # The same graph with the tile's work a copy: reading, moving, writing.
            real, plan = dyadfit.dask._tile, dyadfit.dask.global_options
            dyadfit.dask._tile = lambda block, options, threads: np.array(block, copy=True)
            dyadfit.dask.global_options = lambda a, options, *rest: dict(
                options, block_side=4, sigma=[SIGMA], penalties=[1.0, 2.0], lines=1.0, wiener="off")
            try:
                t = time.perf_counter()
                dyadfit.dask.denoise(da.from_zarr(str(src)), **tiling).to_zarr(str(copy))
                print(f"same graph, tiles copied: {time.perf_counter() - t:.1f} s wall", flush=True)
            finally:
                dyadfit.dask._tile, dyadfit.dask.global_options = real, plan


if __name__ == "__main__":
    main()
