// SPDX-License-Identifier: BSD-3-Clause
// The Gaussian noise level of an image, estimated from the image alone.
#pragma once

#include <cmath>
#include <cstddef>

namespace dyadfit {

// Robust Gaussian noise level of a rows x cols column-major image: the median
// absolute finest diagonal wavelet coefficient divided by 0.6745, over the
// quietest quarter of the positions. `lo` and `hi` are the limits of the
// storage class (-Inf and Inf for floating point). Pixels at a finite limit,
// or at an infinite limit's side at the image's own extreme when more than 1%
// of the pixels hold it, count as saturated: positions whose filters reach
// one are left out, and the level found on the rest is reduced to the spread
// the noise keeps once cut off there (from each pixel's 3 x 3 mean), which is
// what the image holds. With fewer than 256 positions clear of saturation
// (or any saturated on a smaller image), every position counts and no
// reduction follows: the estimate of an image that ignores its limits.
double estimateNoiseSigma(const double* image, std::size_t rows, std::size_t cols, double lo = -INFINITY,
                          double hi = INFINITY);

// Whole-sample mirror of index p into [0, n): ... 1 0 | 0 1 ... n-1 | n-1 ...,
// the padding of images to dyadic sides.
std::size_t mirrorIndexOf(std::size_t p, std::size_t n);

}  // namespace dyadfit
