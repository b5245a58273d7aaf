// SPDX-License-Identifier: BSD-3-Clause
// Module brindel: the grid utilities, pruning, wedge geometry, region cost,
// search and refinement stages called directly, and the entry's checks,
// defaults and results through the standalone binding.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "constant/tessik_entry.h"
#include "dyadic/dyadic_entry.h"
#include "dyadic/entry_checks.h"
#include "dyadic/grid.h"
#include "dyadic/grid_utils.h"
#include "dyadic/prune_dyadic.h"
#include "dyadic/refine_dyadic.h"
#include "dyadic/region_cost.h"
#include "dyadic/split_search.h"
#include "dyadic/wedge_mask.h"
#include "host/standalone.h"
#include "tests/test_support.h"
#include "wedgelet/brindel_entry.h"
#include "wedgelet/wedgelet_stages.h"

namespace {

using namespace dyadfit;

constexpr double kInf = std::numeric_limits<double>::infinity();

Grid gridOf(int M, int N, const std::function<double(int, int)>& value) { return test::makeGrid(M, N, value); }

Grid randomGrid(int M, int N, unsigned seed, int hi) {
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> dist(0, hi);
  return gridOf(M, N, [&](int, int) { return static_cast<double>(dist(gen)); });
}

void expectGridEq(const Grid& a, const Grid& b, int M, int N) {
  for (int i = 0; i < M; ++i)
    for (int j = 0; j < N; ++j) EXPECT_EQ(a[i][j], b[i][j]) << "[" << i << "][" << j << "]";
}

// Mask rows as strings, outer index per string.
std::vector<std::string> maskRows(const Grid& m, int n) {
  std::vector<std::string> rows(n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) rows[i] += m[i][j] == 1.0 ? '1' : m[i][j] == 0.0 ? '0' : '?';
  return rows;
}

std::vector<std::string> maskOf(double offset, double angle, int n) {
  Grid m(n, n);
  wedgeMask(m, offset, angle, n);
  return maskRows(m, n);
}

// ---------------------------------------------------------------- grid utilities

TEST(GridUtilities, FloorModIsNonNegative) {
  const int cases[][3] = {{-1, 8, 7}, {-9, 8, 7}, {0, 8, 0}, {7, 8, 7}, {16, 8, 0}, {-8, 8, 0}, {13, 8, 5}, {8, 8, 0}};
  for (const auto& c : cases) EXPECT_EQ(floorMod(c[0], c[1]), c[2]) << c[0] << " mod " << c[1];
}

TEST(GridUtilities, CyclicShiftMovesContentByTheOffset) {
  const Grid src = gridOf(4, 4, [](int i, int j) { return 10.0 * i + j; });
  Grid dst(4, 4), back(4, 4);
  cyclicShift(src, dst, 1, 4, 4);
  EXPECT_EQ(dst[0][0], src[3][3]);
  EXPECT_EQ(dst[1][2], src[0][1]);
  cyclicShift(dst, back, -1, 4, 4);
  expectGridEq(back, src, 4, 4);

  const Grid tall = gridOf(8, 4, [](int i, int j) { return 10.0 * i + j; });
  Grid moved(8, 4), undone(8, 4);
  cyclicShift(tall, moved, 2, 8, 4);
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 4; ++j) EXPECT_EQ(moved[i][j], tall[(i + 6) % 8][(j + 2) % 4]);
  cyclicShift(moved, undone, -2, 8, 4);
  expectGridEq(undone, tall, 8, 4);
}

TEST(GridUtilities, BlockAverageAndCopy) {
  const Grid src = gridOf(4, 4, [](int i, int j) { return 0.5 * (i * 4 + j) * (j + 1); });
  Grid two(4, 4), four(4, 4), one(4, 4);
  blockAverage(2, src, two, 4, 4);
  double total = 0;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      const int a = i / 2 * 2, b = j / 2 * 2;
      EXPECT_EQ(two[i][j], (src[a][b] + src[a][b + 1] + src[a + 1][b] + src[a + 1][b + 1]) / 4);
      total += src[i][j];
    }
  blockAverage(4, src, four, 4, 4);
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) EXPECT_EQ(four[i][j], total / 16);  // halves: the sums are exact
  blockAverage(1, src, one, 4, 4);
  expectGridEq(one, src, 4, 4);
  Grid inPlace = src;
  blockAverage(2, inPlace, inPlace, 4, 4);
  expectGridEq(inPlace, two, 4, 4);

  double from[3] = {1, 2, 3}, to[3] = {9, 9, 9};
  copyDoubles(to, from, 0);
  copyDoubles(to, from, -2);
  EXPECT_EQ(to[0], 9);
  copyDoubles(to, from, 2);
  EXPECT_EQ(to[0], 1);
  EXPECT_EQ(to[1], 2);
  EXPECT_EQ(to[2], 9);
}

