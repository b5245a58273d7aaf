// SPDX-License-Identifier: BSD-3-Clause
// Variance-stabilising transforms of the noise models and their inverses.
#pragma once

namespace dyadfit {

// Anscombe's transform: Poisson counts to values of about unit variance.
double anscombe(double x);

// Closed-form approximation of the exact unbiased inverse of Anscombe's
// transform (error below 1e-3 for D >= 1); 0 below 2 sqrt(3/8), the
// transform of no count, where the closed form reaches 0.
double inverseAnscombe(double d);

}  // namespace dyadfit

#include <cstddef>
#include <limits>

namespace dyadfit {

// A camera's noise: z = gain * Poisson(lambda) + offset + N(0, readNoise^2),
// all in the data's units. NaN marks a parameter not known.
struct CameraNoise {
  double gain = std::numeric_limits<double>::quiet_NaN();
  double offset = std::numeric_limits<double>::quiet_NaN();
  double readNoise = std::numeric_limits<double>::quiet_NaN();
};

// The generalized Anscombe transform: camera data to values of about unit
// variance, (2/gain) sqrt(gain z + 3/8 gain^2 + readNoise^2 - gain offset),
// taken as 0 where the root's argument is negative.
double generalizedAnscombe(double z, const CameraNoise& camera);

// Its algebraic inverse, the value whose transform is d.
double algebraicInverseGeneralizedAnscombe(double d, const CameraNoise& camera);

// Its exact unbiased inverse, in place over n values: each transformed value
// D becomes gain * lambda + offset for the lambda >= 0 whose expected
// transform is D. In the units y = (z - offset) / gain, y = Poisson(lambda) +
// N(0, s^2) with s = readNoise / gain, and the transform is 2 sqrt(y + 3/8 +
// s^2), 0 where that root's argument is negative. Its expectation
// E(lambda) = sum_k Poisson(k; lambda) E[2 sqrt(max(0, k + 3/8 + s^2 + s X))]
// (X standard normal, the Gaussian integral by Gauss-Legendre quadrature in
// the square root's variable, where the clipped part ends smoothly) is
// tabulated once per call for lambda + 3/8 + s^2 up to 256 and inverted by
// monotone cubic Hermite interpolation with the exact slopes. Above the
// table, the asymptotic inverse
//   lambda = D^2/4 - 1/8 - s^2 + (2 s^2 + 1/4) / D^4 + (25 s^2 + 49/16) / D^6,
// whose next term is O(1/D^8); below E(0), lambda = 0. The inverse is within
// 1e-7 of the exact one in lambda over the whole range. Throws Error for a
// gain that is not positive and finite, an offset that is not finite or a
// read noise that is not finite and >= 0.
void inverseGeneralizedAnscombe(double* values, std::size_t n, const CameraNoise& camera);

// The expectation E(lambda) above, for one lambda >= 0 (summed directly).
double expectedGeneralizedAnscombe(double lambda, const CameraNoise& camera);

// The camera's parameters estimated from a rows x cols column-major image,
// or from `channels` such planes one after the other; the parameters that
// `known` gives (not NaN) are kept as they are.
//
// The noise's variance is gain * E[z] + beta, beta = readNoise^2 - gain *
// offset. Over every 2 x 2 window, the diagonal detail (z11 - z21 - z12 +
// z22) / 2 has that variance and no part of a linear signal; the window's
// level is the mean of the 6 x 6 pixels around it. Windows whose level
// changes more than the noise allows (the two halves of the 6 x 6 square,
// either way, at the 90% point of chi-square) are left out, the rest sorted
// by level into bins of equal count, each bin's variance taken as the mean
// square of its details within three robust standard deviations (corrected
// for that cut), and gain and beta fitted to the bins by weighted least
// squares that drops bins more than four standard errors off, twice over:
// first with every window and medians, then with the smooth ones.
//
// Only gain and beta follow from the image. With neither offset nor read
// noise given, the offset is the dark level: the level of the lowest bin,
// taken to hold no light; the read noise is sqrt(beta + gain * offset), and
// where that is negative the read noise is 0 and the offset -beta / gain.
// With one of them given, the other follows from beta (a read noise below 0
// is taken as 0). Throws Error when the image is too small (under 16 x 16),
// when its levels vary too little to fit a gain, or when it has too few
// smooth windows.
CameraNoise estimateCameraNoise(const double* image, std::size_t rows, std::size_t cols, std::size_t channels,
                                const CameraNoise& known);
CameraNoise estimateCameraNoise(const double* image, std::size_t rows, std::size_t cols, const CameraNoise& known);

}  // namespace dyadfit
