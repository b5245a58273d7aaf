// SPDX-License-Identifier: BSD-3-Clause
// The literal stages: every fast stage is held to these bit for bit. They are
// built into the tests and the benchmark only, never into the modules.
#pragma once

#include <cstdint>
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

// searchSplits, one candidate line at a time: mask, fit, cost. `candidate`,
// when given, receives the accepted line's index k*K + l.
bool searchSplitsReference(const Grid& block, int n, Grid& bestFit, Grid& bestMask, int resolution,
                           std::string_view noiseType, SplitFitFn splitFit, double startCost,
                           std::int64_t* candidate = nullptr);

// refineDyadic over searchSplitsReference, one square after the other.
void refineDyadicReference(Grid& estimate, const Grid& image, const Grid& averaged, double penOne, double penTwo, int M,
                           int N, int h, const std::vector<DyadicSquare>& squares, int count,
                           std::string_view noiseType, int resolution, const SplitModel& model,
                           std::vector<std::int64_t>* choices = nullptr);

// A module's entry model with its stages replaced by the literal ones.
EntryModel referenceModel(const EntryModel& fast, const SplitModel& literalPieces, PreStepFn literalPreStep);

}  // namespace dyadfit