// ---------------------------------------------------------------- pruning

struct Pruned {
  Grid estimate, label;
  std::vector<DyadicSquare> squares;
};

Pruned prune(const Grid& data, int M, int N, double pen, std::string_view noise, unsigned seed = 1) {
  Pruned p{Grid(M, N), Grid(M, N), std::vector<DyadicSquare>(static_cast<std::size_t>(M) * N)};
  std::srand(seed);
  pruneNoiseModel(data, M, N, pen, p.estimate, p.label, p.squares, noise);
  return p;
}

void expectSquare(const DyadicSquare& s, double top, double left, double side) {
  EXPECT_EQ(s.top, top);
  EXPECT_EQ(s.left, left);
  EXPECT_EQ(s.side, side);
}

TEST(PruneNoiseModel, GaussianAgreesWithTheConstantPruning) {
  const int n = 16;
  for (double pen : {0.9, 7.5, 300.0}) {
    const Grid data = randomGrid(n, n, 4, 12);
    std::vector<double> flat(n * n), est(n * n), labels(n * n), sq(3 * n * n);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) flat[i + n * j] = data[i][j];  // [i][j] is (row i, column j) there
    std::srand(3);
    pruneConstant(flat.data(), n, n, pen, labels.data(), est.data(), sq.data());
    const Pruned p = prune(data, n, n, pen, kGaussian, 3);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) {
        const int k = i + n * j;
        EXPECT_EQ(p.estimate[i][j], est[k]);
        EXPECT_EQ(p.label[i][j], labels[k]);
        expectSquare(p.squares[i * n + j], sq[k], sq[n * n + k], sq[2 * n * n + k]);
      }
  }
}

TEST(PruneNoiseModel, PoissonTwoByTwoMergesFromFourThirdsLnFour) {
  // Merged: -4 - pen; current: 4 ln 4 - 4 - 4 pen; threshold 1.8484.
  const Grid data = gridOf(2, 2, [](int i, int j) { return i == 1 && j == 1 ? 4.0 : 0.0; });
  const Pruned merged = prune(data, 2, 2, 1.85, kPoisson);
  const Pruned kept = prune(data, 2, 2, 1.84, kPoisson);
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) {
      EXPECT_EQ(merged.estimate[i][j], 1.0);
      expectSquare(merged.squares[i * 2 + j], 0, 0, 2);
      EXPECT_EQ(kept.estimate[i][j], data[i][j]);
      expectSquare(kept.squares[i * 2 + j], i, j, 1);
    }
}

TEST(PruneNoiseModel, PoissonZerosMergeAndUndefinedScoresNeverDo) {
  for (double pen : {0.0, 1.0, 50.0}) {
    const Pruned p = prune(Grid(8, 8), 8, 8, pen, kPoisson);
    for (const DyadicSquare& s : p.squares) expectSquare(s, 0, 0, 8);
  }
  // A negative mean, and a zero mean over non-zero values: no score.
  const Grid negative = gridOf(2, 2, [](int i, int j) { return -1.0 - i - 2 * j; });
  const Grid zeroMean = gridOf(2, 2, [](int i, int j) { return i == j ? 0.0 : (i ? 3.0 : -3.0); });
  for (const Grid* g : {&negative, &zeroMean}) {
    const Pruned p = prune(*g, 2, 2, 1e6, kPoisson);
    for (int i = 0; i < 2; ++i)
      for (int j = 0; j < 2; ++j) {
        expectSquare(p.squares[i * 2 + j], i, j, 1);
        EXPECT_EQ(p.estimate[i][j], (*g)[i][j]);
      }
  }
}

TEST(PruneNoiseModel, RectangularGridsCountLevelsFromTheSmallerSide) {
  const Grid tall = randomGrid(8, 4, 9, 20);
  const Pruned t = prune(tall, 8, 4, 1e9, kGaussian);
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 4; ++j) expectSquare(t.squares[i * 4 + j], i < 4 ? 0 : 4, 0, 4);

  const Grid wide = randomGrid(4, 8, 10, 20);
  const Pruned w = prune(wide, 4, 8, 1e9, kGaussian);
  for (int half = 0; half < 2; ++half) {
    double sum = 0;
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) sum += wide[i][4 * half + j];
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) {
        expectSquare(w.squares[i * 8 + 4 * half + j], 0, 4 * half, 4);
        EXPECT_NEAR(w.estimate[i][4 * half + j], sum / 16, 1e-12);
      }
  }
}

