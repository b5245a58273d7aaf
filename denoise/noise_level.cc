#include "denoise/noise_level.h"

#include <algorithm>
#include <array>
#include <vector>

#include "dyadic/parallel.h"

namespace dyadfit {

std::size_t mirrorIndexOf(std::size_t p, std::size_t n) {
  const std::size_t m = p % (2 * n);
  return m < n ? m : 2 * n - 1 - m;
}

double estimateNoiseSigma(const double* image, std::size_t rows, std::size_t cols, double lo, double hi) {
  (void)lo;
  (void)hi;
  if (rows < 2 || cols < 2) return 0.0;
  // Daubechies' four-tap filters. Under white noise every coefficient of an
  // orthogonal wavelet transform is independent of every other, so choosing
  // which diagonal coefficients to use by the horizontal and vertical bands
  // around them leaves the noise in them untouched, while it keeps out the
  // edges and textures that would inflate the estimate.
  const double r3 = std::sqrt(3.0), d = 4.0 * std::sqrt(2.0);
  const std::array<double, 4> h = {(1 + r3) / d, (3 + r3) / d, (3 - r3) / d, (1 - r3) / d};
  const std::array<double, 4> g = {h[3], -h[2], h[1], -h[0]};
  // Only positions whose filters lie inside the image: a mirrored border
  // repeats pixels, which cancels part of the noise there and would draw the
  // choice of quiet positions to the border. Tiny images mirror.
  const std::size_t R = rows >= 4 ? (rows - 2) / 2 : rows / 2, C = cols >= 4 ? (cols - 2) / 2 : cols / 2;
  std::vector<double> diagonal(R * C), activity(R * C);
  parallelFor(C, [&](std::size_t j) {
    for (std::size_t i = 0; i < R; ++i) {
      double hh = 0, hl = 0, lh = 0;
      for (std::size_t l = 0; l < 4; ++l) {
        const std::size_t c = mirrorIndexOf(2 * j + l, cols);
        double high = 0, low = 0;
        for (std::size_t k = 0; k < 4; ++k) {
          const double x = image[mirrorIndexOf(2 * i + k, rows) + rows * c];
          high += g[k] * x;
          low += h[k] * x;
        }
        hh += g[l] * high;
        lh += h[l] * high;
        hl += g[l] * low;
      }
      diagonal[i + R * j] = std::fabs(hh);
      activity[i + R * j] = std::fabs(lh) + std::fabs(hl);
    }
  });
  // Activity summed over each coefficient's 3 x 3 neighbourhood.
  std::vector<double> local(R * C);
  parallelFor(C, [&](std::size_t j) {
    for (std::size_t i = 0; i < R; ++i) {
      double s = 0;
      for (std::size_t v = j > 0 ? j - 1 : 0; v <= std::min(j + 1, C - 1); ++v)
        for (std::size_t u = i > 0 ? i - 1 : 0; u <= std::min(i + 1, R - 1); ++u) s += activity[u + R * v];
      local[i + R * j] = s;
    }
  });
  // The quietest quarter of the positions.
  std::vector<double> sorted = local;
  auto q = sorted.begin() + static_cast<std::ptrdiff_t>((sorted.size() - 1) / 4);
  std::nth_element(sorted.begin(), q, sorted.end());
  const double threshold = *q;
  std::vector<double> chosen;
  chosen.reserve(sorted.size() / 4 + 1);
  for (std::size_t k = 0; k < local.size(); ++k)
    if (local[k] <= threshold) chosen.push_back(diagonal[k]);
  auto mid = chosen.begin() + static_cast<std::ptrdiff_t>(chosen.size() / 2);
  std::nth_element(chosen.begin(), mid, chosen.end());
  double median = *mid;
  if (chosen.size() % 2 == 0) median = (median + *std::max_element(chosen.begin(), mid)) / 2;
  return median / 0.6745;
}

}  // namespace dyadfit
