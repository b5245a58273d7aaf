// SPDX-License-Identifier: BSD-3-Clause
#include "dyadic/split_search.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_map>

#include "dyadic/parallel.h"
#include "dyadic/region_cost.h"
#include "dyadic/wedge_mask.h"
#include "host/host.h"

namespace dyadfit {
namespace {

// Above this many distinct mask pixels (masks x n x n) a call does not keep
// every mask; each search then walks the candidates in ranges of kRangePixels.
constexpr std::size_t kWholeSetPixels = std::size_t{1} << 24;
constexpr std::int64_t kRangePixels = std::int64_t{1} << 20;
// Masks costed between two interruption checks.
constexpr std::size_t kCostChunk = 4096;

std::uint64_t hashBytes(const unsigned char* p, std::size_t n) {
  std::uint64_t h = 1469598103934665603ull;
  for (std::size_t k = 0; k < n; ++k) h = (h ^ p[k]) * 1099511628211ull;
  return h;
}

class LiteralSplitKernel final : public SplitKernel {
 public:
  LiteralSplitKernel(const MaskSet& masks, bool poisson, SplitFitFn splitFit)
      : masks_(masks), noiseType_(poisson ? kPoisson : kGaussian), splitFit_(splitFit) {}
  void costs(const Grid& block, std::size_t first, std::size_t count, double* cost,
             std::vector<double>&) const override {
    const int n = masks_.n;
    Grid mask(n, n), fit(n, n);
    for (std::size_t c = 0; c < count; ++c) {
      masks_.copyTo(first + c, mask);
      splitFit_(block, fit, mask, 0, 0, n, n);
      cost[c] = regionCost(block, fit, n, n, noiseType_);
    }
  }

 private:
  const MaskSet& masks_;
  std::string_view noiseType_;
  SplitFitFn splitFit_;
};

}  // namespace

double candidateOffset(int n, int k, int resolution) { return ((n / std::sqrt(2.0)) * k) / (resolution + 1.0); }

double candidateAngle(int l, int resolution) { return (360.0 * l) / (resolution + 1.0); }

void MaskSet::copyTo(std::size_t d, Grid& out) const {
  const double* m = mask(d);
  for (int i = 0; i < n; ++i) std::memcpy(out[i], m + static_cast<std::size_t>(i) * n, sizeof(double) * n);
}

namespace {

// The distinct masks of one range of candidates, as bytes, first occurrences
// in candidate order.
struct MaskRange {
  std::vector<std::int64_t> candidate;
  std::vector<std::uint64_t> hash;
  std::vector<unsigned char> bytes;
};

void collectRange(int n, int resolution, std::int64_t first, std::int64_t count, MaskRange& out) {
  const std::size_t pixels = static_cast<std::size_t>(n) * static_cast<std::size_t>(n);
  Grid mask(n, n);
  std::vector<unsigned char> bytes(pixels);
  std::unordered_multimap<std::uint64_t, std::size_t> seen;
  for (std::int64_t c = first; c < first + count; ++c) {
    if ((c - first) % 256 == 0) interruptionPoint();
    const int k = static_cast<int>(c / resolution);
    const int l = static_cast<int>(c % resolution);
    wedgeMask(mask, candidateOffset(n, k, resolution), candidateAngle(l, resolution), n);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) bytes[static_cast<std::size_t>(i) * n + j] = mask[i][j] != 0.0;
    const std::uint64_t h = hashBytes(bytes.data(), pixels);
    bool duplicate = false;
    for (auto [it, end] = seen.equal_range(h); it != end && !duplicate; ++it)
      duplicate = std::memcmp(out.bytes.data() + it->second * pixels, bytes.data(), pixels) == 0;
    if (duplicate) continue;
    seen.emplace(h, out.candidate.size());
    out.candidate.push_back(c);
    out.hash.push_back(h);
    out.bytes.insert(out.bytes.end(), bytes.begin(), bytes.end());
  }
}

}  // namespace

bool buildMaskSet(int n, int resolution, std::int64_t first, std::int64_t count, std::size_t maxValues, MaskSet& set) {
  set = MaskSet{};
  set.n = n;
  set.resolution = resolution;
  if (n <= 0 || resolution <= 0 || count <= 0) return true;
  const std::size_t pixels = set.pixels();
  // Ranges of candidates are collected on all threads, a batch at a time, and
  // merged in candidate order, so the set is the same for any thread count.
  const std::int64_t range = std::max<std::int64_t>(1, std::min<std::int64_t>(4096, (1 << 20) / pixels));
  const std::size_t batch = 4 * static_cast<std::size_t>(threadCount());
  std::vector<MaskRange> ranges(batch);
  std::vector<unsigned char> kept;
  std::unordered_multimap<std::uint64_t, std::size_t> seen;
  for (std::int64_t start = first; start < first + count;) {
    std::size_t used = 0;
    std::int64_t next = start;
    for (; used < batch && next < first + count; ++used, next += range) ranges[used] = MaskRange{};
    parallelFor(used, [&](std::size_t r) {
      const std::int64_t from = start + static_cast<std::int64_t>(r) * range;
      collectRange(n, resolution, from, std::min(range, first + count - from), ranges[r]);
    });
    for (std::size_t r = 0; r < used; ++r) {
      const MaskRange& part = ranges[r];
      for (std::size_t d = 0; d < part.candidate.size(); ++d) {
        const unsigned char* bytes = part.bytes.data() + d * pixels;
        bool duplicate = false;
        for (auto [it, end] = seen.equal_range(part.hash[d]); it != end && !duplicate; ++it)
          duplicate = std::memcmp(kept.data() + it->second * pixels, bytes, pixels) == 0;
        if (duplicate) continue;
        if ((set.count() + 1) * pixels > maxValues) return false;
        seen.emplace(part.hash[d], set.count());
        kept.insert(kept.end(), bytes, bytes + pixels);
        set.candidate.push_back(part.candidate[d]);
        for (std::size_t p = 0; p < pixels; ++p) set.values.push_back(bytes[p]);
      }
    }
    start = next;
  }
  return true;
}