TEST(PruneNoiseModel, LabelsAreTheMeanDrawOfEachFinalSquare) {
  for (std::string_view noise : {kGaussian, kPoisson}) {
    const int M = 16, N = 8;
    const Grid data = randomGrid(M, N, 12, 5);
    const Pruned p = prune(data, M, N, 2.0, noise, 41);
    std::srand(41);
    std::vector<double> draws(M * N);
    for (double& d : draws) d = std::rand();  // outer index first
    int largest = 0;
    for (int i = 0; i < M; ++i)
      for (int j = 0; j < N; ++j) {
        const DyadicSquare& s = p.squares[i * N + j];
        const int top = static_cast<int>(s.top), left = static_cast<int>(s.left), side = static_cast<int>(s.side);
        ASSERT_TRUE(top <= i && i < top + side && left <= j && j < left + side && top % side == 0 && left % side == 0);
        largest = std::max(largest, side);
        const DyadicSquare& first = p.squares[top * N + left];
        expectSquare(s, first.top, first.left, first.side);
        EXPECT_EQ(p.label[i][j], p.label[top][left]);
        double mean = 0;
        for (int u = 0; u < side; ++u)
          for (int v = 0; v < side; ++v) mean += draws[(top + u) * N + left + v];
        mean /= side * side;
        EXPECT_NEAR(p.label[i][j], mean, 1e-6 * (1 + mean));
      }
    EXPECT_GT(largest, 1) << noise;
  }
}

// ---------------------------------------------------------------- wedge geometry

TEST(WedgeMask, AxisAnglesAndThirtyDegrees) {
  using R = std::vector<std::string>;
  EXPECT_EQ(maskOf(0, 0, 4), (R{"1111", "1111", "0000", "0000"}));
  EXPECT_EQ(maskOf(0, 90, 4), (R{"0011", "0011", "0011", "0011"}));
  EXPECT_EQ(maskOf(0, 180, 4), (R{"0000", "0000", "1111", "1111"}));
  EXPECT_EQ(maskOf(0, 270, 4), (R{"1100", "1100", "1100", "1100"}));
  EXPECT_EQ(maskOf(0, 30, 4), (R{"1111", "0111", "0001", "0000"}));
  EXPECT_EQ(maskOf(2, 0, 4), (R{"1111", "1111", "1111", "1111"}));
  EXPECT_EQ(maskOf(0, 0, 1), R{"0"});
  // n = 1, centre x = 0.5: offset 0.5 cuts the pixel exactly in half.
  EXPECT_EQ(maskOf(0.5, 0, 1), R{"0"});
  EXPECT_EQ(maskOf(0.5 + 1e-9, 0, 1), R{"1"});
}

TEST(WedgeMask, CoverageAtThirtyDegrees) {
  const double a = 3.141592653589793 / 6;
  EXPECT_EQ(coverageFraction(-0.7, a), 0.0);
  EXPECT_NEAR(coverageFraction(-0.5, a), 0.0386751345948, 1e-12);
  EXPECT_NEAR(coverageFraction(0.0, a), 0.5, 1e-12);
  EXPECT_NEAR(coverageFraction(0.1, a), 0.615470053838, 1e-12);
  EXPECT_NEAR(coverageFraction(0.5, a), 0.961324865405, 1e-12);
  EXPECT_EQ(coverageFraction(0.7, a), 1.0);
  // Breakpoints +-0.683012701892 (corners) and +-0.183012701892 (band), where
  // the pieces meet: 0, tan(30)/2, 1 - tan(30)/2, 1.
  const double t4 = 0.683012701892, t3 = 0.183012701892, k = std::tan(a) / 2;
  for (double e : {-1e-9, 1e-9}) {
    EXPECT_NEAR(coverageFraction(-t4 + e, a), 0.0, 1e-8);
    EXPECT_NEAR(coverageFraction(-t3 + e, a), k, 1e-8);
    EXPECT_NEAR(coverageFraction(t3 + e, a), 1 - k, 1e-8);
    EXPECT_NEAR(coverageFraction(t4 + e, a), 1.0, 1e-8);
  }
}

TEST(WedgeMask, AgreesWithSampledAreaAndWritesOnlyZeroOrOne) {
  // The share of each pixel on the low side, sampled on a 100 x 100 grid;
  // pixels too close to one half are left to rounding.
  const double pi = 3.141592653589793;
  const int n = 8, S = 100;
  for (double angle : {10.0, 30.0, 60.0, 100.0, 135.5, 200.0, 290.0, 350.0})
    for (double offset : {0.0, 0.7, 2.3}) {
      Grid mask = gridOf(n, n, [](int i, int) { return i % 2 ? std::nan("") : 7.0; });
      wedgeMask(mask, offset, angle, n);
      const double ct = std::cos(pi * angle / 180), st = std::sin(pi * angle / 180);
      for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
          ASSERT_TRUE(mask[i][j] == 0.0 || mask[i][j] == 1.0);
          const double x = i - n / 2 + 0.5, y = n / 2 - 0.5 - j;
          int inside = 0;
          for (int p = 0; p < S; ++p)
            for (int q = 0; q < S; ++q) {
              const double px = x - 0.5 + (p + 0.5) / S, py = y - 0.5 + (q + 0.5) / S;
              inside += px * ct + py * st < offset;
            }
          const double v = static_cast<double>(inside) / (S * S);
          if (std::abs(v - 0.5) > 0.01) {
            EXPECT_EQ(mask[i][j], v > 0.5 ? 1.0 : 0.0) << angle << " " << offset;
          }
        }
    }
}

