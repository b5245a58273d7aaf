// The Gaussian noise level of an image, estimated from the image alone.
#pragma once

#include <cmath>
#include <cstddef>

namespace dyadfit {

// Robust Gaussian noise level of a rows x cols column-major image: the median
// absolute finest diagonal wavelet coefficient divided by 0.6745, over the
// quietest positions. `lo` and `hi` are the limits of the storage class
// (-Inf and Inf for floating point): values there were clipped.
double estimateNoiseSigma(const double* image, std::size_t rows, std::size_t cols, double lo = -INFINITY,
                          double hi = INFINITY);

// Whole-sample mirror of index p into [0, n): ... 1 0 | 0 1 ... n-1 | n-1 ...,
// the padding of images to dyadic sides.
std::size_t mirrorIndexOf(std::size_t p, std::size_t n);

}  // namespace dyadfit
