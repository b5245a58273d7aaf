// SPDX-License-Identifier: BSD-3-Clause
#include "dyadic/partition.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string>

#include "dyadic/split_search.h"
#include "host/host.h"

namespace dyadfit {
namespace {

constexpr double kPi = 3.141592653589793;  // as the masks use it

}  // namespace

void setCutLine(PartitionSquare& square, std::int64_t candidate, int resolution) {
  const int n = square.side;
  square.candidate = candidate;
  square.crosses = false;
  square.from = square.to = PixelPoint{};
  if (candidate < 0 || resolution <= 0 || n <= 0) {
    square.offset = square.angle = 0.0;
    return;
  }
  const int k = static_cast<int>(candidate / resolution);
  const int l = static_cast<int>(candidate % resolution);
  square.offset = candidateOffset(n, k, resolution);
  square.angle = candidateAngle(l, resolution);
  const double theta = kPi * square.angle / 180;
  const double cosT = std::cos(theta), sinT = std::sin(theta);

  // The mask's frame: pixel (j, i) of the square has its centre at
  // x = i + 0.5 - cx, y = cy - j - 0.5 (integer divisions as the mask takes them).
  const int cx = -((-n) / 2), cy = n / 2;
  const double lo[2] = {static_cast<double>(-cx), static_cast<double>(cy - n)};
  const double hi[2] = {static_cast<double>(n - cx), static_cast<double>(cy)};
  // The line as base + t * direction, clipped to the square (Liang-Barsky).
  const double base[2] = {square.offset * cosT, square.offset * sinT};
  const double dir[2] = {-sinT, cosT};
  // Each end keeps the border it lies on exactly, whatever the rounding of t.
  struct End {
    double t;
    int axis;  // the axis whose bound it lies on; -1: none yet
    double bound;
  } ends[2] = {{-std::numeric_limits<double>::infinity(), -1, 0.0}, {std::numeric_limits<double>::infinity(), -1, 0.0}};
  for (int a = 0; a < 2; ++a) {
    if (dir[a] == 0.0) {
      if (base[a] < lo[a] || base[a] > hi[a]) return;
      continue;
    }
    End low{(lo[a] - base[a]) / dir[a], a, lo[a]}, high{(hi[a] - base[a]) / dir[a], a, hi[a]};
    if (low.t > high.t) std::swap(low, high);
    if (low.t > ends[0].t) ends[0] = low;
    if (high.t < ends[1].t) ends[1] = high;
  }
  if (!(ends[0].t <= ends[1].t)) return;
  auto at = [&](const End& e) {
    // Rounding may leave the other coordinate a hair outside the square.
    double x = std::clamp(base[0] + e.t * dir[0], lo[0], hi[0]);
    double y = std::clamp(base[1] + e.t * dir[1], lo[1], hi[1]);
    (e.axis == 0 ? x : y) = e.bound;
    return PixelPoint{square.row + (cy - y), square.col + (x + cx)};
  };
  square.crosses = true;
  square.from = at(ends[0]);
  square.to = at(ends[1]);
}

Partition partitionFromSquares(const double* squares, std::size_t count, SquaresLayout layout, std::size_t rows,
                               std::size_t cols) {
  if (layout == SquaresLayout::PerPixel && count != rows * cols)
    throw Error("A per-pixel squares matrix needs one row per pixel of the image.");
  Partition p;
  p.rows = rows;
  p.cols = cols;
  const double smaller = static_cast<double>(std::min(rows, cols));
  std::vector<std::array<int, 3>> keys;  // (col, row, side)
  keys.reserve(layout == SquaresLayout::PerPixel ? 0 : count);
  for (std::size_t k = 0; k < count; ++k) {
    const double a = squares[k], b = squares[k + count], side = squares[k + 2 * count];
    const double row = layout == SquaresLayout::PerPixel ? a : b;
    const double col = layout == SquaresLayout::PerPixel ? b : a;
    // Comparisons written so that NaN fails each of them.
    if (!(side >= 1 && side <= smaller && std::floor(side) == side && row >= 0 && row < static_cast<double>(rows) &&
          std::floor(row) == row && col >= 0 && col < static_cast<double>(cols) && std::floor(col) == col))
      throw Error("Row " + std::to_string(k + 1) + " of squares is not a square of the image.");
    // One row per pixel: a square is listed by each of its pixels.
    if (layout == SquaresLayout::PerPixel && !keys.empty() && keys.back()[0] == static_cast<int>(col) &&
        keys.back()[1] == static_cast<int>(row) && keys.back()[2] == static_cast<int>(side))
      continue;
    keys.push_back({static_cast<int>(col), static_cast<int>(row), static_cast<int>(side)});
  }
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  p.squares.reserve(keys.size());
  for (const auto& key : keys) {
    PartitionSquare s;
    s.col = key[0];
    s.row = key[1];
    s.side = key[2];
    p.squares.push_back(s);
  }
  return p;
}

}  // namespace dyadfit
