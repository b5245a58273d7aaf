// SPDX-License-Identifier: BSD-3-Clause
#pragma once

#include "dyadic/partition.h"
#include "host/host.h"

namespace dyadfit {

// tessik(image, pen [, sh]): piecewise-constant estimate, label image and the
// final square of every pixel.
void tessik(Inputs in, Outputs& out);

// The stages after the checks: pre-average the column-major M x N image over
// sh x sh blocks, prune it with pen per square and fill the three zero-filled
// results (estimate and labels M x N, squares (M*N) x 3). The module's own
// stages take null labels or squares when they are not asked for (no rand()
// draws then); the entry hands any other stages all three.
using TessikStagesFn = void (*)(const Input& image, int M, int N, int sh, double pen, double* estimate, double* labels,
                                double* squares);

// tessik with its final squares in `partition` (by column, then row; no
// square is refined or split). The results are those of tessik.
void tessikPartitioned(Inputs in, Outputs& out, Partition& partition);

// tessik's checks and results around the given stages: the fast module and
// its reference differ only in those. With `partition`, also its final squares.
void runTessikEntry(Inputs in, Outputs& out, TessikStagesFn stages, Partition* partition = nullptr);

// Replaces every aligned s x s block of the column-major M x N image by its
// mean (sum divided by s twice).
void blockAverageFlat(int s, const double* image, double* preAveraged, int M, int N);

// Constant pruning of a square column-major image under squared error, with
// pen per square; writes the estimate, adds the labels into labelsOut and
// writes each pixel's (top row, left column, side) into the (M*N) x 3 squaresOut.
void pruneConstant(const double* preAveraged, int M, int N, double pen, double* labelsOut, double* estimateOut,
                   double* squaresOut);

}  // namespace dyadfit