// ---------------------------------------------------------------- region cost

TEST(RegionCost, GaussianAndPoissonValues) {
  EXPECT_EQ(regionCost(Grid(2, 2), Grid(2, 2), 0, 2, kGaussian), 0.0);
  EXPECT_EQ(regionCost(Grid(2, 2), Grid(2, 2), 2, 0, kPoisson), 0.0);
  const Grid ramp = gridOf(2, 2, [](int i, int j) { return 1.0 + 2 * i + j; });
  const Grid flat = gridOf(2, 2, [](int, int) { return 2.5; });
  EXPECT_EQ(regionCost(ramp, flat, 2, 2, kGaussian), 5.0);
  EXPECT_EQ(regionCost(Grid(3, 3), Grid(3, 3), 3, 3, kPoisson), 0.0);

  auto single = [](double x, double model) {
    Grid d(1, 1), m(1, 1);
    d[0][0] = x;
    m[0][0] = model;
    return regionCost(d, m, 1, 1, kPoisson);
  };
  EXPECT_NEAR(single(2, 2), 2 - 2 * std::log(2.0), 1e-15);
  EXPECT_EQ(single(0, 1), 1.0);
  EXPECT_EQ(single(1, 0), kInf);
  EXPECT_TRUE(std::isnan(single(1, -1)));

  try {
    regionCost(ramp, flat, 2, 2, "gaussian");
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "noiseType must be either 'Poisson' or 'Gaussian'.");
  }
}

// ---------------------------------------------------------------- wedgelet search

TEST(WedgeletSearch, SingleCandidateSplitsTheOuterHalves) {
  const Grid block = gridOf(4, 4, [](int i, int) { return i < 2 ? 1.0 : 5.0; });
  Grid fit(4, 4), mask(4, 4);
  EXPECT_TRUE(wedgeletSearch(block, 4, fit, mask, 1, kGaussian));
  expectGridEq(fit, block, 4, 4);
  EXPECT_EQ(maskRows(mask, 4), (std::vector<std::string>{"1111", "1111", "0000", "0000"}));
}

TEST(WedgeletSearch, CandidateGrid) {
  EXPECT_EQ(candidateOffset(4, 0, 2), 0.0);
  EXPECT_DOUBLE_EQ(candidateOffset(4, 1, 2), 4 / (3 * std::sqrt(2.0)));
  EXPECT_DOUBLE_EQ(candidateOffset(16, 6, 7), 16 / std::sqrt(2.0) * 6 / 8);
  EXPECT_EQ(candidateAngle(0, 2), 0.0);
  EXPECT_EQ(candidateAngle(1, 2), 120.0);
  for (int l = 0; l < 7; ++l) EXPECT_EQ(candidateAngle(l, 7), 45.0 * l);
  for (int l = 0; l < 8; ++l) EXPECT_EQ(candidateAngle(l, 8), 40.0 * l);
  EXPECT_DOUBLE_EQ(candidateAngle(1, 6), 360.0 / 7);  // not rounded to a whole degree
  EXPECT_DOUBLE_EQ(candidateAngle(3, 10), 1080.0 / 11);
}

TEST(WedgeletSearch, FindsEachOfTheFourLinesOfResolutionTwoAndKeepsTheFirstOfEqualCosts) {
  const int n = 4;
  const double r1 = n / (3 * std::sqrt(2.0));
  const double lines[4][2] = {{0, 0}, {0, 120}, {r1, 0}, {r1, 120}};
  std::vector<std::vector<std::string>> masks;
  for (const auto& line : lines) masks.push_back(maskOf(line[0], line[1], n));
  for (int a = 0; a < 4; ++a)
    for (int b = a + 1; b < 4; ++b) ASSERT_NE(masks[a], masks[b]);
  for (int c = 0; c < 4; ++c) {
    Grid m(n, n);
    wedgeMask(m, lines[c][0], lines[c][1], n);
    const Grid block = gridOf(n, n, [&](int i, int j) { return 10.0 * m[i][j] + 1; });
    Grid fit(n, n), mask(n, n);
    EXPECT_TRUE(wedgeletSearch(block, n, fit, mask, 2, kGaussian));
    EXPECT_EQ(maskRows(mask, n), masks[c]) << "line " << c;
    expectGridEq(fit, block, n, n);
  }
  // A constant block: every line costs 0, the first (offset 0, angle 0) stays.
  const Grid flat = gridOf(n, n, [](int, int) { return 3.0; });
  Grid fit(n, n), mask(n, n);
  EXPECT_TRUE(wedgeletSearch(flat, n, fit, mask, 5, kGaussian));
  EXPECT_EQ(maskRows(mask, n), masks[0]);
  expectGridEq(fit, flat, n, n);
}

