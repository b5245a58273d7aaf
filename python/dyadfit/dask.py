# SPDX-License-Identifier: BSD-3-Clause
"""dyadfit.denoise over the tiles of a Dask array.

:func:`denoise` returns a lazy array of the input's shape. Each tile is
denoised by the core with the tiles around it overlapping by a margin, and
with every setting that the whole-image call would take from the image's
size or its content fixed once for all tiles, as the whole image takes it:

* the noise: sigma per channel (Gaussian), or the camera's gain, offset and
  read noise (poisson-gaussian), estimated on 16 sample windows of 512 x 512
  spread over the array: the median of their sigmas; the camera from the
  windows together;
* the block side of the pre-averaging: by the core's rule, from the signal's
  spread over the whole array (one pass over every chunk, each reduced
  where it is read); with several channels, the first's (the luminance);
* the penalties, the lines per square and the second stage's constant
  pilot's penalties: the modules' defaults for the whole array's padded
  size (under Poisson noise, its total count);
* under ``wiener='auto'``, the second stage on or off for every tile: the
  guard run on one window of up to 2048 x 2048 at the centre (the whole
  array up to that size). Kept off, the tiles average twice the shifts, as
  the dyadic estimate the guard keeps does.

What each tile still decides for itself: the Wiener stage's block side (8 or
16, by its own risk), which follows the tile's content, not its position.

Margin: each tile reads ``margin`` pixels beyond its edges, 4 block sides
and at least 8 (:func:`default_margin`). Measured on a 2048 x 2048 scene
with block side 4 and tiles of 512: the squared error in a band of 8 pixels
around the seams is 8x the rest with no margin, 1.3x with 4 pixels, and the
rest's from 8 on; 16 gives twice that reach. The tiles are re-cut so that a
tile with its margins is a power of two on a side (the core pads each tile
to one): interiors of ``tile - 2 * margin``, then cut back to the input's
chunks.

The work runs on whatever scheduler is active: the threaded one, or a
``dask.distributed`` client. Each tile's call uses ``threads`` worker threads
(default 1: the scheduler already runs tiles in parallel).
"""

from __future__ import annotations

import math
from typing import Any, Optional

import numpy as np

import dask
import dask.array as da

from . import _core
from . import _denoise_pairs, _native

__all__ = ["denoise", "global_options", "default_margin"]

_DEFAULT_SHIFTS = 4
# The side of the windows the noise and the second stage are decided on.
SAMPLE_SIDE = 512
# The side of the window the second stage is decided on.
GUARD_SIDE = 2048
_MAX_SHIFTS = 1024


def _next_pow2(n: int) -> int:
    p = 1
    while p < n:
        p *= 2
    return p


def _default_resolution(pixels: int) -> int:
    """The modules' default lines per square are K^2 for this K: the floor of
    the cube root of the padded pixel count, by the C library's pow as the
    core takes it (a 512 x 512 image gets 63, not 64)."""
    return int(math.floor(float(pixels) ** (1.0 / 3.0)))


def _class_limits(dtype: np.dtype):
    if dtype.kind == "b":
        return 0.0, 1.0
    if dtype.kind in "iu":
        info = np.iinfo(dtype)
        return float(info.min), float(info.max)
    return -np.inf, np.inf


def _result_dtype(dtype: np.dtype, noise: Optional[str]) -> np.dtype:
    if dtype.kind == "f" and dtype.itemsize == 2:
        dtype = np.dtype(np.float32)
    elif dtype.kind == "f" and dtype.itemsize > 8:
        dtype = np.dtype(np.float64)
    if noise is None or str(noise).lower() == "gaussian":
        return np.dtype(dtype)
    return np.dtype(np.float32 if dtype == np.float32 else np.float64)


def default_margin(block_side: int) -> int:
    """The overlap each tile reads beyond its edges, for a block side: 4 block
    sides, at least 8 pixels (see the module's text)."""
    return max(8, 4 * int(block_side))


def _sample_windows(a: da.Array, count: int):
    """Up to ``count`` windows of SAMPLE_SIDE x SAMPLE_SIDE (the image's sides
    if smaller) on a grid of that side, spread evenly over it."""
    h, w = min(a.shape[0], SAMPLE_SIDE), min(a.shape[1], SAMPLE_SIDE)
    pool = [(r, c) for r in range(0, a.shape[0] - h + 1, h) for c in range(0, a.shape[1] - w + 1, w)]
    picks = sorted({pool[int(math.floor(k + 0.5))] for k in np.linspace(0, len(pool) - 1, min(count, len(pool)))})
    return [a[r:r + h, c:c + w] for r, c in picks]


def _working_levels(noise: str, colour: str, channels: int, sigma) -> np.ndarray:
    """The noise level of each working plane: sigma per channel, through the
    opponent basis for colour; 1 under the camera model (its transform)."""
    if noise != "gaussian":
        return np.ones(channels)
    s = np.broadcast_to(np.asarray(sigma, dtype=np.float64), (channels,))
    if channels == 3 and colour != "rgb":
        return np.sqrt((_OPPONENT ** 2) @ (s ** 2))
    return np.array(s, dtype=np.float64)