MaskSet buildMaskSet(int n, int resolution, std::int64_t first, std::int64_t count) {
  MaskSet set;
  set.n = n;
  set.resolution = resolution;
  if (n <= 0 || resolution <= 0 || count <= 0) return set;
  MaskRange range;
  collectRange(n, resolution, first, count, range);
  set.candidate = std::move(range.candidate);
  set.values.assign(range.bytes.begin(), range.bytes.end());
  return set;
}

std::unique_ptr<SplitKernel> makeLiteralSplitKernel(const MaskSet& masks, bool poisson, SplitFitFn splitFit) {
  return std::make_unique<LiteralSplitKernel>(masks, poisson, splitFit);
}

SplitSearcher::SplitSearcher(int n, int resolution, bool poisson, SplitFitFn splitFit, SplitKernelFactory factory,
                             double startCost)
    : n_(n),
      resolution_(resolution),
      poisson_(poisson),
      splitFit_(splitFit),
      factory_(factory ? factory : makeLiteralSplitKernel),
      startCost_(startCost) {
  if (n <= 0 || resolution <= 0) return;
  const std::int64_t candidates = static_cast<std::int64_t>(resolution) * resolution;
  auto masks = std::make_unique<MaskSet>();
  if (buildMaskSet(n, resolution, 0, candidates, kWholeSetPixels, *masks)) {
    masks_ = std::move(masks);
    kernel_ = factory_(*masks_, poisson_, splitFit_);
  }
}

bool SplitSearcher::search(const Grid& block, Grid& bestFit, Grid& bestMask, SplitScratch& scratch,
                           std::int64_t* candidate) const {
  if (n_ <= 0 || resolution_ <= 0) return false;
  double best = startCost_;
  std::int64_t winner = -1;
  if (scratch.cost.size() < kCostChunk) scratch.cost.resize(kCostChunk);
  double* cost = scratch.cost.data();
  auto scan = [&](const MaskSet& masks, const SplitKernel& kernel) {
    for (std::size_t d0 = 0; d0 < masks.count(); d0 += kCostChunk) {
      interruptionPoint();
      const std::size_t count = std::min(kCostChunk, masks.count() - d0);
      kernel.costs(block, d0, count, cost, scratch.kernel);
      for (std::size_t c = 0; c < count; ++c)
        if (best > cost[c]) {
          best = cost[c];
          winner = masks.candidate[d0 + c];
        }
    }
  };
  if (masks_) {
    scan(*masks_, *kernel_);
  } else {
    const std::int64_t candidates = static_cast<std::int64_t>(resolution_) * resolution_;
    const std::int64_t range = std::max<std::int64_t>(1, kRangePixels / (static_cast<std::int64_t>(n_) * n_));
    for (std::int64_t first = 0; first < candidates; first += range) {
      const MaskSet masks = buildMaskSet(n_, resolution_, first, std::min(range, candidates - first));
      scan(masks, *factory_(masks, poisson_, splitFit_));
    }
  }
  if (winner < 0) return false;
  if (candidate) *candidate = winner;
  // The winner's fit and mask, as the literal search leaves them.
  const int k = static_cast<int>(winner / resolution_);
  const int l = static_cast<int>(winner % resolution_);
  wedgeMask(bestMask, candidateOffset(n_, k, resolution_), candidateAngle(l, resolution_), n_);
  splitFit_(block, bestFit, bestMask, 0, 0, n_, n_);
  return true;
}

bool searchSplits(const Grid& block, int n, Grid& bestFit, Grid& bestMask, int resolution, std::string_view noiseType,
                  SplitFitFn splitFit, double startCost, SplitKernelFactory factory) {
  if (resolution <= 0 || n <= 0) return false;
  if (noiseType != kPoisson && noiseType != kGaussian) throw Error(kMsgNoiseName);
  const SplitSearcher searcher(n, resolution, noiseType == kPoisson, splitFit, factory, startCost);
  SplitScratch scratch;
  return searcher.search(block, bestFit, bestMask, scratch);
}

}  // namespace dyadfit
