# SPDX-License-Identifier: BSD-3-Clause
import os
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import dyadfit

ROOT = Path(__file__).resolve().parents[2]
CLI = Path(os.environ.get("DYADFIT_CLI", ROOT / "build" / "dyadfit"))


def scene(n, seed=0, noise=10.0):
    """Discs and a slope under Gaussian noise: clean, noisy."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:n, 0:n] / n
    clean = 60 + 80 * x + 30 * np.sin(5 * y)
    for _ in range(12):
        cy, cx, r = rng.uniform(0, 1, 3)
        clean[(y - cy) ** 2 + (x - cx) ** 2 < (0.05 + 0.15 * r) ** 2] += rng.uniform(-50, 50)
    return clean, clean + rng.normal(0, noise, clean.shape)


def counts_of(image):
    return np.round(np.abs(image) / 20)


def run_cli(tmp_path, image, args):
    src, dst = tmp_path / "in.txt", tmp_path / "out.txt"
    np.savetxt(src, image, fmt="%.17g")
    subprocess.run([str(CLI), *args[:1], str(src), str(dst), "--quiet", *args[1:]], check=True)
    return np.loadtxt(dst, ndmin=2)


@pytest.mark.skipif(not CLI.is_file(), reason=f"no command line at {CLI} (make build, or set DYADFIT_CLI)")
@pytest.mark.parametrize("call, args", [
    (lambda a: dyadfit.tessik(a, 40.0, 2)[0], ["tessik", "--pen", "40", "--sh", "2"]),
    (lambda a: dyadfit.brindel(a)[0], ["brindel"]),
    (lambda a: dyadfit.quarlo(a, 2, "Gaussian", 300.0, 600.0, 200)[0],
     ["quarlo", "--sh", "2", "--pen", "300,600", "--lines", "200"]),
    (lambda a: dyadfit.brindel(counts_of(a), None, "Poisson")[0], None),
    (lambda a: dyadfit.denoise(a), ["denoise"]),
    (lambda a: dyadfit.denoise(a[:50, :37], method="platelet", shifts=2, wiener="on"),
     ["denoise", "--method", "platelet", "--shifts", "2", "--wiener", "on"]),
])
def test_same_values_as_the_command_line(tmp_path, call, args):
    _, noisy = scene(64)
    if args is None:
        expected = run_cli(tmp_path, counts_of(noisy), ["brindel", "--noise", "poisson"])
    else:
        image = noisy[:50, :37] if "platelet" in args else noisy
        expected = run_cli(tmp_path, image, args)
    np.testing.assert_array_equal(call(noisy), expected)


def test_dtypes_orders_and_layouts():
    clean, noisy = scene(48, seed=3)
    u8 = np.clip(np.round(noisy), 0, 255).astype(np.uint8)
    est = dyadfit.denoise(u8, sigma=10)
    assert est.dtype == np.uint8
    # Any order or stride, and any byte order, is the same image.
    np.testing.assert_array_equal(est, dyadfit.denoise(np.asfortranarray(u8), sigma=10))
    wide = np.zeros((48, 96), np.uint8)
    wide[:, ::2] = u8
    np.testing.assert_array_equal(est, dyadfit.denoise(wide[:, ::2], sigma=10))
    f = noisy.astype(">f8")
    np.testing.assert_array_equal(dyadfit.denoise(f, sigma=10), dyadfit.denoise(noisy, sigma=10))
    # The class only rounds and saturates the double estimate.
    as_double = dyadfit.denoise(u8.astype(np.float64), sigma=10)
    np.testing.assert_array_equal(est, np.clip(np.floor(as_double + 0.5), 0, 255).astype(np.uint8))
    # Rates under Poisson noise: float32 stays float32, integers give float64.
    counts = np.round(clean / 10).astype(np.uint16)
    assert dyadfit.denoise(counts, noise="poisson").dtype == np.float64
    assert dyadfit.denoise(counts.astype(np.float32), noise="poisson").dtype == np.float32
    # The colour axis anywhere; thread counts agree.
    rgb = np.stack([noisy, noisy * 0.5 + 20, 200 - noisy], axis=-1)
    last = dyadfit.denoise(rgb, channel_axis=-1)
    np.testing.assert_array_equal(np.moveaxis(dyadfit.denoise(np.moveaxis(rgb, -1, 0), channel_axis=0), 0, -1), last)
    np.testing.assert_array_equal(dyadfit.denoise(rgb, channel_axis=2, threads=1), last)
    est, info = dyadfit.denoise(noisy, return_info=True, partition=True)
    # 48 x 48 drawn at the scale that reaches 512 pixels: 11.
    assert info["padded_size"] == (64, 64) and info["partition"].shape == (528, 528, 3)
    np.testing.assert_array_equal(est, dyadfit.denoise(noisy, sigma=info["sigma"]))


def test_show_draws_the_squares():
    _, noisy = scene(32)
    squares = dyadfit.brindel(noisy)[3]
    rgb = dyadfit.show(noisy, squares, "distinct", 4)
    assert rgb.shape == (128, 128, 3)
    # The outline of the square at the origin is yellow over the grey.
    assert rgb[0, 5, 0] > rgb[0, 5, 2] and rgb[5, 0, 1] > rgb[5, 0, 2]


@pytest.mark.parametrize("call, kind, message", [
    (lambda: dyadfit.denoise(np.ones((8, 8)), method="spline"), ValueError,
     "Option 'Method' must be 'constant', 'wedgelet' or 'platelet'."),
    (lambda: dyadfit.denoise(np.ones((8, 8)), sigma=[1, 2, 3]), ValueError,
     "Option 'Sigma' must hold one number, or one per channel (1)."),
    (lambda: dyadfit.denoise(np.full((8, 8), np.nan)), ValueError, "The image must not hold NaN or Inf."),
    (lambda: dyadfit.denoise(np.ones((8, 8), complex)), TypeError,
     "The image must be a real numeric or logical M x N or M x N x C array."),
    (lambda: dyadfit.tessik(np.ones((8, 16)), 1.0), ValueError, "Images must be square."),
    (lambda: dyadfit.tessik(np.ones((8, 8))), ValueError, "At this point the penalty must be input."),
    (lambda: dyadfit.brindel(np.ones((8, 8), complex)), TypeError, "Input image must be a real numeric matrix."),
    (lambda: dyadfit.brindel(np.ones((8, 8)), None, "gauss"), ValueError, None),
    (lambda: dyadfit.show(np.ones((4, 4)), np.ones((2, 2))), ValueError, "squares must be a real matrix of 3 columns."),
    (lambda: dyadfit.denoise(np.ones((8, 8)), threads=0), ValueError, "threads must be an integer from 1 to 256"),
])
def test_errors_carry_the_core_message(call, kind, message):
    with pytest.raises(kind) as caught:
        call()
    if message is not None:
        assert str(caught.value) == message


def test_ctrl_c_stops_a_long_call():
    script = textwrap.dedent("""
        import os, signal, threading, numpy as np, dyadfit
        img = np.random.default_rng(0).normal(0, 1, (1024, 1024))
        threading.Timer(1.0, os.kill, (os.getpid(), signal.SIGINT)).start()
        try:
            dyadfit.denoise(img, shifts=256, threads=1)
            print("finished")
        except KeyboardInterrupt:
            print("interrupted")
        # The next call runs to its end.
        print(dyadfit.brindel(np.ones((8, 8)))[0].sum())
    """)
    # Uninterrupted, the call takes minutes.
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert out.stdout.split() == ["interrupted", "64.0"], out.stderr
