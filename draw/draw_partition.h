// SPDX-License-Identifier: BSD-3-Clause
// A partition drawn over its grey image, as an RGB picture.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "dyadic/partition.h"

namespace dyadfit {

struct DrawOptions {
  // Each image pixel becomes scale x scale picture pixels, so that outlines
  // of small squares leave some of the image visible between them.
  int scale = 1;
  // Grey display range: lo shows black, hi white, values between them
  // linearly, values beyond clamped; NaN shows black. Needs lo < hi, finite.
  double lo = 0.0, hi = 1.0;
  // Yellow outlines and blue cuts: a pair that red-green colour blindness
  // keeps apart, and that stands out from grey, light or dark.
  std::array<double, 3> outline{1.0, 0.85, 0.0};  // RGB of square outlines
  std::array<double, 3> cut{0.0, 0.4, 1.0};       // RGB of the cuts of split squares
  const char* outlineName = "yellow";  // the colours' names in the legend
  const char* cutName = "blue";
  // Opacity of the lines, in [0, 1]: a line pixel shows
  // alpha * colour + (1 - alpha) * grey, so the image shows through.
  double alpha = 0.6;
};

// Draws `partition` over the rows x cols column-major image `grey` (rows and
// cols must equal the partition's) and returns the picture, R x C x 3
// column-major (R = rows*scale, C = cols*scale; red plane, green, blue), values
// in [0, 1].
//
// Lines are one picture pixel wide at any scale, so that neighbours share
// theirs. A square's block of scale*side picture rows starting at row r0
// (likewise columns) has its top edge on row r0 and its bottom edge on row
// r0 + scale*side, the first row of the block below; a bottom edge on the
// image's border is drawn on the last picture row instead. Squares that run
// past the bottom or right border wrap cyclically, their edges with them.
// Then each split square's cut is drawn over the outlines: its two border
// points, scaled, fall in picture pixels (clamped into the square's block)
// which are joined by the integer Bresenham walk from the `from` pixel to the
// `to` pixel. The walk marks the line, not the mask's exact pixel sides.
// Every line pixel, outline or cut, is its colour blended over the grey with
// options.alpha; a pixel crossed twice is blended once.
//
// Throws Error for a bad scale, range, colour or opacity, a picture of more
// than 2^30 values, a size mismatch, or a square that is not inside the image.
std::vector<double> drawPartition(const double* grey, std::size_t rows, std::size_t cols, const Partition& partition,
                                  const DrawOptions& options);

// One line saying what the picture shows, e.g. "dyadic partition: 52
// squares (yellow), 7 split by a cut (blue)"; the cut count is left out
// when there is none. `squares` counts all squares, `cuts` those drawn with
// a cut (split and crossed by their line).
std::string partitionLegend(std::size_t squares, std::size_t cuts, const DrawOptions& options);
std::string partitionLegend(const Partition& partition, const DrawOptions& options);

// The range of the finite values of grey (count values) for DrawOptions: lo =
// the least, hi = the largest; a flat image gets a range around its value
// (mid grey), one with no finite value (0, 1).
void displayRange(const double* grey, std::size_t count, double& lo, double& hi);

}  // namespace dyadfit
