// SPDX-License-Identifier: BSD-3-Clause
// The noise level estimate on images clipped to their class's range: the
// spread of the noise as the image holds it, not the flat saturated parts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "denoise/noise_level.h"

namespace dyadfit {
namespace {

constexpr std::size_t kSide = 256;

// Piecewise smooth in 0..255 (column-major): a ramp, a white disc and a
// black bar, where noise is cut off at the limits: a third of the image.
std::vector<double> cleanImage() {
  std::vector<double> img(kSide * kSide);
  for (std::size_t j = 0; j < kSide; ++j)
    for (std::size_t i = 0; i < kSide; ++i) {
      const double di = double(i) - 90, dj = double(j) - 100;
      double v = 40 + 0.6 * double(j);
      if (di * di + dj * dj < 70.0 * 70.0) v = 255;
      if (j >= 190 && j < 240) v = 0;
      img[i + kSide * j] = v;
    }
  return img;
}

std::vector<double> addNoise(const std::vector<double>& clean, double sigma, bool clip) {
  std::mt19937 rng(7);
  std::normal_distribution<double> noise(0.0, sigma);
  std::vector<double> y(clean.size());
  for (std::size_t k = 0; k < y.size(); ++k) {
    y[k] = clean[k] + noise(rng);
    if (clip) y[k] = std::clamp(std::round(y[k]), 0.0, 255.0);
  }
  return y;
}

double spread(const std::vector<double>& noisy, const std::vector<double>& clean) {
  double s1 = 0, s2 = 0;
  for (std::size_t k = 0; k < noisy.size(); ++k) s1 += noisy[k] - clean[k], s2 += (noisy[k] - clean[k]) * (noisy[k] - clean[k]);
  const double n = double(noisy.size());
  return std::sqrt((s2 - s1 * s1 / n) / (n - 1));
}

TEST(NoiseLevel, ClippedImageGivesTheSpreadItHolds) {
  const std::vector<double> clean = cleanImage();
  for (double sigma : {15.0, 30.0}) {
    const std::vector<double> y = addNoise(clean, sigma, true);
    const double truth = spread(y, clean);
    const double est = estimateNoiseSigma(y.data(), kSide, kSide, 0, 255);
    EXPECT_NEAR(est / truth, 1, 0.10) << "sigma " << sigma << ": " << est << " for " << truth;
    // Stored as doubles the limits are unknown; the extremes held by over
    // 1% of the pixels stand for them.
    EXPECT_EQ(estimateNoiseSigma(y.data(), kSide, kSide, -INFINITY, INFINITY), est);
  }
}

TEST(NoiseLevel, UnclippedImageKeepsItsLevel) {
  const std::vector<double> clean = cleanImage();
  for (double sigma : {10.0, 25.0}) {
    const std::vector<double> y = addNoise(clean, sigma, false);
    const double est = estimateNoiseSigma(y.data(), kSide, kSide);
    EXPECT_NEAR(est / spread(y, clean), 1, 0.05) << "sigma " << sigma;
    // Limits the image never reaches change nothing.
    const auto [lo, hi] = std::minmax_element(y.begin(), y.end());
    EXPECT_EQ(estimateNoiseSigma(y.data(), kSide, kSide, *lo - 1, *hi + 1), est);
  }
}

TEST(NoiseLevel, MostlySaturatedImageCountsEveryPosition) {
  // White but for a 24 x 24 grey patch: too few positions clear of
  // saturation, so all of them count, as with no limits, uncorrected.
  std::vector<double> clean(kSide * kSide, 255);
  for (std::size_t j = 100; j < 124; ++j)
    for (std::size_t i = 100; i < 124; ++i) clean[i + kSide * j] = 128;
  const std::vector<double> y = addNoise(clean, 20, true);
  const double est = estimateNoiseSigma(y.data(), kSide, kSide, 0, 255);
  EXPECT_EQ(est, estimateNoiseSigma(y.data(), kSide, kSide, -1, 256));
}

}  // namespace
}  // namespace dyadfit
