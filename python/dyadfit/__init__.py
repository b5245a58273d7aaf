# SPDX-License-Identifier: BSD-3-Clause
"""dyadfit: image estimates on recursive dyadic partitions.

The functions run the same C++ core as the Octave modules and the command
line, with the same options, defaults and messages: for the same float64
input the results are the same bit for bit.

* :func:`denoise` -- denoise an image of any size (Octave's dyadfit_denoise).
* :func:`tessik`, :func:`brindel`, :func:`quarlo` -- one module on a dyadic
  image, returning the tuple of the module's results.
* :func:`show` -- the squares of a partition drawn over an image, as RGB.
* :mod:`dyadfit.dask` -- :func:`denoise` over the tiles of a Dask array.

Arrays: any real numpy dtype (bool, integers, float16/32/64, long double),
C- or Fortran-ordered, any strides. The core works on column-major planes;
each call gathers the image into them with one copy. Results come back as
Fortran-ordered arrays (a view with the colour axis where it was given).

Threads: ``DYADFIT_THREADS`` or the number of cores; ``threads=`` sets them
for one call (the core has one process-wide count: concurrent calls should
pass the same value), :func:`set_threads` for the process. The result is the
same for any count. The GIL is released while the core works, and Ctrl-C
stops a call within a fraction of a second with ``KeyboardInterrupt``.
"""

from __future__ import annotations

import numbers
from typing import Any, Optional, Sequence, Tuple, Union

import numpy as np

from . import _core

__all__ = ["denoise", "tessik", "brindel", "quarlo", "show", "set_threads", "thread_count", "CoreError"]

CoreError = _core.CoreError

_IMAGE_MESSAGE = "The image must be a real numeric or logical M x N or M x N x C array."


def _native(a: np.ndarray) -> np.ndarray:
    """The array in a dtype the core reads: float16 as float32, long double
    as float64, and every dtype in native byte order."""
    kind, size = a.dtype.kind, a.dtype.itemsize
    if kind == "f" and size == 2:
        return a.astype(np.float32)
    if kind == "f" and size > 8:
        return a.astype(np.float64)
    if not a.dtype.isnative:
        return a.astype(a.dtype.newbyteorder("="))
    return a


def _is_real(a: np.ndarray) -> bool:
    return a.dtype.kind in "biuf"


def _module_image(image: Any) -> Tuple[np.ndarray, int, bool]:
    """The image as the modules see an Octave array: 2-D (N-d folded into its
    columns, with its dimension count), a 1-D array as a row; complex data
    keeps its real part and is flagged, so that the module names it."""
    a = np.asarray(image)
    dims = max(a.ndim, 2)
    complex_ = a.dtype.kind == "c"
    if complex_:
        a = a.real
    if a.ndim == 0:
        a = a.reshape(1, 1)
    elif a.ndim == 1:
        a = a.reshape(1, -1)
    elif a.ndim > 2:
        a = a.reshape(a.shape[0], -1, order="F")
    if _is_real(a):
        a = _native(a)
    return a, dims, complex_


def _call_module(fn, image: Any, args: Sequence[Any], threads: Optional[int]):
    a, dims, complex_ = _module_image(image)
    try:
        return fn([a, *args], dims, complex_, threads)
    except CoreError as e:
        if complex_ or not _is_real(a):
            raise TypeError(str(e)) from None
        raise


def _option(value: Any) -> Any:
    """An option value as the core reads it: text and bools as they are,
    numbers as scalars, sequences as rows."""
    if value is None or isinstance(value, (str, bool, np.bool_)):
        return bool(value) if isinstance(value, np.bool_) else value
    if isinstance(value, numbers.Real):
        return float(value)
    if isinstance(value, (np.ndarray, list, tuple)):
        a = np.asarray(value)
        if a.dtype.kind not in "biuf":
            raise TypeError(f"option values must be numbers, not {a.dtype}")
        return np.ascontiguousarray(a.astype(np.float64).reshape(1, -1))
    raise TypeError(f"option values must be text, numbers or sequences of numbers, not {type(value).__name__}")


