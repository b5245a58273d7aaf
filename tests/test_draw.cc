// SPDX-License-Identifier: BSD-3-Clause
// The partition handed to C++ callers (its cut lines against the masks the
// refinement used, worked module cases) and its drawing, pixel by pixel.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "constant/tessik_entry.h"
#include "draw/draw_partition.h"
#include "draw/show_entry.h"
#include "dyadic/parallel.h"
#include "dyadic/partition.h"
#include "dyadic/wedge_mask.h"
#include "host/standalone.h"
#include "platelet/quarlo_entry.h"
#include "wedgelet/brindel_entry.h"

namespace {

using namespace dyadfit;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// The picture as text: '#' outline colour, '/' cut colour, '.' anything else.
std::vector<std::string> art(const std::vector<double>& pic, std::size_t R, std::size_t C, const DrawOptions& o) {
  std::vector<std::string> rows(R, std::string(C, '.'));
  for (std::size_t r = 0; r < R; ++r)
    for (std::size_t c = 0; c < C; ++c) {
      const std::size_t k = r + R * c;
      const std::array<double, 3> rgb{pic[k], pic[k + R * C], pic[k + 2 * R * C]};
      if (rgb == o.outline) rows[r][c] = '#';
      if (rgb == o.cut) rows[r][c] = '/';
    }
  return rows;
}

PartitionSquare square(int row, int col, int side) {
  PartitionSquare s;
  s.row = row, s.col = col, s.side = side;
  return s;
}

TEST(DrawPartition, OutlinesAndCutPixels) {
  // 8 x 8: a split 4 x 4 square, two whole ones and four of side 2, at scale 2.
  // Neighbours share one line: a square's far edges lie on the first picture
  // row and column past its block, or on the last ones at the image border.
  // The cut runs from (row 4, col 0.5) to (row 0, col 3): picture pixels
  // (7, 1) (row 8 clamped into the square) to (0, 6), walked by Bresenham.
  Partition p{8,
              8,
              4,
              0,
              {square(0, 0, 4), square(4, 0, 4), square(0, 4, 4), square(4, 4, 2), square(6, 4, 2), square(4, 6, 2),
               square(6, 6, 2)}};
  p.squares[0].split = p.squares[0].crosses = true;
  p.squares[0].from = {4.0, 0.5};
  p.squares[0].to = {0.0, 3.0};
  std::vector<double> grey(64);
  for (std::size_t k = 0; k < 64; ++k) grey[k] = static_cast<double>(k);
  DrawOptions o;
  o.scale = 2, o.lo = 0, o.hi = 63, o.outline = {1.0, 0.5, 0.0}, o.cut = {0.0, 0.0, 1.0}, o.alpha = 1;
  const std::vector<double> pic = drawPartition(grey.data(), 8, 8, p, o);
  ASSERT_EQ(pic.size(), 16u * 16u * 3u);
  const std::vector<std::string> expected = {
      "######/#########", "#..../..#......#", "#..../..#......#", "#.../...#......#",
      "#../....#......#", "#./.....#......#", "#./.....#......#", "#/......#......#",
      "################", "#.......#...#..#", "#.......#...#..#", "#.......#...#..#",
      "#.......########", "#.......#...#..#", "#.......#...#..#", "################"};
  EXPECT_EQ(art(pic, 16, 16, o), expected);
  // Grey elsewhere: picture pixel (3, 10) shows image pixel (1, 5), value 41.
  const std::size_t k = 3 + 16 * 10;
  EXPECT_EQ(pic[k], 41.0 / 63);
  EXPECT_EQ(pic[k + 256], 41.0 / 63);
  EXPECT_EQ(pic[k + 512], 41.0 / 63);
  EXPECT_EQ(partitionLegend(p, DrawOptions{}), "dyadic partition: 7 squares (yellow), 1 split by a cut (blue)");
  EXPECT_EQ(partitionLegend(1, 0, DrawOptions{}), "dyadic partition: 1 square (yellow)");

  // A square of the shifted pruning runs past the corner and wraps: its
  // edges fall on row and column 2. Lines are blended over the grey, a pixel
  // crossed by four of them once.
  const Partition wrap{4, 4, 4, 0, {square(2, 2, 4)}};
  const std::vector<double> half(16, 0.5);
  o.scale = 1, o.lo = 0, o.hi = 1, o.alpha = 0.75;
  const std::vector<double> blended = drawPartition(half.data(), 4, 4, wrap, o);
  const std::vector<std::string> lines = {"..#.", "..#.", "####", "..#."};
  for (std::size_t r = 0; r < 4; ++r)
    for (std::size_t c = 0; c < 4; ++c) {
      const bool line = lines[r][c] == '#';
      EXPECT_EQ(blended[r + 4 * c], line ? 0.875 : 0.5);
      EXPECT_EQ(blended[r + 4 * c + 16], 0.5);
      EXPECT_EQ(blended[r + 4 * c + 32], line ? 0.125 : 0.5);
    }
}

TEST(DrawPartition, GreyLevelsRangesAndErrors) {
  const std::vector<double> grey = {-1, 0, 1, 2, 3, kNaN, kInf, -kInf};
  DrawOptions o;
  o.lo = 0, o.hi = 2;
  const std::vector<double> pic = drawPartition(grey.data(), 2, 4, Partition{2, 4, 0, 0, {}}, o);
  const std::vector<double> levels = {0, 0, 0.5, 1, 1, 0, 1, 0};
  for (int plane = 0; plane < 3; ++plane)
    EXPECT_EQ(std::vector<double>(pic.begin() + 8 * plane, pic.begin() + 8 * plane + 8), levels);

  // A stop asked for ends the drawing with the interruption's message.
  {
    InterruptScope stopped([] { return true; });
    try {
      drawPartition(grey.data(), 2, 4, Partition{2, 4, 0, 0, {}}, o);
      ADD_FAILURE() << "drawing went on after a stop";
    } catch (const Error& e) {
      EXPECT_STREQ(e.what(), kMsgInterrupted);
    }
  }

  double lo = 0, hi = 0;
  displayRange(grey.data(), grey.size(), lo, hi);
  EXPECT_EQ(lo, -1.0);
  EXPECT_EQ(hi, 3.0);
  const double flat[] = {5, 5, kNaN};
  displayRange(flat, 3, lo, hi);
  EXPECT_EQ(lo, 4.0);
  EXPECT_EQ(hi, 6.0);
  const double huge[] = {1e300};
  displayRange(huge, 1, lo, hi);
  EXPECT_TRUE(lo < 1e300 && hi > 1e300);
  const double none[] = {kNaN, kInf};
  displayRange(none, 2, lo, hi);
  EXPECT_EQ(lo, 0.0);
  EXPECT_EQ(hi, 1.0);

  auto message = [&](Partition p, DrawOptions d, std::size_t rows = 2, std::size_t cols = 4) {
    try {
      drawPartition(grey.data(), rows, cols, p, d);
    } catch (const Error& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  const Partition none24{2, 4, 0, 0, {}};
  DrawOptions bad = o;
  bad.scale = 0;
  EXPECT_EQ(message(none24, bad), "The scale must be a positive integer.");
  bad = o, bad.hi = 0;
  EXPECT_EQ(message(none24, bad), "The display range must be two finite values, lo < hi.");
  bad = o, bad.lo = kNaN;
  EXPECT_EQ(message(none24, bad), "The display range must be two finite values, lo < hi.");
  bad = o, bad.cut = {0, 1.5, 0};
  EXPECT_EQ(message(none24, bad), "Colours must lie in [0, 1].");
  bad = o, bad.alpha = kNaN;
  EXPECT_EQ(message(none24, bad), "The line opacity must lie in [0, 1].");
  bad = o, bad.scale = 1 << 14;
  EXPECT_EQ(message(none24, bad), "The picture would be too large.");
  EXPECT_EQ(message(none24, o, 4, 2), "The partition is not of the image's size.");
  EXPECT_EQ(message(Partition{2, 4, 0, 0, {square(0, 0, 1), square(0, 3, 3)}}, o),
            "Square 2 of the partition is not a square of the image.");
  EXPECT_EQ(message(Partition{2, 4, 0, 0, {square(0, 4, 1)}}, o),
            "Square 1 of the partition is not a square of the image.");
}

// Every cut line leaves the pixels whose mask is 1 on one side and those
// whose mask is 0 on the other: rows and columns, frame and orientation
// agree with the refinement's masks, for every side and many candidates.
TEST(Partition, CutLinesSeparateTheirMasks) {
  const int K = 7;
  int missed = 0;
  for (int n : {1, 2, 4, 8, 16}) {
    Grid mask(n, n);
    for (std::int64_t c = 0; c < K * K; ++c) {
      PartitionSquare s = square(3, 5, n);
      setCutLine(s, c, K);
      wedgeMask(mask, s.offset, s.angle, n);
      double ones = 0;
      for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) ones += mask[i][j];
      if (!s.crosses) {
        EXPECT_TRUE(ones == 0 || ones == n * n) << "n=" << n << " candidate " << c;
        ++missed;
        continue;
      }
      for (const PixelPoint& p : {s.from, s.to}) {  // on the border
        const bool onRow = p.row == 3 || p.row == 3 + n, onCol = p.col == 5 || p.col == 5 + n;
        EXPECT_TRUE((onRow && p.col >= 5 && p.col <= 5 + n) || (onCol && p.row >= 3 && p.row <= 3 + n));
      }
      int sideOfOnes = 0;              // +1 or -1 once known
      for (int i = 0; i < n; ++i)      // column in the square (the mask's outer index)
        for (int j = 0; j < n; ++j) {  // row
          const double cross = (s.to.row - s.from.row) * (5 + i + 0.5 - s.from.col) -
                               (s.to.col - s.from.col) * (3 + j + 0.5 - s.from.row);
          if (std::abs(cross) < 1e-9 * n) continue;
          const int side = (cross > 0) == (mask[i][j] == 1.0) ? 1 : -1;
          if (sideOfOnes == 0) sideOfOnes = side;
          EXPECT_EQ(side, sideOfOnes) << "n=" << n << " candidate " << c << " pixel row " << j << " col " << i;
        }
    }
  }
  EXPECT_GT(missed, 0);  // some offsets lie beyond a small square's border
}

TEST(Partition, ModulesReportSquaresAndCuts) {
  // An 8 x 8 step, one square of side 8, 3 x 3 lines: a vertical edge is cut
  // by candidate 0 (offset 0, angle 0) down column 4, a horizontal one by
  // candidate 1 (angle 90) along row 4; the refit is exact.
  for (bool vertical : {true, false})
    for (PartitionedEntryFn entry : {brindelPartitioned, quarloPartitioned}) {
      Array img = Array::zeros(8, 8);
      for (std::size_t c = 0; c < 8; ++c)
        for (std::size_t r = 0; r < 8; ++r) img(r, c) = (vertical ? c : r) >= 4 ? 10.0 : 0.0;
      Partition p;
      const std::vector<Array> out = callEntry(
          entry,
          {img, Array::scalar(8), Array::string("Gaussian"), Array::scalar(1), Array::scalar(1), Array::scalar(9)}, 4,
          p);
      EXPECT_EQ(out[3].values, (std::vector<double>{0, 0, 8}));
      if (entry == brindelPartitioned) {
        EXPECT_EQ(out[0].values, img.values);
      }
      ASSERT_EQ(p.squares.size(), 1u);
      const PartitionSquare& s = p.squares[0];
      EXPECT_EQ(p.blockSide, 8);
      EXPECT_EQ(p.resolution, 3);
      EXPECT_TRUE(s.refined && s.split && s.crosses);
      EXPECT_EQ(s.candidate, vertical ? 0 : 1);
      EXPECT_EQ(s.angle, vertical ? 0.0 : 90.0);
      const double endsRow[] = {vertical ? 8.0 : 4.0, vertical ? 0.0 : 4.0};
      const double endsCol[] = {vertical ? 4.0 : 8.0, vertical ? 4.0 : 0.0};
      EXPECT_NEAR(s.from.row, endsRow[0], 1e-12);
      EXPECT_NEAR(s.from.col, endsCol[0], 1e-12);
      EXPECT_NEAR(s.to.row, endsRow[1], 1e-12);
      EXPECT_NEAR(s.to.col, endsCol[1], 1e-12);
    }

  // tessik on four flat quadrants: the quadrants, by column, then row.
  Array img = Array::zeros(8, 8);
  for (std::size_t c = 0; c < 8; ++c)
    for (std::size_t r = 0; r < 8; ++r) img(r, c) = static_cast<double>((r / 4) + 2 * (c / 4));
  Partition p;
  const std::vector<Array> out = callEntry(tessikPartitioned, {img, Array::scalar(0.5)}, 3, p);
  ASSERT_EQ(p.squares.size(), 4u);
  const int corners[4][2] = {{0, 0}, {4, 0}, {0, 4}, {4, 4}};
  for (int q = 0; q < 4; ++q) {
    EXPECT_EQ(p.squares[q].row, corners[q][0]);
    EXPECT_EQ(p.squares[q].col, corners[q][1]);
    EXPECT_EQ(p.squares[q].side, 4);
    EXPECT_FALSE(p.squares[q].refined);
  }
  // The same squares from tessik's result 3, and from them as distinct rows.
  const Partition perPixel = partitionFromSquares(out[2].values.data(), 64, SquaresLayout::PerPixel, 8, 8);
  const std::vector<double> distinct = {0, 0, 4, 4, 0, 4, 0, 4, 4, 4, 4, 4};  // [column, row, side]
  const Partition fromDistinct = partitionFromSquares(distinct.data(), 4, SquaresLayout::Distinct, 8, 8);
  ASSERT_EQ(perPixel.squares.size(), 4u);
  ASSERT_EQ(fromDistinct.squares.size(), 4u);
  for (int q = 0; q < 4; ++q) {
    EXPECT_EQ(perPixel.squares[q].row, corners[q][0]);
    EXPECT_EQ(perPixel.squares[q].col, corners[q][1]);
    EXPECT_EQ(fromDistinct.squares[q].row, corners[q][0]);
    EXPECT_EQ(fromDistinct.squares[q].col, corners[q][1]);
  }
}

TEST(Partition, ShowEntryResultsAndMessages) {
  // A 2 x 2 image outlined whole: every pixel on a line, the planes side by
  // side; the gateway's legend counts come with the counted entry.
  const Array img = Array::matrix(2, 2, {1, 2, 3, 4});
  std::vector<Array> out =
      callEntry(dyadfitShowCounted, {img, Array::matrix(1, 3, {0, 0, 2}), Array::empty(), Array::scalar(1)}, 2);
  EXPECT_EQ(out[0].rows, 2u);
  const DrawOptions d;
  std::vector<double> outlined;
  for (double c : d.outline)
    for (double v : {1.0, 2.0, 3.0, 4.0}) outlined.push_back(d.alpha * c + (1 - d.alpha) * ((v - 1) / 3));
  EXPECT_EQ(out[0].values, outlined);
  EXPECT_EQ(out[1].values, (std::vector<double>{1, 0}));
  // No squares, scale 2, range [0 4]: the grey levels, each pixel four times.
  out = callEntry(dyadfitShow, {img, Array::empty(), Array::empty(), Array::scalar(2), Array::matrix(1, 2, {0, 4})}, 1);
  EXPECT_EQ(out[0].rows, 4u);
  EXPECT_EQ(out[0].cols, 12u);
  EXPECT_EQ(out[0](3, 1), 0.5);    // image (1, 0) = 2
  EXPECT_EQ(out[0](0, 11), 0.75);  // blue plane, image (0, 1) = 3
  EXPECT_EQ(defaultShowScale(8, 8), 64);
  EXPECT_EQ(defaultShowScale(600, 2), 2);
  EXPECT_EQ(defaultShowScale(1025, 2), 1);

  auto message = [](std::vector<Array> in, int nlhs = 1) {
    try {
      callEntry(dyadfitShow, in, nlhs);
    } catch (const Error& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  const Array sq = Array::matrix(1, 3, {0, 0, 2}), none = Array::empty();
  EXPECT_EQ(message({img}), "There are at least 2 input parameters required!");
  EXPECT_EQ(message({img, sq, none, none, none, none}), "There are at most 5 input parameters allowed!");
  EXPECT_EQ(message({img, sq}, 2), "Too many output arguments.");
  EXPECT_EQ(message({Array::empty(), sq}), "img must be a non-empty real numeric or logical matrix.");
  EXPECT_EQ(message({Array::string("ab"), sq}), "img must be a non-empty real numeric or logical matrix.");
  EXPECT_EQ(message({img, Array::matrix(1, 2, {0, 0})}), "squares must be a real matrix of 3 columns.");
  EXPECT_EQ(message({img, sq, Array::string("rows")}), "layout must be 'pixels' or 'distinct'.");
  EXPECT_EQ(message({img, sq, none, Array::scalar(1.5)}), "scale must be a positive integer.");
  EXPECT_EQ(message({img, sq, none, Array::scalar(0)}), "scale must be a positive integer.");
  EXPECT_EQ(message({img, sq, none, none, Array::matrix(1, 2, {1, 1})}), "range must be [lo hi] with finite lo < hi.");
  EXPECT_EQ(message({img, sq, none, none, Array::scalar(1)}), "range must be [lo hi] with finite lo < hi.");
  EXPECT_EQ(message({img, sq, Array::string("pixels")}),
            "A per-pixel squares matrix needs one row per pixel of the image.");
  EXPECT_EQ(message({img, Array::matrix(2, 3, {0, 1, 0, 0, 2, kNaN})}),
            "Row 2 of squares is not a square of the image.");
  EXPECT_EQ(message({img, Array::matrix(1, 3, {0, 0, 3})}), "Row 1 of squares is not a square of the image.");
  EXPECT_EQ(message({img, Array::matrix(1, 3, {0, 0.5, 1})}), "Row 1 of squares is not a square of the image.");
  EXPECT_EQ(message({img, Array::matrix(1, 3, {2, 0, 1})}), "Row 1 of squares is not a square of the image.");
}

}  // namespace
