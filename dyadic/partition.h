// SPDX-License-Identifier: BSD-3-Clause
// The partition a module call ends with, for C++ callers: its squares in
// image terms and, for every square the refinement revisited, whether it was
// cut in two and by which line. The modules' own results do not carry it.
//
//   Partition p;
//   std::vector<Array> out = callEntry(brindelPartitioned, inputs, 1, p);
//   for (const PartitionSquare& s : p.squares)
//     if (s.split) ...  // s.from, s.to: the cut in pixel coordinates
//
// Pixel coordinates count from 0 at the image's top-left corner; pixel
// (row r, column c) covers [r, r+1] x [c, c+1], so a square (row, col, side)
// covers [row, row+side] x [col, col+side].
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace dyadfit {

struct PixelPoint {
  double row = 0.0;
  double col = 0.0;
};

struct PartitionSquare {
  int row = 0;  // top row of the square, from 0
  int col = 0;  // left column, from 0
  int side = 0;
  // The shifted pruning's squares may run past the bottom or right border;
  // they continue cyclically from the top or left (and are never refined).
  bool refined = false;  // revisited by the refinement (side = block side, inside the image)
  bool split = false;    // refitted as two pieces on either side of the line below
  // The cutting line, when split: candidate k*K + l (offset index k, angle
  // index l), the line x*cos(angle) + y*sin(angle) = offset (angle in
  // degrees) in a frame centred on the square with x to the right and y up,
  // and where it crosses the square's border. A line that misses the square
  // (its split puts every pixel on one side) has crosses = false.
  std::int64_t candidate = -1;
  double offset = 0.0;
  double angle = 0.0;
  bool crosses = false;
  PixelPoint from, to;
};

struct Partition {
  std::size_t rows = 0, cols = 0;  // image size
  int blockSide = 0;               // sh: the side of the refined squares
  int resolution = 0;              // K offsets x K angles were tried per refined square
  // brindel, quarlo: the candidate squares, one per row of their result 4 and
  // in its order (the union of both prunings, sorted by column, row, side).
  // tessik: its final squares, by column, then row.
  std::vector<PartitionSquare> squares;
};

// Fills the line of candidate k*K + l on a square of the given side at
// (row, col), as the refinement draws its mask: the offset, angle, whether the
// line crosses the square and its two border points.
void setCutLine(PartitionSquare& square, std::int64_t candidate, int resolution);

// The layouts of the modules' squares results.
enum class SquaresLayout {
  PerPixel,  // tessik's result 3: one row per pixel, [top row, left column, side]
  Distinct,  // brindel/quarlo's result 4: one row per square, [column, row, side]
};

// A partition (no cuts) from a count x 3 column-major squares matrix over a
// rows x cols image, each square once, sorted by column, row, side. Every row
// must hold integers with 1 <= side <= min(rows, cols) and a corner inside the
// image; PerPixel needs count = rows * cols. Throws Error otherwise.
Partition partitionFromSquares(const double* squares, std::size_t count, SquaresLayout layout, std::size_t rows,
                               std::size_t cols);

}  // namespace dyadfit
