// SPDX-License-Identifier: BSD-3-Clause
// Module tessik: the constant dyadic pruning through the standalone binding,
// and its pre-averaging and pruning stages called directly; the fast pruning
// against the literal one, bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "constant/tessik_entry.h"
#include "constant/tessik_reference.h"
#include "dyadic/dyadic_reference.h"
#include "dyadic/grid_utils.h"
#include "dyadic/parallel.h"
#include "dyadic/region_cost.h"
#include "host/standalone.h"
#include "tests/test_support.h"

namespace {

using dyadfit::Array;
using dyadfit::ClassKind;

std::vector<Array> runTessik(const std::vector<Array>& in, int nlhs = 3) {
  return dyadfit::callEntry(dyadfit::tessik, in, nlhs);
}

std::string errorOf(const std::vector<Array>& in, int nlhs = 3) {
  return dyadfit::test::entryError(dyadfit::tessik, in, nlhs);
}

// n x n image from a row-major list (as the values read on paper).
Array fromRows(int n, const std::vector<double>& rowMajor) {
  Array a = Array::zeros(n, n);
  for (int r = 0; r < n; ++r)
    for (int c = 0; c < n; ++c) a(r, c) = rowMajor[r * n + c];
  return a;
}

Array randomIntegers(int n, unsigned seed, int hi) {
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> dist(0, hi);
  Array a = Array::zeros(n, n);
  for (double& v : a.values) v = dist(gen);
  return a;
}

struct Square {
  int top, left, side;
  bool operator==(const Square&) const = default;
};

Square squareOf(const Array& squares, std::size_t k) {
  return {static_cast<int>(squares(k, 0)), static_cast<int>(squares(k, 1)), static_cast<int>(squares(k, 2))};
}

// Every pixel's square, for an n x n image, k = r + n*c.
void expectSquares(const Array& squares, int n, auto expected) {
  ASSERT_EQ(squares.rows, static_cast<std::size_t>(n * n));
  ASSERT_EQ(squares.cols, 3u);
  for (int c = 0; c < n; ++c)
    for (int r = 0; r < n; ++r) {
      const Square want = expected(r, c);
      const std::size_t k = static_cast<std::size_t>(r + n * c);
      EXPECT_EQ(squares(k, 0), want.top) << r << "," << c;
      EXPECT_EQ(squares(k, 1), want.left) << r << "," << c;
      EXPECT_EQ(squares(k, 2), want.side) << r << "," << c;
    }
}

// The best recursive dyadic partition of the block at (r, c) of side s:
// squared error against the block mean plus pen per square, ties to the
// larger square. Writes each pixel's square into owner (row-major).
double bestPartition(const Array& img, int r, int c, int s, double pen, std::vector<Square>& owner) {
  const int n = static_cast<int>(img.rows);
  double mean = 0;
  for (int u = 0; u < s; ++u)
    for (int v = 0; v < s; ++v) mean += img(r + u, c + v);
  mean /= s * s;
  double merged = pen;
  for (int u = 0; u < s; ++u)
    for (int v = 0; v < s; ++v) merged += (img(r + u, c + v) - mean) * (img(r + u, c + v) - mean);
  double split = std::numeric_limits<double>::infinity();
  if (s > 1) {
    const int h = s / 2;
    split = bestPartition(img, r, c, h, pen, owner) + bestPartition(img, r + h, c, h, pen, owner) +
            bestPartition(img, r, c + h, h, pen, owner) + bestPartition(img, r + h, c + h, h, pen, owner);
  }
  if (merged <= split) {
    for (int u = 0; u < s; ++u)
      for (int v = 0; v < s; ++v) owner[(r + u) * n + c + v] = {r, c, s};
    return merged;
  }
  return split;
}

TEST(TessikPruning, TwoByTwoMergesExactlyFromPenFour) {
  // Mean 1, squared error 12: one square costs 12 + pen, four cost 4 pen.
  const Array img = fromRows(2, {0, 0, 0, 4});
  auto merged = runTessik({img, Array::scalar(4)});
  for (double v : merged[0].values) EXPECT_EQ(v, 1.0);
  expectSquares(merged[2], 2, [](int, int) { return Square{0, 0, 2}; });

  auto kept = runTessik({img, Array::scalar(3.9)});
  EXPECT_EQ(kept[0].values, img.values);
  expectSquares(kept[2], 2, [](int r, int c) { return Square{r, c, 1}; });
}

TEST(TessikPruning, QuadrantsMergeOnlyAtTheTopLevel) {
  // Each 2x2 quadrant holds 0, 0, 0, 7: error 36.75 per quadrant, 147 for the
  // whole image, so the quadrants never merge alone and the whole merges from pen 9.8.
  Array img = Array::zeros(4, 4);
  for (int r = 1; r < 4; r += 2)
    for (int c = 1; c < 4; c += 2) img(r, c) = 7;
  auto out = runTessik({img, Array::scalar(10)});
  for (double v : out[0].values) EXPECT_EQ(v, 1.75);
  expectSquares(out[2], 4, [](int, int) { return Square{0, 0, 4}; });

  auto kept = runTessik({img, Array::scalar(9.7)});
  EXPECT_EQ(kept[0].values, img.values);
  expectSquares(kept[2], 4, [](int r, int c) { return Square{r, c, 1}; });
}

TEST(TessikPruning, ConstantImageIsOneSquareForEveryNonNegativePen) {
  Array img = Array::zeros(8, 8);
  for (double& v : img.values) v = 5;
  for (double pen : {0.0, 0.25, 1e6}) {
    auto out = runTessik({img, Array::scalar(pen)});
    EXPECT_EQ(out[0].values, img.values) << pen;
    expectSquares(out[2], 8, [](int, int) { return Square{0, 0, 8}; });
  }
}

TEST(TessikPruning, PartitionIsTheBestRecursiveDyadicPartition) {
  for (int n : {8, 16})
    for (unsigned seed : {1u, 2u, 3u})
      for (double pen : {0.7 * std::sqrt(2.0), 3 * std::sqrt(3.0), 40 * std::sqrt(5.0)}) {
        const Array img = randomIntegers(n, seed, 9);
        std::vector<Square> owner(n * n);
        bestPartition(img, 0, 0, n, pen, owner);
        auto out = runTessik({img, Array::scalar(pen)});
        expectSquares(out[2], n, [&](int r, int c) { return owner[r * n + c]; });
        // The estimate is the mean of each final square.
        for (int r = 0; r < n; ++r)
          for (int c = 0; c < n; ++c) {
            const Square q = owner[r * n + c];
            double sum = 0;
            for (int u = 0; u < q.side; ++u)
              for (int v = 0; v < q.side; ++v) sum += img(q.top + u, q.left + v);
            EXPECT_NEAR(out[0](r, c), sum / (q.side * q.side), 1e-12);
          }
      }
}

TEST(TessikPruning, ZeroPenKeepsEveryPixelOfDistinctValuesAndEachDraw) {
  Array img = Array::zeros(4, 4);
  for (int k = 0; k < 16; ++k) img.values[k] = k * k;  // no two siblings alike
  std::srand(1234);
  auto out = runTessik({img, Array::scalar(0)});
  std::srand(1234);
  std::vector<double> draws(16);
  for (double& d : draws) d = std::rand();  // row outer, column inner
  EXPECT_EQ(out[0].values, img.values);
  expectSquares(out[2], 4, [](int r, int c) { return Square{r, c, 1}; });
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) EXPECT_EQ(out[1](r, c), draws[r * 4 + c]);
}

