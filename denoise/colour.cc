// SPDX-License-Identifier: BSD-3-Clause
#include "denoise/colour.h"

#include <cmath>

namespace dyadfit {

const ColourBasis& opponentBasis() {
  static const ColourBasis basis = [] {
    const double a = 1 / std::sqrt(3.0), b = 1 / std::sqrt(2.0), c = 1 / std::sqrt(6.0);
    return ColourBasis{{{a, a, a}, {b, 0.0, -b}, {c, -2 * c, c}}};
  }();
  return basis;
}

void toOpponent(const double* rgb, std::size_t n, double* opponent) {
  const ColourBasis& t = opponentBasis();
  for (std::size_t k = 0; k < 3; ++k)
    for (std::size_t p = 0; p < n; ++p)
      opponent[k * n + p] = t[k][0] * rgb[p] + t[k][1] * rgb[n + p] + t[k][2] * rgb[2 * n + p];
}

// The basis is orthonormal: its inverse is its transpose.
void fromOpponent(const double* opponent, std::size_t n, double* rgb) {
  const ColourBasis& t = opponentBasis();
  for (std::size_t c = 0; c < 3; ++c)
    for (std::size_t p = 0; p < n; ++p)
      rgb[c * n + p] = t[0][c] * opponent[p] + t[1][c] * opponent[n + p] + t[2][c] * opponent[2 * n + p];
}

std::array<double, 3> opponentNoise(const std::array<double, 3>& rgbSigma) {
  const ColourBasis& t = opponentBasis();
  std::array<double, 3> s{};
  for (std::size_t k = 0; k < 3; ++k) {
    double v = 0;
    for (std::size_t c = 0; c < 3; ++c) v += t[k][c] * t[k][c] * rgbSigma[c] * rgbSigma[c];
    s[k] = std::sqrt(v);
  }
  return s;
}

}  // namespace dyadfit
