// SPDX-License-Identifier: BSD-3-Clause
#include "wedgelet/wedgelet_stages.h"

namespace dyadfit {

void fitWedgeMeans(const Grid& source, Grid& target, const Grid& mask, int i0, int j0, int R, int C) {
  double s1 = 0.0, s0 = 0.0, count = 0.0;
  for (int i = 0; i < R; ++i)
    for (int j = 0; j < C; ++j) {
      const double x = source[i0 + i][j0 + j];
      const double w = mask[i][j];
      s1 += x * w;
      s0 += x * (1 - w);
      count += w;
    }
  const int pixels = R * C;
  const double m1 = count != 0 ? s1 / count : s1;
  const double m0 = count != pixels ? s0 / (pixels - count) : s0;
  for (int i = 0; i < R; ++i)
    for (int j = 0; j < C; ++j) {
      const double w = mask[i][j];
      target[i0 + i][j0 + j] = m1 * w + m0 * (1 - w);
    }
}

void pruneNoiseModel(const Grid& data, int M, int N, double pen, Grid& estimate, Grid& label,
                     std::vector<DyadicSquare>& pixelSquares, std::string_view noiseType) {
  pruneDyadic(data, M, N, pen, estimate, label, pixelSquares, noiseType, fitBlockMean);
}

bool wedgeletSearch(const Grid& block, int n, Grid& bestFit, Grid& bestMask, int resolution,
                    std::string_view noiseType) {
  return searchSplits(block, n, bestFit, bestMask, resolution, noiseType, fitWedgeMeans, 1e12, makeWedgeKernel);
}

void refineSquares(Grid& estimate, const Grid& image, const Grid& averaged, double penConst, double penWedge, int M,
                   int N, int h, const std::vector<DyadicSquare>& squares, int count, std::string_view noiseType,
                   int resolution) {
  refineDyadic(estimate, image, averaged, penConst, penWedge, M, N, h, squares, count, noiseType, resolution,
               kWedgeletModel);
}

}  // namespace dyadfit
