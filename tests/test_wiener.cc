// SPDX-License-Identifier: BSD-3-Clause
// The Wiener stage against worked values and a literal block-by-block
// reference, on any number of threads.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "denoise/wiener.h"
#include "dyadic/parallel.h"

namespace dyadfit {
namespace {

// Whole-sample mirror of any integer index into [0, n), one reflection at a time.
long mirrorRef(long p, long n) {
  while (p < 0 || p >= n) p = p < 0 ? -1 - p : 2 * n - 1 - p;
  return p;
}

// The stage as described: every block of the padded image on the step grid,
// its 2-D DCT by definition, weighted averages over the whole padded image.
std::vector<double> wienerReference(const std::vector<double>& z, const std::vector<double>& pilot, long rows,
                                    long cols, long B, long step, double* sure) {
  const long Hp = rows + 2 * B, Wp = cols + 2 * B;
  std::vector<double> table(B * B);
  for (long u = 0; u < B; ++u)
    for (long x = 0; x < B; ++x)
      table[u * B + x] =
          std::sqrt((u == 0 ? 1.0 : 2.0) / double(B)) * std::cos(std::numbers::pi * double((2 * x + 1) * u) / double(2 * B));
  auto basis = [&](long u, long x) { return table[u * B + x]; };
  std::vector<double> num(Hp * Wp, 0.0), den(Hp * Wp, 0.0), dnum(Hp * Wp, 0.0);
  std::vector<double> cz(B * B), cp(B * B), W(B * B);
  for (long i = 0; i + B <= Hp; i += step)
    for (long j = 0; j + B <= Wp; j += step) {
      auto at = [&](const std::vector<double>& img, long x, long y) {
        return img[mirrorRef(i + x - B, rows) + rows * mirrorRef(j + y - B, cols)];
      };
      double s1 = 0, s2 = 0;
      for (long u = 0; u < B; ++u)
        for (long v = 0; v < B; ++v) {
          double a = 0, b = 0;
          for (long x = 0; x < B; ++x)
            for (long y = 0; y < B; ++y) {
              a += basis(u, x) * basis(v, y) * at(z, x, y);
              b += basis(u, x) * basis(v, y) * at(pilot, x, y);
            }
          W[u * B + v] = b * b / (b * b + 1);
          cz[u * B + v] = a * W[u * B + v];
          s1 += W[u * B + v], s2 += W[u * B + v] * W[u * B + v];
        }
      const double w = 1 / s2;
      for (long x = 0; x < B; ++x)
        for (long y = 0; y < B; ++y) {
          double e = 0;
          for (long u = 0; u < B; ++u)
            for (long v = 0; v < B; ++v) e += basis(u, x) * basis(v, y) * cz[u * B + v];
          const long p = (i + x) + Hp * (j + y);
          num[p] += w * e, den[p] += w, dnum[p] += w * s1 / double(B * B);
        }
    }
  std::vector<double> est(rows * cols);
  double res = 0, div = 0;
  for (long r = 0; r < rows; ++r)
    for (long c = 0; c < cols; ++c) {
      const long p = (r + B) + Hp * (c + B);
      est[r + rows * c] = num[p] / den[p];
      div += dnum[p] / den[p];
      res += (z[r + rows * c] - est[r + rows * c]) * (z[r + rows * c] - est[r + rows * c]);
    }
  *sure = (res - double(rows * cols) + 2 * div) / double(rows * cols);
  return est;
}

// A smooth scene plus unit noise, and a pilot near the scene.
void makeCase(std::size_t rows, std::size_t cols, unsigned seed, std::vector<double>& z, std::vector<double>& pilot) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  z.resize(rows * cols), pilot.resize(rows * cols);
  for (std::size_t c = 0; c < cols; ++c)
    for (std::size_t r = 0; r < rows; ++r) {
      const double clean = 4 * std::sin(0.3 * double(r)) + (c > cols / 2 ? 6.0 : 0.0);
      z[r + rows * c] = clean + noise(rng);
      pilot[r + rows * c] = clean + 0.3 * noise(rng);
    }
}

struct Setting {
  int B, step;
};
constexpr Setting kSettings[] = {{8, 1}, {16, 2}};

TEST(Wiener, ConstantImageGetsTheDcGain) {
  // Only the DC passes, with gain g = (B c)^2 / ((B c)^2 + 1) in every
  // block: the estimate is g c, |z - E|^2 = n c^2 (1 - g)^2, div = n g / B^2.
  const std::size_t rows = 19, cols = 23, n = rows * cols;
  for (double c : {0.05, 3.0, 1e7})
    for (const Setting& st : kSettings) {
      const std::vector<double> z(n, c);
      double sure = 0;
      const std::vector<double> est = wienerFilter(z.data(), z.data(), rows, cols, st.B, st.step, &sure);
      const double bc = st.B * c, g = bc * bc / (bc * bc + 1);
      for (std::size_t k = 0; k < n; ++k) ASSERT_NEAR(est[k], g * c, 1e-12 * c) << "B " << st.B << " c " << c;
      EXPECT_NEAR(sure, c * c * (1 - g) * (1 - g) - 1 + 2 * g / (st.B * st.B), 1e-12 * std::max(1.0, c * c * (1 - g)));
    }
  // A pilot of nothing passes nothing, without dividing by zero.
  const std::vector<double> z(n, 2.0), zero(n, 0.0);
  WienerResult r = wienerStage(z.data(), zero.data(), rows, cols);
  for (double e : r.estimate) ASSERT_EQ(e, 0.0);
  EXPECT_DOUBLE_EQ(r.sure[0], 3.0);
  EXPECT_DOUBLE_EQ(r.sure[1], 3.0);
  EXPECT_EQ(r.blockSide, 8);
}

TEST(Wiener, AgreesWithTheLiteralReference) {
  // Odd sides, and sides below the block side, mirrored more than once.
  const std::size_t sizes[][2] = {{21, 13}, {5, 6}, {1, 1}, {3, 40}};
  for (const auto& size : sizes) {
    const std::size_t rows = size[0], cols = size[1];
    std::vector<double> z, pilot;
    makeCase(rows, cols, unsigned(rows * 100 + cols), z, pilot);
    double sures[2];
    // Odd sides and steps that do not divide them take the general path.
    for (int s = 0; s < 3; ++s) {
      const Setting st = s < 2 ? kSettings[s] : Setting{5, 2};
      double sure = 0, sureRef = 0;
      const std::vector<double> est = wienerFilter(z.data(), pilot.data(), rows, cols, st.B, st.step, &sure);
      const std::vector<double> ref = wienerReference(z, pilot, long(rows), long(cols), st.B, st.step, &sureRef);
      ASSERT_EQ(est.size(), rows * cols);
      for (std::size_t k = 0; k < est.size(); ++k)
        ASSERT_NEAR(est[k], ref[k], 1e-10 * std::max(1.0, std::abs(ref[k]))) << rows << "x" << cols << " B " << st.B;
      EXPECT_NEAR(sure, sureRef, 1e-10 * std::max(1.0, std::abs(sureRef))) << rows << "x" << cols << " B " << st.B;
      if (s < 2) sures[s] = sure;
    }
    const WienerResult r = wienerStage(z.data(), pilot.data(), rows, cols);
    EXPECT_EQ(r.sure[0], sures[0]);
    EXPECT_EQ(r.sure[1], sures[1]);
    EXPECT_EQ(r.blockSide, sures[1] < sures[0] ? 16 : 8);
  }
}

TEST(Wiener, SameBitsOnAnyThreadCount) {
  std::vector<double> z, pilot;
  makeCase(131, 97, 5, z, pilot);
  setThreadCount(1);
  const WienerResult one = wienerStage(z.data(), pilot.data(), 131, 97);
  setThreadCount(2);
  const WienerResult two = wienerStage(z.data(), pilot.data(), 131, 97);
  setThreadCount(0);
  EXPECT_EQ(one.estimate, two.estimate);
  EXPECT_EQ(one.sure[0], two.sure[0]);
  EXPECT_EQ(one.sure[1], two.sure[1]);
}

TEST(Wiener, RejectsBadSettings) {
  const double v = 1;
  for (const Setting st : {Setting{0, 1}, Setting{65, 1}, Setting{8, 0}, Setting{8, 9}}) {
    try {
      wienerFilter(&v, &v, 1, 1, st.B, st.step, nullptr);
      ADD_FAILURE() << "no error for B " << st.B << " step " << st.step;
    } catch (const Error& e) {
      EXPECT_STREQ(e.what(), "The Wiener stage needs a block side from 1 to 64 and a step from 1 to that side.");
    }
  }
  try {
    wienerStage(&v, &v, 0, 4);
    ADD_FAILURE() << "no error for an empty image";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "The Wiener stage needs a nonempty image.");
  }
}

}  // namespace
}  // namespace dyadfit