TEST(TessikPruning, LabelsAreTheMeanDrawOfEachFinalSquare) {
  const int n = 8;
  const Array img = randomIntegers(n, 11, 6);
  std::srand(99);
  auto out = runTessik({img, Array::scalar(3.3)});
  std::srand(99);
  std::vector<double> draws(n * n);
  for (double& d : draws) d = std::rand();
  std::size_t sizes[4] = {};  // sides 1, 2, 4, 8 seen: the case mixes them
  for (int c = 0; c < n; ++c)
    for (int r = 0; r < n; ++r) {
      const Square q = squareOf(out[2], static_cast<std::size_t>(r + n * c));
      ASSERT_TRUE(q.top <= r && r < q.top + q.side && q.left <= c && c < q.left + q.side);
      ++sizes[q.side == 1 ? 0 : q.side == 2 ? 1 : q.side == 4 ? 2 : 3];
      EXPECT_EQ(out[1](r, c), out[1](q.top, q.left));  // constant on the square
      double mean = 0;
      for (int u = 0; u < q.side; ++u)
        for (int v = 0; v < q.side; ++v) mean += draws[(q.top + u) * n + q.left + v];
      mean /= q.side * q.side;
      EXPECT_NEAR(out[1](r, c), mean, 1e-6 * (1 + mean));
    }
  EXPECT_GT(sizes[0] + sizes[1], 0u);
  EXPECT_GT(sizes[1] + sizes[2], 0u);
}

