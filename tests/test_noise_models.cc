// SPDX-License-Identifier: BSD-3-Clause
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "denoise/noise_models.h"
#include "test_support.h"

namespace dyadfit {
namespace {

TEST(GeneralizedAnscombe, AlgebraicInverseUndoesTheTransform) {
  const CameraNoise cam{2.5, 100.0, 4.0};
  for (double z : {95.0, 100.0, 130.0, 2000.0})
    EXPECT_NEAR(algebraicInverseGeneralizedAnscombe(generalizedAnscombe(z, cam), cam), z, 1e-9 * z);
}

// Rates are never negative: 0 up to the transform of no count, where the
// closed form meets it, and rising from there.
TEST(Anscombe, InverseIsZeroBelowNoCountAndContinuous) {
  const double none = anscombe(0.0);
  EXPECT_EQ(inverseAnscombe(1.1), 0.0);
  EXPECT_EQ(inverseAnscombe(std::nextafter(none, 0.0)), 0.0);
  EXPECT_NEAR(inverseAnscombe(none), 0.0, 1e-12);
  EXPECT_GT(inverseAnscombe(1.3), 0.0);
}

// The expectation against simulated cameras, and the inverse of the
// expectation back at lambda, both in the table and above it.
TEST(GeneralizedAnscombe, ExactInverseIsUnbiased) {
  std::mt19937_64 rng(7);
  for (const CameraNoise cam : {CameraNoise{2.0, 100.0, 4.0}, CameraNoise{1.0, -3.0, 0.0}, CameraNoise{0.5, 0.0, 6.0}}) {
    std::normal_distribution<double> read(0.0, cam.readNoise > 0 ? cam.readNoise : 1.0);
    for (double lambda : {0.0, 0.4, 3.0, 30.0}) {
      std::poisson_distribution<int> photons(lambda > 0 ? lambda : 1.0);
      const int samples = 400000;
      double sum = 0, sum2 = 0;
      for (int k = 0; k < samples; ++k) {
        const double z = cam.gain * (lambda > 0 ? photons(rng) : 0) + cam.offset +
                         (cam.readNoise > 0 ? read(rng) : 0.0);
        const double f = generalizedAnscombe(z, cam);
        sum += f;
        sum2 += f * f;
      }
      const double mean = sum / samples, sd = std::sqrt(sum2 / samples - mean * mean);
      const double expected = expectedGeneralizedAnscombe(lambda, cam);
      EXPECT_NEAR(expected, mean, 4.5 * sd / std::sqrt(double(samples)) + 1e-12) << lambda;
    }
    for (double lambda : {0.05, 0.7, 5.0, 40.0, 250.0, 900.0, 20000.0}) {
      double v = expectedGeneralizedAnscombe(lambda, cam);
      inverseGeneralizedAnscombe(&v, 1, cam);
      EXPECT_NEAR((v - cam.offset) / cam.gain, lambda, 1e-7 * (1 + lambda)) << lambda;
    }
    // Below the expectation at lambda = 0: no light, the offset.
    double v[2] = {expectedGeneralizedAnscombe(0.0, cam) - 0.01, -1.0};
    inverseGeneralizedAnscombe(v, 2, cam);
    EXPECT_EQ(v[0], cam.offset);
    EXPECT_EQ(v[1], cam.offset);
  }
  // Without read noise the transform at lambda = 0 is 2 sqrt(3/8), always.
  EXPECT_NEAR(expectedGeneralizedAnscombe(0.0, CameraNoise{3.0, 1.0, 0.0}), 2 * std::sqrt(0.375), 1e-14);
  double bad = 1.0;
  test::expectError([&] { inverseGeneralizedAnscombe(&bad, 1, CameraNoise{0.0, 0.0, 1.0}); },
                    "The camera's gain must be positive and finite, its offset finite and its read noise finite and "
                    ">= 0.");
}

// A piecewise-smooth scene through a camera of gain 3, offset 50, read noise 5.
std::vector<double> cameraImage(std::size_t rows, std::size_t cols, double peak, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> read(0.0, 5.0);
  std::vector<double> z(rows * cols);
  for (std::size_t j = 0; j < cols; ++j)
    for (std::size_t i = 0; i < rows; ++i) {
      const double di = double(i) - rows / 2.0, dj = double(j) - cols / 3.0;
      double lambda = peak * double(j) / double(cols) * (j < cols / 8 ? 0.0 : 1.0);
      if (di * di + dj * dj < rows * rows / 16.0) lambda = 0.6 * peak;
      std::poisson_distribution<int> photons(lambda > 0 ? lambda : 1.0);
      z[i + rows * j] = 3.0 * (lambda > 0 ? photons(rng) : 0) + 50.0 + read(rng);
    }
  return z;
}

TEST(CameraNoiseEstimate, FindsTheCamera) {
  const std::vector<double> z = cameraImage(256, 256, 40.0, 3);
  const CameraNoise est = estimateCameraNoise(z.data(), 256, 256, CameraNoise{});
  EXPECT_NEAR(est.gain, 3.0, 0.25);
  EXPECT_NEAR(est.offset, 50.0, 1.0);  // the dark strip holds no light
  EXPECT_NEAR(est.readNoise, 5.0, 1.0);
  // Given parameters are kept, the rest follow from the fitted relation.
  const CameraNoise partial = estimateCameraNoise(z.data(), 256, 256, CameraNoise{3.0, 50.0, NAN});
  EXPECT_EQ(partial.gain, 3.0);
  EXPECT_EQ(partial.offset, 50.0);
  EXPECT_NEAR(partial.readNoise, 5.0, 0.5);
  // Two channels, one after the other, give the same camera as one.
  std::vector<double> two = z;
  const std::vector<double> other = cameraImage(256, 256, 40.0, 4);
  two.insert(two.end(), other.begin(), other.end());
  const CameraNoise both = estimateCameraNoise(two.data(), 256, 256, 2, CameraNoise{});
  EXPECT_NEAR(both.gain, 3.0, 0.2);
}

TEST(CameraNoiseEstimate, DegenerateImages) {
  std::vector<double> small(12 * 40, 100.0);
  test::expectError([&] { estimateCameraNoise(small.data(), 12, 40, CameraNoise{}); },
                    "The image is too small to estimate the camera's noise: give 'Gain', 'Offset' and 'ReadNoise'.");
  // One level, pure read noise: no gain to fit, but with the gain given the
  // rest follows.
  std::mt19937_64 rng(5);
  std::normal_distribution<double> read(0.0, 4.0);
  std::vector<double> flat(128 * 128);
  for (double& v : flat) v = 100.0 + read(rng);
  test::expectError([&] { estimateCameraNoise(flat.data(), 128, 128, CameraNoise{}); },
                    "The camera's gain cannot be estimated: the image's levels vary too little. Give 'Gain'.");
  const CameraNoise est = estimateCameraNoise(flat.data(), 128, 128, CameraNoise{2.0, 100.0, NAN});
  EXPECT_NEAR(est.readNoise, 4.0, 0.2);
}

}  // namespace
}  // namespace dyadfit
