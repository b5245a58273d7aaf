// SPDX-License-Identifier: BSD-3-Clause
#include "platelet/platelet_stages.h"

#include "dyadic/prune_dyadic.h"
#include "dyadic/split_search.h"
#include "platelet/plane_fit.h"
#include "wedgelet/wedgelet_stages.h"

namespace dyadfit {

void prunePlatelets(const Grid& data, int M, int N, double pen, Grid& estimate, Grid& label,
                    std::vector<DyadicSquare>& pixelSquares, std::string_view noiseType) {
  pruneDyadic(data, M, N, pen, estimate, label, pixelSquares, noiseType, fitPlane);
}

bool plateletSearch(const Grid& block, int n, Grid& bestFit, Grid& bestMask, int resolution,
                    std::string_view noiseType) {
  return searchSplits(block, n, bestFit, bestMask, resolution, noiseType, kPlateletModel.twoPiece,
                      kPlateletModel.startCost, kPlateletModel.kernel);
}

void refinePlatelets(Grid& estimate, const Grid& image, const Grid& averaged, double penPlane, double penPlatelet,
                     int M, int N, int h, const std::vector<DyadicSquare>& squares, int count,
                     std::string_view noiseType, int resolution) {
  refineDyadic(estimate, image, averaged, penPlane, penPlatelet, M, N, h, squares, count, noiseType, resolution,
               kPlateletModel);
}

}  // namespace dyadfit