TEST(WedgeletSearch, AcceptsNothingAtOrAboveTheStartCost) {
  // The lines cannot separate the diagonals: every split costs over 6e13.
  const Grid block = gridOf(2, 2, [](int i, int j) { return i == j ? 0.0 : 1e7; });
  for (int K : {0, 1, 3, 8}) {
    Grid fit = gridOf(2, 2, [](int i, int j) { return 0.25 + i + j; });
    Grid mask = gridOf(2, 2, [](int, int) { return 9.0; });
    const Grid fitBefore = fit, maskBefore = mask;
    EXPECT_FALSE(wedgeletSearch(block, 2, fit, mask, K, kGaussian)) << K;
    expectGridEq(fit, fitBefore, 2, 2);
    expectGridEq(mask, maskBefore, 2, 2);
  }
}

// ---------------------------------------------------------------- refinement

constexpr double kAveraged = 100.0;

Grid refine(const Grid& image, int M, int N, int h, const std::vector<DyadicSquare>& squares, double penConst,
            double penWedge, int resolution, std::string_view noise = kGaussian) {
  const Grid averaged = gridOf(M, N, [](int, int) { return kAveraged; });
  Grid estimate = gridOf(M, N, [](int, int) { return -7.0; });
  refineSquares(estimate, image, averaged, penConst, penWedge, M, N, h, squares, static_cast<int>(squares.size()),
                noise, resolution);
  return estimate;
}

TEST(RefineSquares, SinglePixelsTakeTheirImageValue) {
  const Grid image = randomGrid(2, 4, 5, 30);
  std::vector<DyadicSquare> all;
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 4; ++j) all.push_back({double(i), double(j), 1});
  for (double penWedge : {0.0, 1.0, 10.0}) expectGridEq(refine(image, 2, 4, 1, all, 1.0, penWedge, 3), image, 2, 4);
}

TEST(RefineSquares, ConstantSquaresKeepTheirValueUnderEitherChoice) {
  const Grid image = gridOf(4, 4, [](int i, int j) { return (i < 2 ? 2.0 : 6.0) + (j < 2 ? 0.0 : 3.0); });
  const std::vector<DyadicSquare> quads{{0, 0, 2}, {0, 2, 2}, {2, 0, 2}, {2, 2, 2}};
  for (std::string_view noise : {kGaussian, kPoisson})
    for (double penWedge : {0.0, 0.4, 0.6, 5.0})
      expectGridEq(refine(image, 4, 4, 2, quads, 1.0, penWedge, 4, noise), image, 4, 4);
}

TEST(RefineSquares, PenalizedCostsChooseAndTiesGoToTheWedgelet) {
  // Rows 0 0 / 2 2: the constant 1 costs 4, the first line fits exactly (cost 0).
  const Grid image = gridOf(2, 2, [](int i, int) { return 2.0 * i; });
  const Grid constant = gridOf(2, 2, [](int, int) { return 1.0; });
  const std::vector<DyadicSquare> one{{0, 0, 2}};
  expectGridEq(refine(image, 2, 2, 2, one, 0.0, 2.0, 1), image, 2, 2);  // 0 + 4 = 4 + 0
  expectGridEq(refine(image, 2, 2, 2, one, 0.0, 1.5, 1), image, 2, 2);
  expectGridEq(refine(image, 2, 2, 2, one, 0.0, 2.5, 1), constant, 2, 2);
  expectGridEq(refine(image, 2, 2, 2, one, 3.0, 3.5, 1), image, 2, 2);  // 7 = 7
  expectGridEq(refine(image, 2, 2, 2, one, 3.0, 3.6, 1), constant, 2, 2);
}

TEST(RefineSquares, OnlySquaresOfTheBlockSideAreRefined) {
  const Grid image = randomGrid(8, 8, 6, 40);
  const Grid averaged = gridOf(8, 8, [](int, int) { return kAveraged; });
  expectGridEq(refine(image, 8, 8, 2, {{0, 0, 4}, {4, 4, 1}, {0, 0, 8}}, 1, 1, 3), averaged, 8, 8);
  expectGridEq(refine(image, 8, 8, 2, {}, 1, 1, 3), averaged, 8, 8);
  const Grid some = refine(image, 8, 8, 2, {{2, 4, 2}}, 1e9, 1e9, 3);
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 8; ++j) {
      const bool inside = i >= 2 && i < 4 && j >= 4 && j < 6;
      if (inside)
        EXPECT_NEAR(some[i][j], (image[2][4] + image[2][5] + image[3][4] + image[3][5]) / 4, 1e-12);
      else
        EXPECT_EQ(some[i][j], kAveraged);
    }
}

