// SPDX-License-Identifier: BSD-3-Clause
#pragma once

#include "host/host.h"

namespace dyadfit {

// dyadfit_show(img, squares [, layout, scale, range]): the squares result of a
// module drawn over img. Result 1 is the picture as an R x 3C matrix (the red,
// green and blue R x C planes side by side; the MEX gateway gives it the shape
// R x C x 3). See mex/dyadfit_show.m for the inputs.
void dyadfitShow(Inputs in, Outputs& out);

// dyadfitShow for the gateway's own display: result 2 is [squares, cut
// squares], the counts of the figure's legend (see partitionLegend).
void dyadfitShowCounted(Inputs in, Outputs& out);

// The default scale for an image: the smallest that makes its larger side at
// least 512 picture pixels, and at least 2 up to 1024 pixels, so that a square
// of side 1 keeps one pixel of its own beside its one-pixel outline; 1 above.
int defaultShowScale(std::size_t rows, std::size_t cols);

}  // namespace dyadfit
