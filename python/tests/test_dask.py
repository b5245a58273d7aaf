# SPDX-License-Identifier: BSD-3-Clause
import numpy as np

import dask.array as da
from distributed import Client, LocalCluster

import dyadfit
import dyadfit.dask
from test_dyadfit import scene


def psnr(estimate, clean):
    return 10 * np.log10(255.0 ** 2 / np.mean((estimate - clean) ** 2))


def test_tiles_on_threads_and_on_a_local_cluster():
    clean, noisy = scene(256, seed=5, noise=15)
    a = da.from_array(noisy, chunks=64)
    whole, info = dyadfit.denoise(noisy, shifts=2, return_info=True)
    # The settings the tiles share are the whole image's; the second stage
    # is decided on the whole of an image this small.
    shared = dyadfit.dask.global_options(a, {"shifts": 2})
    np.testing.assert_allclose(shared["penalties"], info["penalties"][0], rtol=1e-15)
    np.testing.assert_allclose(shared["sigma"], info["sigma"], rtol=0.1)
    assert shared["block_side"] == info["block_side"][0]
    assert (shared["wiener"], shared["shifts"]) == (("on", 2) if info["two_stage"][0] else ("off", 4))

    lazy = dyadfit.dask.denoise(a, shifts=2)
    assert lazy.shape == noisy.shape and lazy.chunks == a.chunks and lazy.dtype == np.float64
    threaded = lazy.compute(scheduler="threads")
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with Client(cluster):
            spread = lazy.compute()
    np.testing.assert_array_equal(spread, threaded)
    assert abs(psnr(threaded, clean) - psnr(whole, clean)) < 0.1

    # Colour with its axis first, under the tiles as whole.
    rgb = da.from_array(np.stack([noisy, 255 - noisy, noisy / 2]), chunks=(3, 128, 128))
    out = dyadfit.dask.denoise(rgb, channel_axis=0, shifts=1).compute(scheduler="threads")
    assert out.shape == rgb.shape


def test_block_side_and_lines_follow_the_whole_image():
    # A slope across the image: each 64 x 64 chunk holds a fraction of its
    # spread and alone would take larger blocks than the whole image does.
    rng = np.random.default_rng(2)
    image = np.tile(np.linspace(0, 200, 256), (128, 1)) + rng.normal(0, 10, (128, 256))
    _, info = dyadfit.denoise(image, wiener="off", shifts=1, return_info=True)
    shared = dyadfit.dask.global_options(da.from_array(image, chunks=64), {"wiener": "off"})
    chunk_side = dyadfit.denoise(image[:64, :64], wiener="off", shifts=1, return_info=True)[1]["block_side"][0]
    assert shared["block_side"] == info["block_side"][0] < chunk_side
    # 2^15 pixels, a cube: the core's pow gives K = 31, not 32.
    assert shared["lines"] == 31.0 ** 2
    # Given with the whole image's lines, the result is the default's.
    np.testing.assert_array_equal(dyadfit.denoise(image, wiener="off", shifts=1, lines=shared["lines"]),
                                  dyadfit.denoise(image, wiener="off", shifts=1))