TEST(RefineSquares, SquareWithoutAcceptedSplitGetsItsMean) {
  const Grid image = gridOf(4, 4, [](int i, int j) {
    if (i < 2 && j < 2) return 2.0 * i;               // first square: rows 0 0 / 2 2
    if (i >= 2 && j >= 2) return i == j ? 0.0 : 1e7;  // second: no line separates it
    return 1.0;
  });
  // Penalties that would favour any wedgelet, stale or not.
  const double penConst = 1e15, penWedge = 0;
  const Grid out = refine(image, 4, 4, 2, {{0, 0, 2}, {2, 2, 2}}, penConst, penWedge, 2);
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) {
      EXPECT_EQ(out[i][j], image[i][j]);
      EXPECT_EQ(out[2 + i][2 + j], 5e6);
      EXPECT_EQ(out[i][2 + j], kAveraged);
    }
  // No line at all: every listed square takes its mean.
  const Grid none = refine(image, 4, 4, 2, {{0, 0, 2}, {2, 2, 2}}, penConst, penWedge, 0);
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) {
      EXPECT_EQ(none[i][j], 1.0);
      EXPECT_EQ(none[2 + i][2 + j], 5e6);
    }
}

// ---------------------------------------------------------------- entry

EntryParameters params(const std::vector<Array>& in) { return test::entryParameters(kBrindelModel, in); }

std::string errorOf(const std::vector<Array>& in) { return test::entryError(brindel, in); }

TEST(BrindelEntry, DefaultsFollowThePixelCount) {
  struct Case {
    int side, sh, resolution;
  };
  for (const Case& c : {Case{16, 2, 6}, Case{256, 4, 40}, Case{512, 0, 63}, Case{1024, 8, 101}}) {
    if (c.sh) {
      EXPECT_EQ(defaultBlockSide(c.side, c.side), c.sh) << c.side;
    }
    EXPECT_EQ(defaultResolution(c.side, c.side), c.resolution) << c.side;
    const EntryParameters p = params({Array::zeros(c.side, c.side)});
    if (c.sh) {
      EXPECT_EQ(p.sh, c.sh);
    }
    EXPECT_EQ(p.resolution, c.resolution);
    EXPECT_FALSE(p.poisson);
  }
  const EntryParameters p = params({Array::zeros(256, 256)});
  EXPECT_EQ(p.penOne, 3.6967849629863747);
  EXPECT_EQ(p.penTwo, 7.393569925972749);
  EXPECT_EQ((2 * p.penOne) / 3, 2.4645233086575833);
  // An elongated image never gets a block wider than its narrow side.
  EXPECT_EQ(defaultBlockSide(1048576, 2), 2);
  EXPECT_EQ(defaultResolution(2, 4), 2);
}

TEST(BrindelEntry, GivenParametersAndAbsentOnes) {
  const Array img = Array::zeros(8, 8);
  const Array gauss = Array::string("Gaussian");
  EXPECT_EQ(params({img, Array::scalar(4.9)}).sh, 4);
  EXPECT_EQ(params({img, Array::empty(), gauss}).sh, defaultBlockSide(8, 8));
  EXPECT_EQ(params({img, Array::empty(3, 0)}).sh, defaultBlockSide(8, 8));
  const double lnX = std::log(64.0);
  // An empty fourth input brings both defaults; the fifth is then not read.
  EXPECT_EQ(params({img, Array::empty(), gauss, Array::empty(), Array::scalar(99)}).penTwo, (2 * lnX) / 3);
  EXPECT_EQ(params({img, Array::empty(), gauss, Array::empty(), Array::scalar(99)}).penOne, lnX / 3);
  // A fourth input alone, or with an empty fifth: the second penalty defaults.
  for (const auto& in : {std::vector<Array>{img, Array::empty(), gauss, Array::scalar(0.5)},
                         std::vector<Array>{img, Array::empty(), gauss, Array::scalar(0.5), Array::empty()}}) {
    const EntryParameters p = params(in);
    EXPECT_EQ(p.penOne, 0.5);
    EXPECT_EQ(p.penTwo, (2 * lnX) / 3);
  }
  const EntryParameters zero = params({img, Array::empty(), gauss, Array::scalar(0), Array::scalar(0)});
  EXPECT_EQ(zero.penOne, 0.0);
  EXPECT_EQ(zero.penTwo, 0.0);
  auto lines = [&](const Array& sixth) {
    return params({img, Array::empty(), gauss, Array::empty(), Array::empty(), sixth}).resolution;
  };
  EXPECT_EQ(lines(Array::scalar(100)), 10);
  EXPECT_EQ(lines(Array::scalar(99)), 9);
  EXPECT_EQ(lines(Array::scalar(0.5)), 0);
  EXPECT_EQ(lines(Array::empty()), defaultResolution(8, 8));
  // Poisson defaults from the image sum: exactly 1 gives penalties of 0; a
  // negative value passes as long as the sum does not go below 0.
  for (const std::vector<double>& v : {std::vector<double>{1, 0, 0, 0}, std::vector<double>{-1, 2, 0, 0}}) {
    const EntryParameters p = params({Array::matrix(2, 2, v), Array::empty(), Array::string("Poisson")});
    EXPECT_TRUE(p.poisson);
    EXPECT_EQ(p.penOne, 0.0);
    EXPECT_EQ(p.penTwo, 0.0);
  }
  EXPECT_EQ(errorOf({Array::matrix(2, 2, {1, 0, 0, 0}), Array::empty(), Array::string("Poisson")}), "<no error>");
}

