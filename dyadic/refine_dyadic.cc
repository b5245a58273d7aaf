// SPDX-License-Identifier: BSD-3-Clause
#include "dyadic/refine_dyadic.h"

#include <algorithm>

#include "dyadic/dyadic_entry.h"
#include "dyadic/grid_utils.h"
#include "dyadic/parallel.h"
#include "dyadic/region_cost.h"
#include "host/host.h"

namespace dyadfit {
namespace {

// One thread's working grids, reused for every square it refines.
struct SquareWork {
  explicit SquareWork(int h) : block(h, h), splitFit(h, h), splitMask(h, h), oneFit(h, h) {}
  Grid block, splitFit, splitMask, oneFit;
  SplitScratch scratch;
};

}  // namespace

void refineDyadic(Grid& estimate, const Grid& image, const Grid& averaged, double penOne, double penTwo, int M, int N,
                  int h, const std::vector<DyadicSquare>& squares, int count, std::string_view noiseType,
                  int resolution, const SplitModel& model, std::vector<std::int64_t>* choices) {
  if (M > 0 && N > 0 && &estimate != &averaged) {
    if (estimate.inner() == N && averaged.inner() == N)
      copyValues(estimate.data(), averaged.data(), static_cast<std::size_t>(M) * static_cast<std::size_t>(N));
    else
      for (int i = 0; i < M; ++i) copyDoubles(estimate[i], averaged[i], N);
  }
  const int n = std::max(0, std::min(count, static_cast<int>(squares.size())));
  if (choices) choices->assign(static_cast<std::size_t>(n), kNotRefined);
  if (h < 1) return;

  // The squares of side h inside the grid, in list order. They are refined in
  // parallel only when no two overlap: all on the h-aligned block grid and
  // none listed twice. Otherwise list order decides overlaps, as one by one.
  std::vector<std::size_t> picked;
  const int blocksM = M / h, blocksN = N / h;
  std::vector<unsigned char> taken(static_cast<std::size_t>(blocksM) * static_cast<std::size_t>(blocksN), 0);
  bool disjoint = true;
  for (int q = 0; q < n; ++q) {
    const DyadicSquare& sq = squares[static_cast<std::size_t>(q)];
    if (static_cast<double>(h) != sq.side) continue;
    // The entry only lists squares inside the grid; never trust that blindly.
    if (!(sq.top >= 0 && sq.left >= 0) || static_cast<int>(sq.top) > M - h || static_cast<int>(sq.left) > N - h)
      continue;
    picked.push_back(static_cast<std::size_t>(q));
    const int top = static_cast<int>(sq.top), left = static_cast<int>(sq.left);
    if (top % h != 0 || left % h != 0) {
      disjoint = false;
    } else {
      unsigned char& t = taken[static_cast<std::size_t>(top / h) * blocksN + static_cast<std::size_t>(left / h)];
      if (t) disjoint = false;
      t = 1;
    }
  }
  if (picked.empty()) return;
  const bool poisson = noiseType == kPoisson;
  if (!poisson && noiseType != kGaussian && resolution > 0) throw Error(kMsgNoiseName);

  // A caller's workspace keeps the searcher, whose masks cost as much as
  // many squares' search, for its next call.
  EntryWorkspace* ws = currentWorkspace();
  std::shared_ptr<const SplitSearcher> kept;
  if (ws && ws->searcher &&
      ws->searcher->builtFor(h, resolution, poisson, model.twoPiece, model.kernel, model.startCost)) {
    kept = ws->searcher;
  } else {
    if (ws) ws->searcher.reset();
    kept = std::make_shared<const SplitSearcher>(h, resolution, poisson, model.twoPiece, model.kernel, model.startCost);
    if (ws) ws->searcher = kept;
  }
  const SplitSearcher& searcher = *kept;
  auto refineOne = [&](std::size_t q, SquareWork& w) {
    const DyadicSquare& sq = squares[q];
    const int top = static_cast<int>(sq.top);
    const int left = static_cast<int>(sq.left);
    for (int i = 0; i < h; ++i) copyDoubles(w.block[i], image[top + i] + left, h);
    model.onePiece(w.block, w.oneFit, 0, 0, h, h);
    const Grid* chosen = &w.oneFit;
    std::int64_t candidate = kOnePiece;
    if (searcher.search(w.block, w.splitFit, w.splitMask, w.scratch, &candidate)) {
      const double costOne = regionCost(w.block, w.oneFit, h, h, noiseType);
      const double costTwo = regionCost(w.block, w.splitFit, h, h, noiseType);
      if (!(costTwo + 2.0 * penTwo > costOne + penOne))
        chosen = &w.splitFit;
      else
        candidate = kOnePiece;
    }
    if (choices) (*choices)[q] = candidate;
    for (int i = 0; i < h; ++i) copyDoubles(estimate[top + i] + left, (*chosen)[i], h);
  };

  if (!disjoint) {
    SquareWork w(h);
    for (std::size_t q : picked) {
      interruptionPoint();
      refineOne(q, w);
    }
    return;
  }
  // Items of several squares, so that each thread's grids serve many squares.
  const std::size_t perItem = std::max<std::size_t>(1, picked.size() / (64 * static_cast<std::size_t>(threadCount())));
  const std::size_t items = (picked.size() + perItem - 1) / perItem;
  parallelFor(items, [&](std::size_t item) {
    SquareWork w(h);
    const std::size_t end = std::min(picked.size(), (item + 1) * perItem);
    for (std::size_t k = item * perItem; k < end; ++k) {
      if (k != item * perItem) interruptionPoint();
      refineOne(picked[k], w);
    }
  });
}

}  // namespace dyadfit
