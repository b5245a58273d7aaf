// SPDX-License-Identifier: BSD-3-Clause
#include "denoise/noise_level.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <vector>

#include "dyadic/parallel.h"

namespace dyadfit {

std::size_t mirrorIndexOf(std::size_t p, std::size_t n) {
  const std::size_t m = p % (2 * n);
  return m < n ? m : 2 * n - 1 - m;
}

namespace {

// Fewer positions clear of saturated pixels than this (a 32 x 32 patch) and
// the saturated ones count again: a median of so few says little.
constexpr std::size_t kMinUnsaturated = 256;

// The values at which the image counts as saturated, or -Inf / Inf where it
// is not: a finite class limit that some pixel reaches, else, for an
// infinite one, the image's own extreme when more than 1% of the pixels hold
// it (a noisy value repeats that often only where it was cut off).
struct Saturation {
  double lo, hi;
};

Saturation saturationOf(const double* image, std::size_t n, double lo, double hi) {
  double least = image[0], most = image[0];
  std::size_t nLeast = 0, nMost = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const double v = image[k];
    if (v < least) least = v, nLeast = 0;
    if (v > most) most = v, nMost = 0;
    nLeast += v == least;
    nMost += v == most;
  }
  Saturation s{-INFINITY, INFINITY};
  if (std::isfinite(lo) ? least <= lo : nLeast * 100 > n) s.lo = std::isfinite(lo) ? lo : least;
  if (std::isfinite(hi) ? most >= hi : nMost * 100 > n) s.hi = std::isfinite(hi) ? hi : most;
  return s;
}

// Noise of level 1 cut off at one side, as seen from a local mean at
// distance u (in noise levels) from the limit: the shift of the noise's mean
// (shift) and the loss of its mean square (loss), on a grid of step 1/64 up
// to u = 8, beyond which nothing is lost. The local mean is itself pulled
// from the limit by the cut, so each u is first taken back to the distance t
// of the clean value: u = t + psi(t), psi(t) = phi(t) - t (1 - Phi(t)), the
// mean of the part cut off; a local mean nearer than psi(0) means a clean
// value at the limit.
struct ClipTables {
  static constexpr int kSteps = 64, kSize = 8 * kSteps + 1;
  std::array<double, kSize> shift{}, loss{};
  ClipTables() {
    const auto Q = [](double t) { return 0.5 * std::erfc(t / std::sqrt(2.0)); };
    const auto phi = [](double t) { return std::exp(-t * t / 2) / std::sqrt(2 * std::numbers::pi); };
    const auto psi = [&](double t) { return phi(t) - t * Q(t); };
    for (int k = 0; k < kSize; ++k) {
      const double u = double(k) / kSteps;
      double a = 0, b = u;
      for (int it = 0; it < 60; ++it) {
        const double m = (a + b) / 2;
        (m + psi(m) < u ? a : b) = m;
      }
      const double t = (a + b) / 2;
      shift[k] = psi(t);
      // 1 - E[min(Z, t)^2] for a standard normal Z.
      loss[k] = Q(t) + t * phi(t) - t * t * Q(t);
    }
  }
  // Adds the shift and the loss at distance u to the sums.
  void add(double u, double& shiftSum, double& lossSum) const {
    if (!(u < 8)) return;
    const double x = std::max(u, 0.0) * kSteps;
    const std::size_t k = static_cast<std::size_t>(x);
    const double f = x - double(k);
    shiftSum += shift[k] + f * (shift[k + 1] - shift[k]);
    lossSum += loss[k] + f * (loss[k + 1] - loss[k]);
  }
};

// The spread of noise of level sigma once cut off at the saturation values:
// each pixel's clean value is taken from the mean of its 3 x 3 neighbours
// (fewer at the border), and the loss is summed over the image. Cuts at
// both ends are treated as apart, which holds while they are more than a few
// noise levels from each other.
double clippedSpread(const double* image, std::size_t rows, std::size_t cols, Saturation sat, double sigma) {
  static const ClipTables tables;
  std::vector<double> shift(cols), square(cols);
  const double reach = 8 * sigma, inverse = 1 / sigma;  // beyond reach the tables hold nothing
  parallelFor(cols, [&](std::size_t j) {
    const std::size_t j0 = j > 0 ? j - 1 : 0, j1 = std::min(j + 1, cols - 1);
    const auto row = [&](std::size_t i) {
      double t = 0;
      for (std::size_t v = j0; v <= j1; ++v) t += image[i + rows * v];
      return t;
    };
    const double across = double(j1 - j0 + 1);
    double s1 = 0, s2 = 0, up = 0;  // shifts below the low limit, above the high one
    double above = 0, here = row(0), below = rows > 1 ? row(1) : 0;
    for (std::size_t i = 0; i < rows; ++i) {
      const double m = (above + here + below) / (across * double(1 + (i > 0) + (i + 1 < rows)));
      if (m - sat.lo < reach) tables.add((m - sat.lo) * inverse, s1, s2);
      if (sat.hi - m < reach) tables.add((sat.hi - m) * inverse, up, s2);
      above = here;
      here = below;
      below = i + 2 < rows ? row(i + 2) : 0;
    }
    shift[j] = s1 - up;
    square[j] = s2;
  });
  double s1 = 0, s2 = 0;
  for (std::size_t j = 0; j < cols; ++j) s1 += shift[j], s2 += square[j];
  const double n = double(rows) * double(cols), mean = s1 / n;
  return sigma * std::sqrt(std::max(0.0, 1 - s2 / n - mean * mean));
}

}  // namespace

