// SPDX-License-Identifier: BSD-3-Clause
// Re-fits the candidate squares of one side as one piece or two, whichever
// has the lower penalized cost.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "dyadic/grid.h"
#include "dyadic/prune_dyadic.h"
#include "dyadic/split_search.h"

namespace dyadfit {

// What distinguishes one family of piecewise models from another.
struct SplitModel {
  BlockFitFn onePiece;                  // fit of a whole square
  SplitFitFn twoPiece;                  // fit of a square split by a mask
  double startCost;                     // searches accept only costs below this
  SplitKernelFactory kernel = nullptr;  // fast costs of many splits; null: the literal ones
};

// estimate := averaged (which may be estimate itself), then every square of
// side exactly h in `squares` is refitted from `image`: the one-piece fit
// (paying penOne once) against the best split (paying penTwo twice); the
// split wins ties and NaN costs. A
// square on which the search accepts no split takes its one-piece fit.
// Disjoint squares are refined in parallel; the result is the same for any
// thread count.
//
// `choices`, when given, receives one entry per listed square (the first
// `count`): kNotRefined for a square the refinement leaves alone (another
// side, outside the grid), kOnePiece, or the winning line's candidate index
// k*K + l when the square is split.
inline constexpr std::int64_t kNotRefined = -2;
inline constexpr std::int64_t kOnePiece = -1;
void refineDyadic(Grid& estimate, const Grid& image, const Grid& averaged, double penOne, double penTwo, int M, int N,
                  int h, const std::vector<DyadicSquare>& squares, int count, std::string_view noiseType,
                  int resolution, const SplitModel& model, std::vector<std::int64_t>* choices = nullptr);

}  // namespace dyadfit