TEST(TessikPreAveraging, BlockAverageFlatFormsBlockMeans) {
  const int n = 4;
  std::vector<double> img(n * n), out(n * n, -1);
  for (int k = 0; k < n * n; ++k) img[k] = 0.1 * k + 0.03 * (k % 3);
  dyadfit::blockAverageFlat(2, img.data(), out.data(), n, n);
  for (int b = 0; b < n; b += 2)
    for (int a = 0; a < n; a += 2) {
      // Column offset outer, row offset inner; the sum divided by 2 twice.
      const double sum = img[a + n * b] + img[a + 1 + n * b] + img[a + n * (b + 1)] + img[a + 1 + n * (b + 1)];
      for (int u = 0; u < 2; ++u)
        for (int v = 0; v < 2; ++v) EXPECT_EQ(out[a + v + n * (b + u)], (sum / 2) / 2);
    }
  std::vector<double> whole(n * n);
  dyadfit::blockAverageFlat(4, img.data(), whole.data(), n, n);
  double sum = 0;
  for (double v : img) sum += v;
  for (double v : whole) EXPECT_NEAR(v, sum / 16, 1e-15);
  std::vector<double> copy(n * n);
  dyadfit::blockAverageFlat(1, img.data(), copy.data(), n, n);
  EXPECT_EQ(copy, img);
}

TEST(TessikPreAveraging, BlockSideIsTruncatedAndAppliedBeforePruning) {
  Array img = Array::zeros(4, 4);
  for (int k = 0; k < 16; ++k) img.values[k] = 0.25 * k * k;  // exact sums
  const Array nan = Array::scalar(0);  // merges no two blocks of different means
  std::srand(5);
  auto two = runTessik({img, nan, Array::scalar(2)});
  std::srand(5);
  auto truncated = runTessik({img, nan, Array::scalar(2.9)});
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) {
      const int a = r / 2 * 2, b = c / 2 * 2;
      const double sum = img(a, b) + img(a + 1, b) + img(a, b + 1) + img(a + 1, b + 1);
      EXPECT_EQ(two[0](r, c), (sum / 2) / 2);
    }
  EXPECT_EQ(truncated[0].values, two[0].values);
  EXPECT_EQ(truncated[1].values, two[1].values);
  EXPECT_EQ(truncated[2].values, two[2].values);
  // No third input: block side 1, the image itself is pruned.
  EXPECT_EQ(runTessik({img, nan})[0].values, img.values);
}

TEST(TessikPreAveraging, IntegerImageKeepsNoSquareSmallerThanTheBlock) {
  for (int sh : {2, 4})
    for (double pen : {0.0, 1.5, 60.0}) {
      const Array img = randomIntegers(16, 21 + sh, 50);
      auto out = runTessik({img, Array::scalar(pen), Array::scalar(sh)});
      for (std::size_t k = 0; k < 256; ++k) {
        const Square q = squareOf(out[2], k);
        EXPECT_GE(q.side, sh) << "sh " << sh << " pen " << pen;
        EXPECT_EQ(q.top % q.side, 0);
        EXPECT_EQ(q.left % q.side, 0);
      }
    }
}

