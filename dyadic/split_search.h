// SPDX-License-Identifier: BSD-3-Clause
// The best two-piece split of one square over a grid of K offsets x K angles.
//
// The candidate lines depend only on the side n and on K, so their masks are
// built once per call (MaskSet), each distinct mask kept at its first
// occurrence in the candidate order (offset index outer, angle index inner).
// A later duplicate could never replace the best, which takes a strictly lower
// cost, so skipping duplicates leaves the result unchanged. A model's
// SplitKernel then costs many masks per square at once, each with exactly the
// operations of its literal fit and cost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "dyadic/grid.h"

namespace dyadfit {

// Fits two pieces to the block [i0, i0+R) x [j0, j0+C) of source, split by a
// mask indexed locally (1 marks one piece, 0 the other), and writes the fitted
// values into the same block of target.
using SplitFitFn = void (*)(const Grid& source, Grid& target, const Grid& mask, int i0, int j0, int R, int C);

// Offset and angle of candidate (k, l) for resolution K and side n.
double candidateOffset(int n, int k, int resolution);
double candidateAngle(int l, int resolution);

// The distinct masks among the candidates [first, first + count) of the K x K
// grid (candidate index k*K + l) on an n x n square.
struct MaskSet {
  int n = 0;
  int resolution = 0;
  std::vector<std::int64_t> candidate;  // candidate index of each distinct mask
  std::vector<double> values;           // mask d, pixel [i][j]: values[d*n*n + i*n + j], 0.0 or 1.0

  std::size_t count() const { return candidate.size(); }
  std::size_t pixels() const { return static_cast<std::size_t>(n) * static_cast<std::size_t>(n); }
  const double* mask(std::size_t d) const { return values.data() + d * pixels(); }
  // Writes mask d into an n x n Grid.
  void copyTo(std::size_t d, Grid& mask) const;
};

// On the calling thread.
MaskSet buildMaskSet(int n, int resolution, std::int64_t first, std::int64_t count);
// The same within a budget: false (and a partial set) once the distinct masks
// would hold more than maxValues values. Runs on all threads.
bool buildMaskSet(int n, int resolution, std::int64_t first, std::int64_t count, std::size_t maxValues, MaskSet& set);

// Costs of the split fits of a model, for the masks of one MaskSet. Prepared
// once per set and shared by threads; `scratch` is the calling thread's own.
class SplitKernel {
 public:
  virtual ~SplitKernel() = default;
  // cost[c] = regionCost(block, fit of mask first + c), c < count, bit for
  // bit as the literal fit and cost give it.
  virtual void costs(const Grid& block, std::size_t first, std::size_t count, double* cost,
                     std::vector<double>& scratch) const = 0;
};

using SplitKernelFactory = std::unique_ptr<SplitKernel> (*)(const MaskSet& masks, bool poisson, SplitFitFn splitFit);

// The kernel of any split fit: the literal fit and cost, one mask at a time.
std::unique_ptr<SplitKernel> makeLiteralSplitKernel(const MaskSet& masks, bool poisson, SplitFitFn splitFit);

// A searching thread's own working memory, reused from square to square.
struct SplitScratch {
  std::vector<double> cost;
  std::vector<double> kernel;
};

// Everything a search of one side needs, prepared once per call.
class SplitSearcher {
 public:
  SplitSearcher(int n, int resolution, bool poisson, SplitFitFn splitFit, SplitKernelFactory factory, double startCost);
  // The first candidate of strictly lowest cost below the start cost; when
  // there is one, its fit and mask are written to bestFit and bestMask (n x n)
  // and the result is true. `scratch` is the calling thread's. `candidate`,
  // when given, receives the winner's index k*K + l (first occurrence).
  bool search(const Grid& block, Grid& bestFit, Grid& bestMask, SplitScratch& scratch,
              std::int64_t* candidate = nullptr) const;
  // Whether this searcher is the one the same arguments would build.
  bool builtFor(int n, int resolution, bool poisson, SplitFitFn splitFit, SplitKernelFactory factory,
                double startCost) const {
    return n == n_ && resolution == resolution_ && poisson == poisson_ && splitFit == splitFit_ &&
           (factory ? factory : makeLiteralSplitKernel) == factory_ && startCost == startCost_;
  }

 private:
  int n_, resolution_;
  bool poisson_;
  SplitFitFn splitFit_;
  SplitKernelFactory factory_;
  double startCost_;
  // All candidates at once, or (for very large n*K) none: then each search
  // builds the masks of one range of candidates after another.
  std::unique_ptr<MaskSet> masks_;
  std::unique_ptr<SplitKernel> kernel_;
};

// Tries the K*K lines on the n x n block, fits both sides with `splitFit` and
// keeps the first candidate of strictly lowest cost below `startCost`.
// bestFit and bestMask are written only for an accepted candidate; the result
// says whether one was.
bool searchSplits(const Grid& block, int n, Grid& bestFit, Grid& bestMask, int resolution, std::string_view noiseType,
                  SplitFitFn splitFit, double startCost, SplitKernelFactory factory = nullptr);

}  // namespace dyadfit