TEST(BrindelEntry, MessagesInCheckOrder) {
  const Array img = Array::zeros(8, 8);
  const Array one = Array::scalar(1);
  const Array gauss = Array::string("Gaussian");
  const Array poisson = Array::string("Poisson");
  const Array none = Array::empty();
  Array complexImage = Array::zeros(8, 8);
  complexImage.complex = true;
  const Array charImage = Array::ofKind(ClassKind::Char, 8, 8, std::vector<double>(64, 65));
  const std::string kVector = "This is an image processing method; it cannot process a vector.";
  const std::string kRows = "The matrix row dimension must be of size m*2^(L)";
  const std::string kCols = "The matrix column dimension must be of size n*2^(L)";
  const std::string kClass = "Input image must be a real numeric matrix.";
  const std::string kSh = "Input sh must be a positive integer that divides the image sides.";
  const std::string kString = "noiseType must be a string";
  const std::string kName = "noiseType must be either 'Poisson' or 'Gaussian'.";
  const std::string kPositive = "The penalty must be positive.";
  const std::string kLines = "The number of lines must be a finite non-negative number not above 1e8.";

  EXPECT_EQ(errorOf({img, one, gauss, one, one, one, one}), "There are at most 6 input parameters allowed!");
  EXPECT_EQ(errorOf({}), "There is at least 1 input parameter required!");
  EXPECT_EQ(errorOf({Array::zeros(1, 8)}), kVector);
  EXPECT_EQ(errorOf({Array::zeros(8, 1)}), kVector);
  EXPECT_EQ(errorOf({Array::zeros(6, 8)}), kRows);
  EXPECT_EQ(errorOf({Array::zeros(6, 12)}), kRows);
  EXPECT_EQ(errorOf({Array::zeros(8, 12)}), kCols);
  EXPECT_EQ(errorOf({charImage, Array::scalar(3)}), kClass);
  EXPECT_EQ(errorOf({complexImage}), kClass);
  for (double sh : {0.0, 3.0, 16.0, -2.0, std::nan(""), HUGE_VAL})
    EXPECT_EQ(errorOf({img, Array::scalar(sh), Array::scalar(5)}), kSh) << sh;
  EXPECT_EQ(errorOf({img, Array::string("a")}), kSh);
  EXPECT_EQ(errorOf({img, one, Array::scalar(5), Array::scalar(-1)}), kString);
  EXPECT_EQ(errorOf({img, one, Array::string("")}), kName);
  EXPECT_EQ(errorOf({img, one, Array::string("poisson")}), kName);
  EXPECT_EQ(errorOf({Array::matrix(2, 2, {1, -3, 1, 0}), none, poisson}), "Poisson data cannot be negative.");
  // Under one count in all, the default penalties (logarithms of the sum) would be negative.
  EXPECT_EQ(errorOf({Array::zeros(2, 2), none, poisson}), dyadfit::kMsgFewCounts);
  EXPECT_EQ(errorOf({Array::matrix(2, 2, {0.25, 0, 0, 0}), none, poisson}), dyadfit::kMsgFewCounts);
  EXPECT_EQ(errorOf({Array::matrix(2, 2, {1, 0, 0, 0}), none, poisson}), "<no error>");
  // Finite values beyond 1e100 would overflow the costs into Inf estimates.
  EXPECT_EQ(errorOf({Array::matrix(2, 2, {1, 0, -1.5e100, 0})}), dyadfit::kMsgTooLarge);
  EXPECT_EQ(errorOf({Array::matrix(2, 2, {1, 0, -1e100, 1e100})}), "<no error>");
  // Given penalties: no sum is formed, whatever the data.
  EXPECT_EQ(errorOf({Array::matrix(2, 2, {1, -3, 1, 0}), none, poisson, one, one, Array::scalar(0)}), "<no error>");
  EXPECT_EQ(errorOf({img, one, gauss, Array::scalar(-0.1), one}), kPositive);
  EXPECT_EQ(errorOf({img, one, gauss, one, Array::scalar(-0.1)}), kPositive);
  EXPECT_EQ(errorOf({img, one, gauss, Array::string("a"), Array::scalar(-0.1)}), kPositive);
  EXPECT_EQ(errorOf({img, one, gauss, Array::string("a"), one}), "The penalties must be real numbers.");
  for (double x : {-1.0, std::nan(""), HUGE_VAL})
    EXPECT_EQ(errorOf({img, one, gauss, one, one, Array::scalar(x)}), kLines);
  EXPECT_EQ(errorOf({img, one, gauss, one, one, Array::string("4")}), kLines);
  EXPECT_EQ(errorOf({img, one, gauss, one, one, Array::scalar(0.5)}), "<no error>");
}