TEST(TessikShapes, EmptyAndSinglePixelImages) {
  auto empty = runTessik({Array::empty(0, 0), Array::scalar(1)});
  ASSERT_EQ(empty.size(), 3u);
  EXPECT_EQ(empty[0].rows, 0u);
  EXPECT_EQ(empty[0].cols, 0u);
  EXPECT_EQ(empty[1].rows, 0u);
  EXPECT_EQ(empty[1].cols, 0u);
  EXPECT_EQ(empty[2].rows, 0u);
  EXPECT_EQ(empty[2].cols, 3u);
  auto wide = runTessik({Array::empty(0, 4), Array::scalar(1)});
  EXPECT_EQ(wide[0].rows, 0u);
  EXPECT_EQ(wide[0].cols, 4u);
  EXPECT_EQ(wide[1].cols, 4u);
  EXPECT_EQ(wide[2].rows, 0u);
  EXPECT_EQ(wide[2].cols, 3u);

  std::srand(77);
  auto one = runTessik({Array::scalar(-2.5), Array::scalar(1), Array::scalar(1)});
  std::srand(77);
  const double draw = std::rand();
  EXPECT_EQ(one[0].values, std::vector<double>{-2.5});
  EXPECT_EQ(one[1].values, std::vector<double>{draw});
  EXPECT_EQ(one[2].values, (std::vector<double>{0, 0, 1}));
}

TEST(TessikShapes, ResultCountFollowsNlhs) {
  const Array img = fromRows(2, {0, 0, 0, 4});
  for (int nlhs : {0, 1, 2, 3}) {
    auto out = runTessik({img, Array::scalar(4)}, nlhs);
    ASSERT_EQ(out.size(), static_cast<std::size_t>(std::max(nlhs, 1)));
    EXPECT_EQ(out[0].values, std::vector<double>(4, 1.0));
  }
}

TEST(TessikShapes, IntegerAndLogicalImagesActAsTheirDoubles) {
  const Array img = randomIntegers(8, 3, 255);
  const Array asInt = Array::ofKind(ClassKind::Integer, 8, 8, img.values);
  std::vector<double> bits(64);
  for (int k = 0; k < 64; ++k) bits[k] = (k * 7 % 5) < 2;
  const Array asLogical = Array::ofKind(ClassKind::Logical, 8, 8, bits);
  const std::pair<Array, Array> cases[] = {{img, asInt}, {Array::matrix(8, 8, bits), asLogical}};
  for (const auto& [dbl, other] : cases) {
    std::srand(8);
    auto a = runTessik({dbl, Array::scalar(2), Array::scalar(2)});
    std::srand(8);
    auto b = runTessik({other, Array::scalar(2), Array::scalar(2)});
    for (int s = 0; s < 3; ++s) EXPECT_EQ(a[s].values, b[s].values) << "result " << s;
  }
}

