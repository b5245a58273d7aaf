// SPDX-License-Identifier: BSD-3-Clause
// The entry pipeline shared by the wedgelet and platelet modules: checks,
// defaults, pre-step, two prunings (plain and cyclically shifted), their
// average, the candidate squares and the refinement, with six results.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "dyadic/grid.h"
#include "dyadic/partition.h"
#include "dyadic/prune_dyadic.h"
#include "dyadic/refine_dyadic.h"
#include "host/host.h"

namespace dyadfit {

using PreStepFn = void (*)(int s, const Grid& src, Grid& dst, int M, int N);
using PruneFn = void (*)(const Grid& data, int M, int N, double pen, Grid& estimate, Grid& label,
                         std::vector<DyadicSquare>& pixelSquares, std::string_view noiseType, BlockFitFn blockFit);
using RefineFn = void (*)(Grid& estimate, const Grid& image, const Grid& averaged, double penOne, double penTwo, int M,
                          int N, int h, const std::vector<DyadicSquare>& squares, int count, std::string_view noiseType,
                          int resolution, const SplitModel& model, std::vector<std::int64_t>* choices);

struct EntryModel {
  PreStepFn preStep;  // block pre-step over sh x sh blocks
  SplitModel pieces;  // one-piece fit (also the pruning's), split fit, search start
  // Default penalties: (factor x ln X) / 3 for the one-piece and two-piece fits.
  double onePenaltyFactor;
  double twoPenaltyFactor;
  PruneFn prune = pruneDyadic;
  RefineFn refine = refineDyadic;
};

// Penalties, block side and line count after defaults, as the entry derives them.
struct EntryParameters {
  int sh = 0;
  bool poisson = false;
  double penOne = 0.0;
  double penTwo = 0.0;
  int resolution = 0;
};

// Default block side for an image of rows x cols pixels, capped at the
// largest power of two not above the smaller side.
int defaultBlockSide(std::size_t rows, std::size_t cols);
// Default number of offsets (and angles) per square.
int defaultResolution(std::size_t rows, std::size_t cols);

// Storage the entries reuse from one call to the next on images of one size.
// A caller that runs many calls in a row (the denoiser, one per shift) keeps
// one and opens a WorkspaceScope around them: the entries on that thread take
// their grids and scratch from it instead of allocating, page-faulting and
// freeing them on every call. Without a scope each call has its own.
struct EntryWorkspace {
  // The image, converted. A caller may write the image here and pass a
  // view of it as the entry's input: the entry then takes it as it is, and
  // is done with it before it creates its first result, which may then be
  // written here too.
  std::vector<double> values;
  Grid grids[3];
  Grid candidate;  // the pruning's fits other than the mean
  std::vector<unsigned char> level;
  std::vector<unsigned char> firstLevel;  // the first pruning's, kept through the second
  std::vector<double> scratch;
  // The refinement's masks, built once for all calls of one block side.
  std::shared_ptr<const SplitSearcher> searcher;
};

class WorkspaceScope {
 public:
  explicit WorkspaceScope(EntryWorkspace& workspace);
  ~WorkspaceScope();
  WorkspaceScope(const WorkspaceScope&) = delete;
  WorkspaceScope& operator=(const WorkspaceScope&) = delete;

 private:
  EntryWorkspace* outer_;
};

// The workspace of the innermost scope open on this thread, or null.
EntryWorkspace* currentWorkspace();

// Runs the module; with `partition`, also fills it with the candidate squares
// (result 4's rows, in its order) and the refinement's choice on each. Only
// the results asked for are written; the label images (and their rand()
// draws) only when result 3 is among them.
void runDyadicEntry(const EntryModel& model, Inputs in, Outputs& out, Partition* partition = nullptr);

// Checks the inputs and derives the parameters, without running any stage.
EntryParameters checkDyadicInputs(const EntryModel& model, Inputs in, std::vector<double>* imageValues);

}  // namespace dyadfit
