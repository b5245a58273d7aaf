#include "wedgelet/wedgelet_search.h"

#include <cmath>

#include "wedgelet/grid_utils.h"
#include "wedgelet/region_cost.h"
#include "wedgelet/wedge_mask.h"

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

double candidateOffset(int n, int k, int resolution) { return ((n / std::sqrt(2.0)) * k) / (resolution + 1.0); }

double candidateAngle(int l, int resolution) { return (360.0 * l) / (resolution + 1.0); }

bool searchSplits(const Grid& block, int n, Grid& bestFit, Grid& bestMask, int resolution, std::string_view noiseType,
                  SplitFitFn splitFit, double startCost) {
  if (resolution <= 0 || n <= 0) return false;
  Grid mask(n, n), fit(n, n);
  double best = startCost;
  bool accepted = false;
  for (int k = 0; k < resolution; ++k) {
    const double offset = candidateOffset(n, k, resolution);
    for (int l = 0; l < resolution; ++l) {
      wedgeMask(mask, offset, candidateAngle(l, resolution), n);
      splitFit(block, fit, mask, 0, 0, n, n);
      const double cost = regionCost(block, fit, n, n, noiseType);
      if (best > cost) {
        best = cost;
        accepted = true;
        for (int i = 0; i < n; ++i) {
          copyDoubles(bestFit[i], fit[i], n);
          copyDoubles(bestMask[i], mask[i], n);
        }
      }
    }
  }
  return accepted;
}

bool wedgeletSearch(const Grid& block, int n, Grid& bestFit, Grid& bestMask, int resolution,
                    std::string_view noiseType) {
  return searchSplits(block, n, bestFit, bestMask, resolution, noiseType, fitWedgeMeans, 1e12);
}

}  // namespace dyadfit
