// SPDX-License-Identifier: BSD-3-Clause
// The wedgelet model: a constant per square, or two constants split by a line.
#pragma once

#include <string_view>
#include <vector>

#include "dyadic/grid.h"
#include "dyadic/prune_dyadic.h"
#include "dyadic/refine_dyadic.h"
#include "dyadic/split_search.h"
#include "wedgelet/wedge_kernel.h"

namespace dyadfit {

// Each side of the mask filled with the mean of its data.
void fitWedgeMeans(const Grid& source, Grid& target, const Grid& mask, int i0, int j0, int R, int C);

// The pruning with one constant (the mean) per square.
void pruneNoiseModel(const Grid& data, int M, int N, double pen, Grid& estimate, Grid& label,
                     std::vector<DyadicSquare>& pixelSquares, std::string_view noiseType);

// The wedgelet search: side means, costs accepted below 1e12.
bool wedgeletSearch(const Grid& block, int n, Grid& bestFit, Grid& bestMask, int resolution,
                    std::string_view noiseType);

// Constants against wedgelets.
void refineSquares(Grid& estimate, const Grid& image, const Grid& averaged, double penConst, double penWedge, int M,
                   int N, int h, const std::vector<DyadicSquare>& squares, int count, std::string_view noiseType,
                   int resolution);

inline constexpr SplitModel kWedgeletModel{fitBlockMean, fitWedgeMeans, 1e12, makeWedgeKernel};

}  // namespace dyadfit