TEST(TessikChecks, MessagesInCheckOrder) {
  const Array good = Array::zeros(4, 4);
  const Array one = Array::scalar(1);
  Array complexPen = Array::scalar(1);
  complexPen.complex = true;
  Array complexImage = Array::zeros(4, 4);
  complexImage.complex = true;
  const Array charImage = Array::ofKind(ClassKind::Char, 4, 4, std::vector<double>(16, 65));
  const Array cellImage = Array::ofKind(ClassKind::Cell, 2, 2, std::vector<double>(4, 0));
  const Array charBad = Array::ofKind(ClassKind::Char, 6, 6, std::vector<double>(36, 65));
  const std::string kMost = "There are at most 3 input parameters allowed!";
  const std::string kPen = "Input pen must be a scalar.";
  const std::string kPositive = "The penalty must be positive.";
  const std::string kShScalar = "Input sh must be a scalar.";
  const std::string kSquare = "Images must be square.";
  const std::string kRows = "The matrix row dimension must be of size m*2^(L)";
  const std::string kCols = "The matrix column dimension must be of size n*2^(L)";
  const std::string kClass = "Input image must be a real numeric matrix.";
  const std::string kVector = "This is an image processing method; it cannot process a vector.";
  const std::string kSh = "Input sh must be a positive integer that divides the image sides.";

  EXPECT_EQ(errorOf({good, one}, 4), "Too many output arguments.");
  EXPECT_EQ(errorOf({good, one, one, one}), kMost);
  EXPECT_EQ(errorOf({charBad, Array::scalar(-1), Array::empty(), one}), kMost);
  EXPECT_EQ(errorOf({}), "There is at least 1 input parameter required!");
  EXPECT_EQ(errorOf({good}), "At this point the penalty must be input.");
  EXPECT_EQ(errorOf({good, Array::empty()}), kPen);
  EXPECT_EQ(errorOf({good, complexPen}), kPen);
  EXPECT_EQ(errorOf({good, Array::zeros(1, 2)}), kPen);
  EXPECT_EQ(errorOf({good, Array::string("a")}), kPen);
  EXPECT_EQ(errorOf({good, Array::scalar(-1)}), kPositive);
  EXPECT_EQ(errorOf({good, Array::scalar(std::nan(""))}), kPositive);
  EXPECT_EQ(errorOf({good, Array::scalar(0)}), "<no error>");
  // Any real numeric or logical scalar serves as pen and sh, as in the other modules.
  EXPECT_EQ(errorOf({good, Array::ofKind(ClassKind::Single, 1, 1, {1}), Array::ofKind(ClassKind::Integer, 1, 1, {2})}),
            "<no error>");
  EXPECT_EQ(errorOf({good, Array::ofKind(ClassKind::Logical, 1, 1, {1})}), "<no error>");
  // The penalty and sh are checked before anything about the image.
  EXPECT_EQ(errorOf({Array::zeros(6, 6), Array::scalar(-1)}), kPositive);
  EXPECT_EQ(errorOf({Array::zeros(2, 4), one, Array::zeros(1, 2)}), kShScalar);
  EXPECT_EQ(errorOf({good, one, Array::empty()}), kShScalar);
  EXPECT_EQ(errorOf({Array::zeros(2, 4), one}), kSquare);
  EXPECT_EQ(errorOf({Array::zeros(3, 6), one}), kSquare);
  EXPECT_EQ(errorOf({Array::zeros(6, 6), one}), kRows);
  EXPECT_EQ(errorOf({Array::zeros(1, 6), one}), kCols);
  // Not an image at all: its class is named before its shape is judged.
  EXPECT_EQ(errorOf({charBad, one}), kClass);
  EXPECT_EQ(errorOf({Array::ofKind(ClassKind::Struct, 1, 1, {0}), one}), kClass);
  Array volume = Array::zeros(8, 16);
  volume.dims = 3;  // 8 x 8 x 2, its trailing dimensions folded into the columns
  EXPECT_EQ(errorOf({volume, one}), kClass);

  EXPECT_EQ(errorOf({charImage, one}), kClass);
  EXPECT_EQ(errorOf({cellImage, one}), kClass);
  EXPECT_EQ(errorOf({complexImage, one}), kClass);
  EXPECT_EQ(errorOf({Array::ofKind(ClassKind::Char, 1, 4, std::vector<double>(4, 65)), one}), kClass);
  EXPECT_EQ(errorOf({Array::zeros(1, 4), one}), kVector);
  EXPECT_EQ(errorOf({Array::zeros(4, 1), one}), kVector);
  EXPECT_EQ(errorOf({Array::zeros(1, 4), one, Array::scalar(3)}), kVector);
  for (double sh : {0.0, -1.0, 3.0, 8.0, std::nan(""), HUGE_VAL, 1e10, 0.5})
    EXPECT_EQ(errorOf({good, one, Array::scalar(sh)}), kSh) << "sh " << sh;
  EXPECT_EQ(errorOf({Array::scalar(3), one, Array::scalar(2)}), kSh);
  EXPECT_EQ(errorOf({good, one, Array::scalar(4)}), "<no error>");
  // Finite values beyond 1e100 would give Inf estimates; NaN and Inf pass as they are.
  EXPECT_EQ(errorOf({Array::matrix(2, 2, {1, 2e100, 0, 0}), one}), "Values too large: magnitudes up to 1e100 are accepted.");
  EXPECT_EQ(errorOf({Array::matrix(2, 2, {1, HUGE_VAL, std::nan(""), -1e100}), one}), "<no error>");
}

