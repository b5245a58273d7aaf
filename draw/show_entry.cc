// SPDX-License-Identifier: BSD-3-Clause
#include "draw/show_entry.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "draw/draw_partition.h"
#include "dyadic/partition.h"

namespace dyadfit {
namespace {

constexpr std::size_t kShowSide = 512;

// A value given by the user: anything but an empty matrix.
bool given(Inputs in, std::size_t k) { return in.size() > k && in[k]->rows() * in[k]->cols() > 0; }

bool isNumber(const Input& a) { return a.isRealMatrix() && a.rows() * a.cols() == 1; }

// The picture in result 1; with `counts`, [squares, cut squares] in result 2.
void show(Inputs in, Outputs& out, bool counts) {
  if (out.requested() > (counts ? 2 : 1)) throw Error(kMsgTooManyOutputs);
  if (in.size() > 5) throw Error("There are at most 5 input parameters allowed!");
  if (in.size() < 2) throw Error("There are at least 2 input parameters required!");

  const Input& img = *in[0];
  if (!img.isRealMatrix() || img.rows() * img.cols() == 0)
    throw Error("img must be a non-empty real numeric or logical matrix.");
  const std::size_t rows = img.rows(), cols = img.cols();
  const Input& sq = *in[1];
  // An empty squares matrix of any shape draws the image alone.
  const bool noSquares = sq.rows() * sq.cols() == 0 && sq.isNumericOrLogical() && sq.dims() == 2;
  if (!noSquares && (!sq.isRealMatrix() || sq.cols() != 3)) throw Error("squares must be a real matrix of 3 columns.");

  SquaresLayout layout = sq.rows() == rows * cols ? SquaresLayout::PerPixel : SquaresLayout::Distinct;
  if (given(in, 2)) {
    const std::string name = in[2]->isChar() ? in[2]->text() : std::string();
    if (name == "pixels")
      layout = SquaresLayout::PerPixel;
    else if (name == "distinct")
      layout = SquaresLayout::Distinct;
    else
      throw Error("layout must be 'pixels' or 'distinct'.");
  } else if (in.size() > 2 && !(in[2]->isChar() || in[2]->isNumericOrLogical())) {
    throw Error("layout must be 'pixels' or 'distinct'.");
  }

  DrawOptions options;
  options.scale = defaultShowScale(rows, cols);
  if (given(in, 3)) {
    const double s = isNumber(*in[3]) ? in[3]->scalar() : 0.0;
    if (!(s >= 1 && s <= 65536) || std::floor(s) != s) throw Error("scale must be a positive integer.");
    options.scale = static_cast<int>(s);
  }

  std::vector<double> grey(rows * cols);
  img.toDoubles(grey.data());
  displayRange(grey.data(), grey.size(), options.lo, options.hi);
  if (given(in, 4)) {
    const Input& r = *in[4];
    double range[2] = {0.0, 0.0};
    if (r.isRealMatrix() && r.rows() * r.cols() == 2) r.toDoubles(range);
    if (!(std::isfinite(range[0]) && std::isfinite(range[1]) && range[0] < range[1]))
      throw Error("range must be [lo hi] with finite lo < hi.");
    options.lo = range[0];
    options.hi = range[1];
  }

  std::vector<double> values;
  if (!noSquares) {
    values.resize(sq.rows() * 3);
    sq.toDoubles(values.data());
  }
  const Partition partition = partitionFromSquares(values.data(), noSquares ? 0 : sq.rows(), layout, rows, cols);
  const std::vector<double> picture = drawPartition(grey.data(), rows, cols, partition, options);
  const std::size_t R = rows * static_cast<std::size_t>(options.scale);
  const std::size_t C = cols * static_cast<std::size_t>(options.scale);
  std::memcpy(out.create(0, R, 3 * C), picture.data(), picture.size() * sizeof(double));
  if (counts) {
    double* n = out.create(1, 1, 2);
    n[0] = static_cast<double>(partition.squares.size());
    n[1] = static_cast<double>(std::count_if(partition.squares.begin(), partition.squares.end(),
                                             [](const PartitionSquare& s) { return s.split && s.crosses; }));
  }
}

}  // namespace

int defaultShowScale(std::size_t rows, std::size_t cols) {
  const std::size_t larger = std::max<std::size_t>(1, std::max(rows, cols));
  return static_cast<int>(std::max<std::size_t>(larger <= 2 * kShowSide ? 2 : 1, (kShowSide + larger - 1) / larger));
}

void dyadfitShow(Inputs in, Outputs& out) { show(in, out, false); }

void dyadfitShowCounted(Inputs in, Outputs& out) { show(in, out, true); }

}  // namespace dyadfit
