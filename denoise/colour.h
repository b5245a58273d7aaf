// SPDX-License-Identifier: BSD-3-Clause
// Colour images in an orthonormal opponent basis: luminance and two colour
// differences. Being orthonormal, the basis keeps white noise white and of
// the same level, so each opponent channel can be denoised on its own.
#pragma once

#include <array>
#include <cstddef>

namespace dyadfit {

// Rows: luminance (R+G+B)/sqrt(3), red-blue (R-B)/sqrt(2), and
// green-magenta (R-2G+B)/sqrt(6).
using ColourBasis = std::array<std::array<double, 3>, 3>;
const ColourBasis& opponentBasis();

// Three planes of n values each (column-major images, one after another)
// into the opponent planes, and back. `in` and `out` must not overlap.
void toOpponent(const double* rgb, std::size_t n, double* opponent);
void fromOpponent(const double* opponent, std::size_t n, double* rgb);

// The noise level of each opponent channel when the red, green and blue
// channels carry independent noise of the levels given.
std::array<double, 3> opponentNoise(const std::array<double, 3>& rgbSigma);

}  // namespace dyadfit