// Values of one kind for the parity cases; `kind` cycles through them.
double parityValue(int kind, bool poisson, std::mt19937& gen, int i, int j) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const double base = 3.0 * ((i / 3 + j / 5) % 2) + (poisson ? 0.0 : -1.0);
  switch (kind) {
    case 0:  // smooth picture plus noise
      return poisson ? std::floor(base + 4 * unit(gen)) : base + std::normal_distribution<double>(0, 0.5)(gen);
    case 1:  // few integers: ties and flat squares
      return static_cast<double>(std::uniform_int_distribution<int>(0, 2)(gen));
    case 2:  // mostly zeros of both signs
      return unit(gen) < 0.8 ? (unit(gen) < 0.5 ? 0.0 : -0.0) : 1.0;
    case 3:  // negative values, also under Poisson
      return -std::floor(5 * unit(gen)) + (unit(gen) < 0.3 ? 2.0 : 0.0);
    default: {  // specials among ordinary values
      static const double specials[] = {
          std::numeric_limits<double>::quiet_NaN(), HUGE_VAL, -HUGE_VAL, 1e100, -1e100, 4.9e-324, 1e-310, -0.0};
      return unit(gen) < 0.15 ? specials[std::uniform_int_distribution<int>(0, 7)(gen)] : base + unit(gen);
    }
  }
}

bool sameBits(const double* a, const double* b, std::size_t n) { return std::memcmp(a, b, n * sizeof(double)) == 0; }

// The block mean reached through a different pointer: the fast pruning then
// takes its path for arbitrary block fits.
void meanAsAnyFit(const dyadfit::Grid& source, dyadfit::Grid& target, int i0, int j0, int R, int C) {
  dyadfit::fitBlockMean(source, target, i0, j0, R, C);
}

// Restores the thread count the environment chose.
struct ThreadCount {
  explicit ThreadCount(int n) { dyadfit::setThreadCount(n); }
  ~ThreadCount() { dyadfit::setThreadCount(0); }
};

TEST(PruneDyadicParity, SameBitsAsTheLiteralPruning) {
  const int sides[][2] = {{1, 1},
                          {1, 4},
                          {2, 2},
                          {4, 2},
                          {8, 8},
                          {16, 4},
                          {4, 32},
                          {32, 32},
                          {64, 16},
                          {64, 64},
                          // large enough to be split among threads
                          {256, 128},
                          {128, 256}};
  std::mt19937 gen(2024);
  int cases = 0;
  for (const auto& mn : sides)
    for (int kind = 0; kind < 5; ++kind)
      for (bool poisson : {false, true})
        for (dyadfit::BlockFitFn fit : {dyadfit::fitBlockMean, meanAsAnyFit}) {
          const int M = mn[0], N = mn[1];
          const double pens[] = {0.0, 0.7, 4.0 * std::uniform_real_distribution<double>(0, 1)(gen), 1e3};
          const double pen = pens[cases % 4];
          const int threads = 1 + cases % 3;
          ++cases;
          const dyadfit::Grid data =
              dyadfit::test::makeGrid(M, N, [&](int i, int j) { return parityValue(kind, poisson, gen, i, j); });
          const std::string_view noise = poisson ? dyadfit::kPoisson : dyadfit::kGaussian;
          dyadfit::Grid e1(M, N), l1(M, N), e2(M, N), l2(M, N);
          std::vector<dyadfit::DyadicSquare> s1, s2;
          std::srand(77);
          dyadfit::pruneDyadicReference(data, M, N, pen, e1, l1, s1, noise, fit);
          const int after = std::rand();
          {
            ThreadCount count(threads);
            std::srand(77);
            dyadfit::pruneDyadic(data, M, N, pen, e2, l2, s2, noise, fit);
          }
          const std::string what = std::to_string(M) + "x" + std::to_string(N) + " kind " + std::to_string(kind) +
                                   (poisson ? " Poisson" : " Gaussian") + " pen " + std::to_string(pen) +
                                   (fit == meanAsAnyFit ? " any fit" : " mean") + " threads " + std::to_string(threads);
          EXPECT_EQ(std::rand(), after) << what << ": one draw per element";
          EXPECT_TRUE(sameBits(e1.data(), e2.data(), e1.size())) << what << ": estimate";
          EXPECT_TRUE(sameBits(l1.data(), l2.data(), l1.size())) << what << ": labels";
          ASSERT_EQ(s1.size(), s2.size());
          EXPECT_EQ(std::memcmp(s1.data(), s2.data(), s1.size() * sizeof(dyadfit::DyadicSquare)), 0) << what;
        }
}

