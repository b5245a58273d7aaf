// SPDX-License-Identifier: BSD-3-Clause
#pragma once

#include "dyadic/grid.h"

namespace dyadfit {

// Labels every pixel of an n x n square 1.0 when more than half of its area
// lies on the low side x*cos(t) + y*sin(t) < offset of the line at `angle`
// degrees, else 0.0. The frame is centred on the square; x grows with the
// outer index, y falls with the inner index.
void wedgeMask(Grid& mask, double offset, double angle, int n);

// The share of a unit pixel on the low side of a line at signed distance d
// from its centre, for the folded angle alpha (radians, 0 <= alpha <= pi/4).
double coverageFraction(double d, double alpha);

}  // namespace dyadfit
