// Exhaustive search of the best two-piece split of one square over a grid of
// K offsets x K angles.
#pragma once

#include <string_view>

#include "dyadic/grid.h"

namespace dyadfit {

// Fits two pieces to the block [i0, i0+R) x [j0, j0+C) of source, split by a
// mask indexed locally (1 marks one piece, 0 the other), and writes the fitted
// values into the same block of target.
using SplitFitFn = void (*)(const Grid& source, Grid& target, const Grid& mask, int i0, int j0, int R, int C);

// Tries the K*K lines (offset index outer, angle index inner) on the n x n
// block, fits both sides with `splitFit` and keeps the first candidate of
// strictly lowest cost below `startCost`. bestFit and bestMask are written
// only for an accepted candidate; the result says whether one was.
bool searchSplits(const Grid& block, int n, Grid& bestFit, Grid& bestMask, int resolution, std::string_view noiseType,
                  SplitFitFn splitFit, double startCost);

// Offset and angle of candidate (k, l) for resolution K and side n.
double candidateOffset(int n, int k, int resolution);
double candidateAngle(int l, int resolution);

}  // namespace dyadfit
