#pragma once

#include "host/host.h"

namespace dyadfit {

// tessik(image, pen [, sh]): piecewise-constant estimate, label image and the
// final square of every pixel.
void tessik(Inputs in, Outputs& out);

// Replaces every aligned s x s block of the column-major M x N image by its
// mean (sum divided by s twice).
void blockAverageFlat(int s, const double* image, double* preAveraged, int M, int N);

// Constant pruning of a square column-major image under squared error, with
// pen per square; writes the estimate, adds the labels into labelsOut and
// writes each pixel's (top row, left column, side) into the (M*N) x 3 squaresOut.
void pruneConstant(const double* preAveraged, int M, int N, double pen, double* labelsOut, double* estimateOut,
                   double* squaresOut);

}  // namespace dyadfit
