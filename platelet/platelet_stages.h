// SPDX-License-Identifier: BSD-3-Clause
// The platelet variants of the pruning, the search and the refinement: a
// least-squares plane wherever the wedgelet stages use a mean.
#pragma once

#include <string_view>
#include <vector>

#include "dyadic/grid.h"
#include "dyadic/refine_dyadic.h"
#include "platelet/plane_fit.h"
#include "platelet/plane_kernel.h"

namespace dyadfit {

void prunePlatelets(const Grid& data, int M, int N, double pen, Grid& estimate, Grid& label,
                    std::vector<DyadicSquare>& pixelSquares, std::string_view noiseType);

// Best two-plane split of an n x n block; costs accepted below 1e8.
bool plateletSearch(const Grid& block, int n, Grid& bestFit, Grid& bestMask, int resolution,
                    std::string_view noiseType);

void refinePlatelets(Grid& estimate, const Grid& image, const Grid& averaged, double penPlane, double penPlatelet,
                     int M, int N, int h, const std::vector<DyadicSquare>& squares, int count,
                     std::string_view noiseType, int resolution);

inline constexpr SplitModel kPlateletModel{fitPlane, fitWedgePlanes, 1e8, makePlateletKernel};

}  // namespace dyadfit