# The denoiser's luminance and colour-difference basis (denoise/colour.cc).
_OPPONENT = np.array([[1 / np.sqrt(3)] * 3,
                      [1 / np.sqrt(2), 0.0, -1 / np.sqrt(2)],
                      [1 / np.sqrt(6), -2 / np.sqrt(6), 1 / np.sqrt(6)]])


def _moments(block, noise, opponent, levels, camera):
    return _core.working_moments(_native(np.asarray(block)), noise, opponent, levels, *camera)


def _whole_moments(a: da.Array, noise: str, opponent: bool, levels: np.ndarray, camera) -> np.ndarray:
    """Sum and sum of squares of each working plane over the whole array (2 x
    channels): one pass over the chunks, each reduced where it is read."""
    parts = [dask.delayed(_moments)(b, noise, opponent, levels, camera) for b in a.to_delayed().ravel()]
    return np.sum(dask.compute(*parts), axis=0)


def global_options(a: da.Array, options: dict, sample_tiles: int = 16) -> dict:
    """The options every tile gets: ``options`` with every default that the
    whole image would take from its size or its content fixed once for the
    whole array ``a`` (rows x cols, or rows x cols x channels with the
    channels last): the noise, the block side, the penalties, the lines and,
    under ``wiener='auto'``, the second stage on or off (see the module's
    text)."""
    opts = dict(options)
    noise = str(opts.get("noise") or "gaussian").lower()
    method = str(opts.get("method") or "wedgelet").lower()
    colour = str(opts.get("colour") or "opponent").lower()
    wiener = str(opts.get("wiener") or "auto").lower()
    rows, cols = a.shape[0], a.shape[1]
    channels = a.shape[2] if a.ndim == 3 else 1
    samples = [np.asarray(s) for s in dask.compute(*_sample_windows(a, sample_tiles))]
    if noise == "gaussian" and opts.get("sigma") is None:
        lo, hi = _class_limits(a.dtype)
        sigmas = np.array([_core.noise_sigma(_native(np.asarray(s)), lo, hi) for s in samples])
        sigma = np.median(sigmas, axis=0)
        # No noise found (a flat image): the tiles find none either and are
        # returned as they are, as the whole image would be.
        if np.all(sigma > 0):
            opts["sigma"] = [float(v) for v in sigma]
    if noise == "poisson-gaussian" and any(opts.get(k) is None for k in ("gain", "offset", "read_noise")):
        r = min(s.shape[0] for s in samples)
        c = min(s.shape[1] for s in samples)
        planes = [s[:r, :c].reshape(r, c, -1) for s in samples]
        stack = np.concatenate(planes, axis=2).astype(np.float64)
        known = [np.nan if opts.get(k) is None else float(opts[k]) for k in ("gain", "offset", "read_noise")]
        opts["gain"], opts["offset"], opts["read_noise"] = _core.camera_noise(stack, *known)
    P, Q = _next_pow2(rows), _next_pow2(cols)
    if method == "constant":
        P = Q = max(P, Q)
    poisson_model = noise == "poisson" and method != "constant"
    need_block = opts.get("block_side") is None and method != "constant"
    moments = None
    if need_block or (poisson_model and opts.get("penalties") is None):
        opponent = channels == 3 and colour != "rgb" and noise != "poisson"
        levels = _working_levels(noise, colour, channels, opts.get("sigma", 1.0))
        camera = tuple(float(opts.get(k) or 0.0) for k in ("gain", "offset", "read_noise"))
        moments = _whole_moments(a, noise, opponent, levels, camera) / float(rows * cols)
    if opts.get("block_side") is None:
        if method == "constant":
            opts["block_side"] = 1
        else:
            # As the whole image chooses, from its whole spread (a slope
            # across it counts); with several channels, the first's (the
            # luminance of a colour image), the one block side the tiles take.
            mean, square = moments[0], moments[1]
            variance = np.maximum(square - mean * mean, 0.0)
            noise_var = mean if poisson_model else np.ones(channels)
            live = [c for c in range(channels) if square[c] > 0] or [0]
            c = live[0]
            opts["block_side"] = _core.default_block_side(float(variance[c]), float(noise_var[c]), P, Q)
    if opts.get("penalties") is None:
        x = float(P) * float(Q)
        if poisson_model:
            # The padded image's total: its mean count times the padded size.
            x = float(np.mean(moments[0])) * x
        if method == "constant":
            opts["penalties"] = [np.log(x) / 3.0]
        else:
            one, two = (1.0, 2.0) if method == "wedgelet" else (3.0, 4.0)
            opts["penalties"] = [one * np.log(x) / 3.0, two * np.log(x) / 3.0]
    opts["_pixels"] = float(P) * float(Q)
    if opts.get("lines") is None and method != "constant":
        k = _default_resolution(P * Q)
        opts["lines"] = float(k * k)
    if wiener == "auto":
        # The guard weighs the two estimates' risks; summed over the sampled
        # tiles it is the risk over them together. The dyadic estimate it
        # keeps averages twice the shifts.
        # The guard's two risks differ by a few per cent where its choice
        # matters little; summed over small windows they can swing the other
        # way from the whole image's. One window of up to GUARD_SIDE on a
        # side, at the centre, is the whole image up to that size.
        h, w = min(rows, GUARD_SIDE), min(cols, GUARD_SIDE)
        r, c = (rows - h) // 2, (cols - w) // 2
        # It runs alone, before any tile: on every core of its worker.
        # Where no block side was given, the guard searches upward from its
        # rule as the whole image's does, and the tiles take the side it kept.
        guard = dict(opts)
        if need_block:
            guard.pop("block_side")
        info = dask.compute(dask.delayed(_run)(a[r:r + h, c:c + w], guard, None, True))[0][1]
        if need_block:
            kept = np.asarray(info["block_side"]).ravel()
            if kept.size and kept[0] > 0:
                opts["block_side"] = int(kept[0])
        risk = np.nansum(np.asarray(info["risk"]).reshape(-1, 2), axis=0)
        shifts = int(opts.get("shifts") or _DEFAULT_SHIFTS)
        if risk[1] < risk[0]:
            opts["wiener"] = "on"
        else:
            opts["wiener"] = "off"
            opts["shifts"] = min(2 * shifts, _MAX_SHIFTS)
    return opts