double estimateNoiseSigma(const double* image, std::size_t rows, std::size_t cols, double lo, double hi) {
  if (rows < 2 || cols < 2) return 0.0;
  // Daubechies' four-tap filters. Under white noise every coefficient of an
  // orthogonal wavelet transform is independent of every other, so choosing
  // which diagonal coefficients to use by the horizontal and vertical bands
  // around them leaves the noise in them untouched, while it keeps out the
  // edges and textures that would inflate the estimate.
  const double r3 = std::sqrt(3.0), d = 4.0 * std::sqrt(2.0);
  const std::array<double, 4> h = {(1 + r3) / d, (3 + r3) / d, (3 - r3) / d, (1 - r3) / d};
  const std::array<double, 4> g = {h[3], -h[2], h[1], -h[0]};
  // Saturated pixels carry no noise (or only its cut-off part), and being
  // flat they would pass for the quietest positions and pull the median
  // down: positions whose filters reach one stay out.
  const Saturation sat = saturationOf(image, rows * cols, lo, hi);
  // Only positions whose filters lie inside the image: a mirrored border
  // repeats pixels, which cancels part of the noise there and would draw the
  // choice of quiet positions to the border. Tiny images mirror.
  const std::size_t R = rows >= 4 ? (rows - 2) / 2 : rows / 2, C = cols >= 4 ? (cols - 2) / 2 : cols / 2;
  std::vector<double> diagonal(R * C), activity(R * C);
  std::vector<char> saturated(R * C);
  parallelFor(C, [&](std::size_t j) {
    for (std::size_t i = 0; i < R; ++i) {
      double hh = 0, hl = 0, lh = 0;
      bool touched = false;
      for (std::size_t l = 0; l < 4; ++l) {
        const std::size_t c = mirrorIndexOf(2 * j + l, cols);
        double high = 0, low = 0;
        for (std::size_t k = 0; k < 4; ++k) {
          const double x = image[mirrorIndexOf(2 * i + k, rows) + rows * c];
          touched = touched || x <= sat.lo || x >= sat.hi;
          high += g[k] * x;
          low += h[k] * x;
        }
        hh += g[l] * high;
        lh += h[l] * high;
        hl += g[l] * low;
      }
      diagonal[i + R * j] = std::fabs(hh);
      activity[i + R * j] = std::fabs(lh) + std::fabs(hl);
      saturated[i + R * j] = touched;
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
  const std::size_t untouched = static_cast<std::size_t>(std::count(saturated.begin(), saturated.end(), 0));
  // A mostly saturated image: every position counts, as if none were
  // saturated, and the level found is returned without correction.
  const bool clipped = untouched < R * C;
  const bool fallback = untouched < std::min(kMinUnsaturated, R * C);
  if (fallback) std::fill(saturated.begin(), saturated.end(), 0);
  // The quietest quarter of the positions that count.
  std::vector<double> sorted;
  sorted.reserve(R * C);
  for (std::size_t k = 0; k < local.size(); ++k)
    if (!saturated[k]) sorted.push_back(local[k]);
  auto q = sorted.begin() + static_cast<std::ptrdiff_t>((sorted.size() - 1) / 4);
  std::nth_element(sorted.begin(), q, sorted.end());
  const double threshold = *q;
  std::vector<double> chosen;
  chosen.reserve(sorted.size() / 4 + 1);
  for (std::size_t k = 0; k < local.size(); ++k)
    if (!saturated[k] && local[k] <= threshold) chosen.push_back(diagonal[k]);
  auto mid = chosen.begin() + static_cast<std::ptrdiff_t>(chosen.size() / 2);
  std::nth_element(chosen.begin(), mid, chosen.end());
  double median = *mid;
  if (chosen.size() % 2 == 0) median = (median + *std::max_element(chosen.begin(), mid)) / 2;
  const double sigma = median / 0.6745;
  // The positions clear of saturation give the level of the noise before the
  // cut; the image holds less where it was cut off, and the spread it holds
  // is what the pipeline's penalties should see.
  if (!clipped || fallback || !(sigma > 0)) return sigma;
  return clippedSpread(image, rows, cols, sat, sigma);
}

}  // namespace dyadfit
