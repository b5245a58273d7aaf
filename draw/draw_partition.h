// A partition drawn over its grey image, as an RGB picture.
#pragma once

#include <array>
#include <cstddef>
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
  std::array<double, 3> outline{1.0, 0.0, 0.0};  // RGB of square outlines
  std::array<double, 3> cut{0.0, 1.0, 0.0};      // RGB of the cuts of split squares
};

// Draws `partition` over the rows x cols column-major image `grey` (rows and
// cols must equal the partition's) and returns the picture, R x C x 3
// column-major (R = rows*scale, C = cols*scale; red plane, green, blue), values
// in [0, 1].
//
// Every square is outlined by the picture pixels along its border: the
// first and last picture rows and columns of its scale*side block (squares
// that run past the bottom or right border wrap cyclically). Then each split
// square's cut is drawn over the outlines: its two border points, scaled,
// fall in picture pixels (clamped into the square's block) which are joined by
// the integer Bresenham walk from the `from` pixel to the `to` pixel. The
// walk marks the line, not the mask's exact pixel sides.
//
// Throws Error for a bad scale or range, a picture of more than 2^30 values,
// a size mismatch, or a square that is not inside the image.
std::vector<double> drawPartition(const double* grey, std::size_t rows, std::size_t cols, const Partition& partition,
                                  const DrawOptions& options);

// The range of the finite values of grey (count values) for DrawOptions: lo =
// the least, hi = the largest; a flat image gets a range around its value
// (mid grey), one with no finite value (0, 1).
void displayRange(const double* grey, std::size_t count, double& lo, double& hi);

}  // namespace dyadfit