_DENOISE_OPTIONS = (
    ("method", "Method"),
    ("noise", "Noise"),
    ("colour", "Colour"),
    ("wiener", "Wiener"),
    ("shifts", "Shifts"),
    ("sigma", "Sigma"),
    ("gain", "Gain"),
    ("offset", "Offset"),
    ("read_noise", "ReadNoise"),
    ("block_side", "BlockSide"),
    ("penalties", "Penalties"),
    ("lines", "Lines"),
    ("progress", "Progress"),
    ("partition", "Partition"),
)


def _denoise_pairs(options: dict) -> list:
    pairs = []
    for key, name in _DENOISE_OPTIONS:
        value = options.get(key)
        if value is None:
            continue
        pairs += [name, _option(value)]
    return pairs


def denoise(
    image: Any,
    *,
    method: Optional[str] = None,
    noise: Optional[str] = None,
    colour: Optional[str] = None,
    wiener: Optional[str] = None,
    shifts: Optional[int] = None,
    sigma: Union[None, float, Sequence[float]] = None,
    gain: Optional[float] = None,
    offset: Optional[float] = None,
    read_noise: Optional[float] = None,
    block_side: Optional[int] = None,
    penalties: Union[None, float, Sequence[float]] = None,
    lines: Optional[float] = None,
    progress: Optional[bool] = None,
    partition: Optional[bool] = None,
    channel_axis: Optional[int] = None,
    threads: Optional[int] = None,
    return_info: bool = False,
):
    """Denoise an image of any size (Octave's ``dyadfit_denoise``).

    Pads the image to dyadic sides, finds the noise level of each channel
    from the image (or takes ``sigma``), and averages the module's estimates
    over cyclic shifts of the grid; a Wiener second stage is kept per
    channel when its estimated risk is lower.

    Parameters (None: the default, exactly as in Octave)
        image: M x N array, or with a colour axis named by ``channel_axis``
            (three channels: colour; any other count: one at a time). Any
            real dtype; no NaN or Inf.
        method: 'constant', 'wedgelet' (default) or 'platelet'.
        noise: 'gaussian' (default), 'poisson' (counts) or
            'poisson-gaussian' (a camera: gain * Poisson + offset + read noise).
        colour: 'opponent' (default) or 'rgb'.
        wiener: 'auto' (default), 'on' or 'off'.
        shifts: shifted grids averaged, 1 to 1024 (4).
        sigma: Gaussian noise level, one number or one per channel.
        gain, offset, read_noise: the camera's parameters (estimated when
            not given).
        block_side: block side of the pre-averaging, a power of two.
        penalties: penalties on the scaled image, one (constant) or two.
        lines: candidate lines per square.
        progress: print the progress on stderr.
        partition: with ``return_info``, put the picture of the partition of
            the first channel's unshifted run in ``info['partition']``.
        channel_axis: the colour axis of a 3-D image (as in scikit-image).
        threads: worker threads for this call, 1 to 256.
        return_info: also return a dict of what was used (sigma, camera,
            block_side, penalties, shifts, two_stage, risk, wiener_block,
            padded_size, seconds, partition).

    Returns
        The estimate, of the image's shape. Its dtype follows Octave: under
        Gaussian noise the image's own (integers rounded and saturated,
        bool as bool; float16 comes back as float32, long double as
        float64); under the Poisson models rates, float64 (float32 for a
        float32 or float16 image). With ``return_info``, ``(estimate, info)``.

    Raises
        ValueError with the core's message for a bad option or image (the
        same text as in Octave); TypeError for an image that is not real
        numbers; KeyboardInterrupt on Ctrl-C.
    """
    a = np.asarray(image)
    if not _is_real(a):
        raise TypeError(_IMAGE_MESSAGE)
    if a.ndim == 3:
        if channel_axis is None:
            raise ValueError("A 3-D image needs channel_axis, the axis of its channels (e.g. channel_axis=-1).")
        a = np.moveaxis(a, channel_axis, -1)
    elif a.ndim == 2:
        if channel_axis is not None:
            raise ValueError("channel_axis applies to a 3-D image; this one is 2-D.")
    else:
        raise ValueError(_IMAGE_MESSAGE)
    a = _native(a)
    pairs = _denoise_pairs(dict(
        method=method, noise=noise, colour=colour, wiener=wiener, shifts=shifts, sigma=sigma, gain=gain,
        offset=offset, read_noise=read_noise, block_side=block_side, penalties=penalties, lines=lines,
        progress=progress, partition=partition))
    out = _core.denoise(a, pairs, threads, bool(return_info))
    if a.ndim == 3:
        if return_info:
            out = (np.moveaxis(out[0], -1, channel_axis), out[1])
        else:
            out = np.moveaxis(out, -1, channel_axis)
    return out