TEST(PruneDyadicParity, SidesThatDoNotTileAreAnError) {
  const dyadfit::Grid data(6, 4);
  dyadfit::Grid estimate(6, 4), label(6, 4);
  std::vector<dyadfit::DyadicSquare> squares;
  dyadfit::test::expectError(
      [&] {
        dyadfit::pruneDyadic(data, 6, 4, 1.0, estimate, label, squares, dyadfit::kGaussian, dyadfit::fitBlockMean);
      },
      "The grid sides must be multiples of the largest dyadic square.");
}

TEST(TessikParity, SameBitsAsTheReference) {
  std::mt19937 gen(99);
  int cases = 0;
  for (int n : {1, 2, 8, 64, 256})
    for (int kind = 0; kind < 5; ++kind)
      for (int sh : {1, 2, 8}) {
        if (sh > n) continue;
        Array img = Array::zeros(n, n);
        for (int c = 0; c < n; ++c)
          for (int r = 0; r < n; ++r) img(r, c) = parityValue(kind, false, gen, r, c);
        const double pen = cases % 4 == 3 ? 1e300 : 0.3 * (cases % 4);
        const int threads = 1 + cases % 3;
        ++cases;
        std::vector<Array> inputs = {img, Array::scalar(pen), Array::scalar(sh)};
        if (kind == 1) inputs[0] = Array::ofKind(ClassKind::Integer, n, n, img.values);
        std::srand(5);
        auto want = dyadfit::callEntry(dyadfit::tessikReference, inputs, 3);
        ThreadCount count(threads);
        std::srand(5);
        auto got = runTessik(inputs);
        for (int k = 0; k < 3; ++k) {
          ASSERT_EQ(got[k].values.size(), want[k].values.size());
          EXPECT_TRUE(sameBits(got[k].values.data(), want[k].values.data(), got[k].values.size()))
              << "n " << n << " kind " << kind << " sh " << sh << " pen " << pen << " result " << k;
        }
      }
}

TEST(TessikParity, NegativeZeroLeavesAsPositiveZero) {
  // The literal stage adds its estimate into zero-filled results.
  Array img = Array::zeros(2, 2);
  for (double& v : img.values) v = -0.0;
  for (double pen : {0.0, 1e300}) {
    const auto out = runTessik({img, Array::scalar(pen)});
    for (double v : out[0].values) EXPECT_FALSE(std::signbit(v)) << pen;
  }
}

