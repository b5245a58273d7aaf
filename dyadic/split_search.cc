#include "dyadic/split_search.h"

#include <cmath>

#include "dyadic/grid_utils.h"
#include "dyadic/region_cost.h"
#include "dyadic/wedge_mask.h"

namespace dyadfit {

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

}  // namespace dyadfit