def tessik(image: Any, pen: Any = None, sh: Any = None, *, threads: Optional[int] = None):
    """Piecewise-constant estimate on a dyadic partition (Octave's ``tessik``).

    ``image`` must be square with a power-of-two side; ``pen`` (required) is
    the penalty per square in squared intensity units; ``sh`` the block side
    of the pre-averaging (default 1). Returns ``(est, labels, squares)`` as
    float64 arrays: the estimate, a label image constant on each final
    square, and for each pixel (column-major order) its final square
    [top row, left column, side], counted from 0.
    """
    args = [pen, sh]
    while args and args[-1] is None:
        args.pop()
    return _call_module(_core.tessik, image, args, threads)


def _split_args(sh, noise_type, pen_one, pen_two, lines):
    return [sh, "Gaussian" if noise_type is None else noise_type, pen_one, pen_two, lines]


def brindel(image: Any, sh: Any = None, noise_type: Optional[str] = None, pen_const: Any = None,
            pen_wedge: Any = None, lines: Any = None, *, threads: Optional[int] = None):
    """Wedgelet estimate on a dyadic partition (Octave's ``brindel``).

    ``image``'s sides must be powers of two, at least 2. None takes the
    module's default for ``sh``, ``pen_const``, ``pen_wedge`` and ``lines``;
    ``noise_type`` is 'Gaussian' (default) or 'Poisson'. Returns
    ``(est, avg, labels1, squares, est2, labels2)`` as float64 arrays, as
    Octave's six results (``squares``: D x 3 [column, row, side], from 0).
    """
    return _call_module(_core.brindel, image, _split_args(sh, noise_type, pen_const, pen_wedge, lines), threads)


def quarlo(image: Any, sh: Any = None, noise_type: Optional[str] = None, pen_plane: Any = None,
           pen_platelet: Any = None, lines: Any = None, *, threads: Optional[int] = None):
    """Platelet estimate on a dyadic partition (Octave's ``quarlo``).

    Arguments and the six results as for :func:`brindel`, with planes in
    place of constants.
    """
    return _call_module(_core.quarlo, image, _split_args(sh, noise_type, pen_plane, pen_platelet, lines), threads)


def show(image: Any, squares: Any, layout: Optional[str] = None, scale: Optional[int] = None,
         range: Optional[Sequence[float]] = None) -> np.ndarray:
    """The squares of a partition drawn over a grey image (Octave's
    ``dyadfit_show`` with an output).

    ``squares`` is result 3 of :func:`tessik` ('pixels' layout) or result 4
    of :func:`brindel` / :func:`quarlo` ('distinct'); ``scale`` enlarges each
    pixel; ``range`` is [lo, hi] shown black to white. Returns an
    (M*scale) x (N*scale) x 3 float64 RGB array with values in [0, 1].
    """
    a, dims, complex_ = _module_image(image)
    sq = np.asarray(squares)
    if sq.ndim < 2:
        sq = sq.reshape(1, -1) if sq.size else sq.reshape(0, 0)
    args = [a, _native(sq) if _is_real(sq) else sq, layout, None if scale is None else float(scale),
            None if range is None else _option(range)]
    while len(args) > 2 and args[-1] is None:
        args.pop()
    try:
        return _core.show(args, dims, complex_)
    except CoreError as e:
        if complex_ or not _is_real(a) or not _is_real(sq):
            raise TypeError(str(e)) from None
        raise


def set_threads(n: int) -> None:
    """Worker threads for every later call, 1 to 256; 0 restores the default
    (``DYADFIT_THREADS``, else the number of cores)."""
    _core.set_threads(int(n))


def thread_count() -> int:
    """The worker threads a call would use now."""
    return _core.thread_count()