def _run(block: np.ndarray, options: dict, threads: Optional[int], with_info: bool = False):
    """One tile (channels last) through the core, its size-dependent defaults
    those of the whole array (options["_pixels"], its padded pixel count)."""
    opts = dict(options)
    pixels = float(opts.pop("_pixels", 0.0))
    a = _native(np.asarray(block))
    return _core.denoise(a, _denoise_pairs(opts), threads, with_info, pixels)


def _tile(block: np.ndarray, options: dict, threads: Optional[int]) -> np.ndarray:
    return _run(block, options, threads)


def denoise(array: Any, *, channel_axis: Optional[int] = None, margin: Optional[int] = None,
            tile: Optional[int] = None, sample_tiles: int = 16, threads: Optional[int] = 1,
            **options: Any) -> da.Array:
    """Denoise a Dask array tile by tile; returns a lazy array of its shape.

    ``options`` are those of :func:`dyadfit.denoise` (method, noise, colour,
    wiener, shifts, sigma, gain, offset, read_noise, block_side, penalties,
    lines). What is not given and the whole image would take from its size
    or content is fixed for the whole array before the tiles run (see the
    module's text): this reads ``sample_tiles`` windows, one pass over the
    array (unless the block side is given, and under Poisson noise the
    penalties), and runs the guard on one window (``wiener='auto'``).

    ``margin``: the overlap (default :func:`default_margin` of the block
    side). ``tile``: the side of a tile with its margins, a power of two
    (default: the next power of two of the largest chunk side, at least
    ``4 * margin``). ``threads``: the core's threads per tile.
    """
    a = array if isinstance(array, da.Array) else da.asarray(array)
    if a.dtype.kind not in "biuf":
        raise TypeError("The image must be a real numeric or logical M x N or M x N x C array.")
    if a.ndim == 3:
        if channel_axis is None:
            raise ValueError("A 3-D image needs channel_axis, the axis of its channels (e.g. channel_axis=-1).")
        a = da.moveaxis(a, channel_axis, -1).rechunk({2: -1})
    elif a.ndim != 2:
        raise ValueError("The image must be a real numeric or logical M x N or M x N x C array.")
    elif channel_axis is not None:
        raise ValueError("channel_axis applies to a 3-D image; this one is 2-D.")
    for key in ("progress", "partition", "return_info"):
        if options.get(key):
            raise ValueError(f"{key} is not available tile by tile.")
        options.pop(key, None)
    in_chunks = a.chunks
    opts = global_options(a, options, sample_tiles)
    m = default_margin(int(opts["block_side"])) if margin is None else int(margin)
    if m < 0:
        raise ValueError("margin must be a non-negative integer.")
    side = _next_pow2(max(max(a.chunks[0]), max(a.chunks[1]), 4 * m, 16)) if tile is None else int(tile)
    if side & (side - 1) or side <= 2 * m:
        raise ValueError("tile must be a power of two larger than twice the margin.")
    inner = side - 2 * m
    work = a.rechunk({0: inner, 1: inner})
    depth = {0: m, 1: m} if a.ndim == 2 else {0: m, 1: m, 2: 0}
    out_dtype = _result_dtype(a.dtype, opts.get("noise"))
    result = work.map_overlap(_tile, depth=depth, boundary="none", dtype=out_dtype,
                              meta=np.empty((0,) * a.ndim, out_dtype), options=opts, threads=threads)
    result = result.rechunk(in_chunks)
    if a.ndim == 3:
        result = da.moveaxis(result, -1, channel_axis)
    return result