TEST(TessikParity, PruneConstantAddsLabelsOnAnyShape) {
  std::mt19937 gen(3);
  for (auto [M, N] : {std::pair{4, 16}, std::pair{16, 4}, std::pair{8, 8}}) {
    const std::size_t pixels = static_cast<std::size_t>(M) * N;
    std::vector<double> pre(pixels);
    for (double& v : pre) v = std::uniform_int_distribution<int>(0, 3)(gen);
    std::vector<double> labels1(pixels, 0.5), labels2(pixels, 0.5), est1(pixels, 9), est2(pixels, 9);
    std::vector<double> sq1(3 * pixels), sq2(3 * pixels);
    std::srand(8);
    dyadfit::pruneConstantReference(pre.data(), M, N, 1.2, labels1.data(), est1.data(), sq1.data());
    std::srand(8);
    dyadfit::pruneConstant(pre.data(), M, N, 1.2, labels2.data(), est2.data(), sq2.data());
    EXPECT_TRUE(sameBits(est1.data(), est2.data(), pixels)) << M << "x" << N;
    EXPECT_TRUE(sameBits(labels1.data(), labels2.data(), pixels)) << M << "x" << N;
    EXPECT_TRUE(sameBits(sq1.data(), sq2.data(), 3 * pixels)) << M << "x" << N;
  }
}

TEST(GridUtilsParity, BlockAverageAndCyclicShiftAsTheirLiteralLoops) {
  std::mt19937 gen(12);
  for (auto [M, N] : {std::pair{8, 4}, std::pair{512, 256}})
    for (int threads : {1, 3}) {
      ThreadCount count(threads);
      const dyadfit::Grid src =
          dyadfit::test::makeGrid(M, N, [&](int i, int j) { return parityValue((i + j) % 5, false, gen, i, j); });
      for (int s : {1, 2, 4}) {
        dyadfit::Grid want(M, N), got(M, N), inPlace = src;
        for (int r0 = 0; r0 < M; r0 += s)
          for (int c0 = 0; c0 < N; c0 += s) {
            double sum = 0.0;
            for (int u = 0; u < s; ++u)
              for (int v = 0; v < s; ++v) sum += src[r0 + u][c0 + v];
            for (int u = 0; u < s; ++u)
              for (int v = 0; v < s; ++v) want[r0 + u][c0 + v] = (sum / s) / s;
          }
        dyadfit::blockAverage(s, src, got, M, N);
        dyadfit::blockAverage(s, inPlace, inPlace, M, N);
        EXPECT_TRUE(sameBits(want.data(), got.data(), want.size())) << M << "x" << N << " s " << s;
        EXPECT_TRUE(sameBits(want.data(), inPlace.data(), want.size())) << M << "x" << N << " s " << s;
      }
      for (int offset : {0, 1, -3, N + 2}) {
        dyadfit::Grid got(M, N);
        dyadfit::cyclicShift(src, got, offset, M, N);
        bool same = true;
        for (int i = 0; i < M; ++i)
          for (int j = 0; j < N; ++j)
            same = same &&
                   std::memcmp(&got[i][j], &src[dyadfit::floorMod(i - offset, M)][dyadfit::floorMod(j - offset, N)],
                               sizeof(double)) == 0;
        EXPECT_TRUE(same) << M << "x" << N << " offset " << offset;
      }
    }
}

}  // namespace

TEST(GridUtilsParity, RoundHalfAwayIsTheLibrarysRound) {
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<double> values = {0.5, -0.5, 1.5, 2.5, -2.5, 0.49999999999999994, -0.49999999999999994, -0.3, 0.0, -0.0,
                                4503599627370495.5, -4503599627370495.5, 4503599627370496.0, 9007199254740993.0, 1e100,
                                -1e100, 255.5, 65534.5, inf, -inf, std::numeric_limits<double>::denorm_min()};
  std::mt19937_64 gen(3);
  for (int k = 0; k < 20000; ++k) {
    const double m = std::uniform_real_distribution<double>(-1.0, 1.0)(gen);
    values.push_back(std::ldexp(m, std::uniform_int_distribution<int>(-4, 60)(gen)));
    values.push_back(std::floor(values.back()) + 0.5);
  }
  for (double v : values) {
    const double want = std::round(v), got = dyadfit::roundHalfAway(v);
    EXPECT_EQ(0, std::memcmp(&want, &got, sizeof got)) << v;
  }
  EXPECT_TRUE(std::isnan(dyadfit::roundHalfAway(std::nan(""))));
}
