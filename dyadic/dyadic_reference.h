// The literal stages: every fast stage is held to these bit for bit. They are
// built into the tests and the benchmark only, never into the modules.
#pragma once

#include <string_view>
#include <vector>

#include "dyadic/dyadic_entry.h"
#include "dyadic/grid.h"
#include "dyadic/prune_dyadic.h"
#include "dyadic/refine_dyadic.h"
#include "dyadic/split_search.h"

namespace dyadfit {

// pruneDyadic, one block at a time in the plain loop order.
void pruneDyadicReference(const Grid& data, int M, int N, double pen, Grid& estimate, Grid& label,
                          std::vector<DyadicSquare>& pixelSquares, std::string_view noiseType, BlockFitFn blockFit);

// searchSplits, one candidate line at a time: mask, fit, cost.
bool searchSplitsReference(const Grid& block, int n, Grid& bestFit, Grid& bestMask, int resolution,
                           std::string_view noiseType, SplitFitFn splitFit, double startCost);

// refineDyadic over searchSplitsReference, one square after the other.
void refineDyadicReference(Grid& estimate, const Grid& image, const Grid& averaged, double penOne, double penTwo, int M,
                           int N, int h, const std::vector<DyadicSquare>& squares, int count,
                           std::string_view noiseType, int resolution, const SplitModel& model);

// A module's entry model with its stages replaced by the literal ones.
EntryModel referenceModel(const EntryModel& fast, const SplitModel& literalPieces, PreStepFn literalPreStep);

}  // namespace dyadfit
