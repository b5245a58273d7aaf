// SPDX-License-Identifier: BSD-3-Clause
#include <algorithm>

#include "dyadic/dyadic_reference.h"
#include "dyadic/grid_utils.h"
#include "dyadic/region_cost.h"
#include "dyadic/wedge_mask.h"

namespace dyadfit {

bool searchSplitsReference(const Grid& block, int n, Grid& bestFit, Grid& bestMask, int resolution,
                           std::string_view noiseType, SplitFitFn splitFit, double startCost, std::int64_t* candidate) {
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
        if (candidate) *candidate = static_cast<std::int64_t>(k) * resolution + l;
        for (int i = 0; i < n; ++i) {
          copyDoubles(bestFit[i], fit[i], n);
          copyDoubles(bestMask[i], mask[i], n);
        }
      }
    }
  }
  return accepted;
}

void refineDyadicReference(Grid& estimate, const Grid& image, const Grid& averaged, double penOne, double penTwo, int M,
                           int N, int h, const std::vector<DyadicSquare>& squares, int count,
                           std::string_view noiseType, int resolution, const SplitModel& model,
                           std::vector<std::int64_t>* choices) {
  for (int i = 0; i < M; ++i) copyDoubles(estimate[i], averaged[i], N);
  const int n = std::max(0, std::min(count, static_cast<int>(squares.size())));
  if (choices) choices->assign(static_cast<std::size_t>(n), kNotRefined);
  if (h < 1) return;

  Grid block(h, h), splitFit(h, h), splitMask(h, h), oneFit(h, h);
  for (int q = 0; q < n; ++q) {
    const DyadicSquare& sq = squares[static_cast<std::size_t>(q)];
    if (static_cast<double>(h) != sq.side) continue;
    const int top = static_cast<int>(sq.top);
    const int left = static_cast<int>(sq.left);
    // The entry only lists squares inside the grid; never trust that blindly.
    if (!(sq.top >= 0 && sq.left >= 0) || top > M - h || left > N - h) continue;

    for (int i = 0; i < h; ++i) copyDoubles(block[i], image[top + i] + left, h);
    model.onePiece(block, oneFit, 0, 0, h, h);
    std::int64_t candidate = kOnePiece;
    const bool split = searchSplitsReference(block, h, splitFit, splitMask, resolution, noiseType, model.twoPiece,
                                             model.startCost, &candidate);
    const Grid* chosen = &oneFit;
    if (split) {
      const double costOne = regionCost(block, oneFit, h, h, noiseType);
      const double costTwo = regionCost(block, splitFit, h, h, noiseType);
      if (!(costTwo + 2.0 * penTwo > costOne + penOne)) chosen = &splitFit;
    }
    if (choices) (*choices)[static_cast<std::size_t>(q)] = chosen == &splitFit ? candidate : kOnePiece;
    for (int i = 0; i < h; ++i) copyDoubles(estimate[top + i] + left, (*chosen)[i], h);
  }
}

EntryModel referenceModel(const EntryModel& fast, const SplitModel& literalPieces, PreStepFn literalPreStep) {
  return EntryModel{literalPreStep,        literalPieces,        fast.onePenaltyFactor,
                    fast.twoPenaltyFactor, pruneDyadicReference, refineDyadicReference};
}
}  // namespace dyadfit