TEST(BrindelEntry, ConstantTwoByTwoImage) {
  const Array img = Array::matrix(2, 2, {3, 3, 3, 3});
  const auto out = callEntry(brindel, {img}, 6);
  ASSERT_EQ(out.size(), 6u);
  EXPECT_EQ(out[3].rows, 2u);
  EXPECT_EQ(out[3].cols, 3u);
  EXPECT_EQ(out[3].values, (std::vector<double>{0, 1, 0, 1, 2, 2}));  // rows (0 0 2; 1 1 2)
  EXPECT_EQ(out[0].values, img.values);
  EXPECT_EQ(out[1].values, img.values);
  EXPECT_EQ(out[4].values, img.values);
  const auto first = callEntry(brindel, {img}, 1);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].values, img.values);
}

void expectCandidateList(const Array& squares, int sh, std::size_t outer, std::size_t inner) {
  ASSERT_EQ(squares.cols, 3u);
  ASSERT_GT(squares.rows, 0u);
  for (std::size_t f = 0; f < squares.rows; ++f) {
    const double top = squares(f, 0), left = squares(f, 1), side = squares(f, 2);
    EXPECT_GE(top, 0);
    EXPECT_GE(left, 0);
    EXPECT_LT(top, static_cast<double>(outer));
    EXPECT_LT(left, static_cast<double>(inner));
    if (side == sh) {  // larger squares of the shifted pruning may wrap; these never do
      EXPECT_LE(top + side, static_cast<double>(outer));
      EXPECT_LE(left + side, static_cast<double>(inner));
      EXPECT_EQ(std::fmod(top, sh), 0.0);
      EXPECT_EQ(std::fmod(left, sh), 0.0);
    }
    if (f > 0) {
      const double a[3] = {squares(f - 1, 0), squares(f - 1, 1), squares(f - 1, 2)};
      const double b[3] = {top, left, side};
      EXPECT_TRUE(std::lexicographical_compare(a, a + 3, b, b + 3)) << "row " << f;
    }
  }
}

TEST(BrindelEntry, CandidateListIsDistinctSortedAndAligned) {
  std::mt19937 gen(17);
  std::uniform_real_distribution<double> dist(0, 10);
  Array img = Array::zeros(16, 16);
  for (int r = 0; r < 16; ++r)
    for (int c = 0; c < 16; ++c) img(r, c) = (r < 9 ? 2.0 : 8.0) + (c > r ? 3.0 : 0.0) + 0.1 * dist(gen);
  for (std::string noise : {"Gaussian", "Poisson"}) {
    const auto out = callEntry(brindel, {img, Array::scalar(2), Array::string(noise)}, 6);
    expectCandidateList(out[3], 2, 16, 16);
    bool refinedSide = false;
    for (std::size_t f = 0; f < out[3].rows; ++f) refinedSide |= out[3](f, 2) == 2;
    EXPECT_TRUE(refinedSide) << noise;
  }
}

TEST(BrindelEntry, NonSquareImagesKeepTheirShape) {
  for (const auto& [rows, cols] : {std::pair<int, int>{16, 8}, std::pair<int, int>{8, 16}}) {
    Array img = Array::zeros(rows, cols);
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < cols; ++c) img(r, c) = (r + 2 * c) % 7;
    const auto out = callEntry(brindel, {img, Array::scalar(2)}, 6);
    ASSERT_EQ(out.size(), 6u);
    for (int s : {0, 1, 2, 4, 5}) {
      EXPECT_EQ(out[s].rows, static_cast<std::size_t>(rows)) << s;
      EXPECT_EQ(out[s].cols, static_cast<std::size_t>(cols)) << s;
      for (double v : out[s].values) EXPECT_TRUE(std::isfinite(v));
    }
    // Grid outer index: the image column; inner index: the image row.
    expectCandidateList(out[3], 2, cols, rows);
  }
}

}  // namespace
