// SPDX-License-Identifier: BSD-3-Clause
#include "platelet/plane_kernel.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "dyadic/parallel.h"
#include "dyadic/region_cost.h"
#include "platelet/plane_fit.h"
#include "platelet/plane_solver.h"

// The lane helpers are always inlined into the per-instruction-set functions
// below, so the vector convention of an outlined call never arises.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace dyadfit {
namespace {

constexpr int kUnknowns = 6;
// Masks per group: one vector register of doubles under AVX2.
constexpr std::size_t kLanes = 4;
// Doubles one kernel may hold (256 MiB, at seven per mask pixel: e.g. the
// 11260 distinct masks of side 16 under 161 x 161 lines); masks past them
// take the literal fit.
constexpr std::size_t kKernelDoubles = std::size_t{1} << 25;

// Four doubles, one mask per element. Element-wise IEEE arithmetic, so each
// lane computes exactly what the scalar code computes for its mask.
using Lanes = double __attribute__((vector_size(kLanes * sizeof(double))));
using LaneMask = decltype(Lanes{} < Lanes{});

#define DYADFIT_LANES_INLINE inline __attribute__((always_inline))
DYADFIT_LANES_INLINE Lanes load(const double* p) {
  Lanes v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
DYADFIT_LANES_INLINE void store(double* p, const Lanes& v) { std::memcpy(p, &v, sizeof v); }
// Entry p of a column of lanes.
DYADFIT_LANES_INLINE Lanes at(const double* column, std::size_t p) { return load(column + p * kLanes); }
// Every lane x, signed zeros included.
DYADFIT_LANES_INLINE Lanes broadcast(double x) { return Lanes{x, x, x, x}; }
static_assert(kLanes == 4, "broadcast lists every lane");
DYADFIT_LANES_INLINE Lanes select(const LaneMask& m, const Lanes& a, const Lanes& b) { return m ? a : b; }

// The masks of one set, laid out lane by lane: element [(j*m + p)*kLanes
// + c] of `factors` is row p of column j of lane c's dgeqrf output, and
// element [p*kLanes + c] of `mask` is pixel p of its mask.
struct Group {
  std::size_t first = 0;  // its first mask; lanes past the set repeat the last
  std::vector<double> factors, mask;
  double negTau[kUnknowns][kLanes];
  double lastv[kUnknowns][kLanes];
  int minLast[kUnknowns], maxLast[kUnknowns];
};

// FactoredDesign::solveReplica for a group of masks at once. A lane whose
// reference routine would skip a step keeps its old values through a select:
// rows past its reflector, a zero w in dger, a zero entry in dtrsm (a
// rank-deficient lane computes nonsense: such masks are never served by lanes).
// Two skips need no select: rows that iladlc finds zero give
// w = 0, which dger skips anyway; and a zero coefficient adds only zeros to
// fitted values that are never -0, over a design without infinities.
DYADFIT_LANES_INLINE void coefficients(const Group& g, const double* x, std::size_t m, double* cBuffer, Lanes* coef) {
  for (std::size_t p = 0; p < m; ++p) store(cBuffer + p * kLanes, broadcast(x[p]));
  for (int j = 0; j < kUnknowns; ++j) {
    const double* v = g.factors.data() + static_cast<std::size_t>(j) * m * kLanes;
    const Lanes last = load(g.lastv[j]);
    const int lo = g.minLast[j], hi = g.maxLast[j];
    const std::size_t row = static_cast<std::size_t>(j);
    Lanes temp = broadcast(0.0);
    if (hi > 0) {
      const Lanes t = temp + at(cBuffer, row) * 1.0;
      temp = lo > 0 ? t : select(broadcast(0.0) < last, t, temp);
    }
    int r = 1;
    for (; r < lo; ++r) {
      const std::size_t p = row + static_cast<std::size_t>(r);
      temp = temp + at(cBuffer, p) * load(v + p * kLanes);
    }
    for (; r < hi; ++r) {
      const std::size_t p = row + static_cast<std::size_t>(r);
      temp = select(broadcast(r) < last, temp + at(cBuffer, p) * load(v + p * kLanes), temp);
    }
    const Lanes w = 0.0 + 1.0 * temp;
    const LaneMask active = w != 0.0;
    const Lanes t = load(g.negTau[j]) * w;
    store(cBuffer + row * kLanes, select(active, at(cBuffer, row) + 1.0 * t, at(cBuffer, row)));
    for (r = 1; r < hi; ++r) {
      const std::size_t p = row + static_cast<std::size_t>(r);
      const LaneMask take = r < lo ? active : active & (broadcast(r) < last);
      store(cBuffer + p * kLanes, select(take, at(cBuffer, p) + load(v + p * kLanes) * t, at(cBuffer, p)));
    }
  }
  Lanes s[kUnknowns];
  for (int j = 0; j < kUnknowns; ++j) s[j] = at(cBuffer, static_cast<std::size_t>(j));
  for (int k = kUnknowns - 1; k >= 0; --k) {
    const double* rk = g.factors.data() + static_cast<std::size_t>(k) * m * kLanes;
    const LaneMask nonzero = s[k] != 0.0;
    s[k] = select(nonzero, s[k] / load(rk + static_cast<std::size_t>(k) * kLanes), s[k]);
    for (int i = 0; i < k; ++i)
      s[i] = select(nonzero, s[i] - s[k] * load(rk + static_cast<std::size_t>(i) * kLanes), s[i]);
  }
  for (int j = 0; j < kUnknowns; ++j) coef[j] = s[j];
}

// dgemv 'N' at pixel (u, v): the design row w, u*w, v*w, 1*rest, u*rest,
// v*rest (rest = 1 - w), as fitWedgePlanes builds it, times the coefficients.
DYADFIT_LANES_INLINE Lanes fittedAt(const Lanes* coef, const Lanes& w, double u, double v) {
  const Lanes rest = 1.0 - w;
  const Lanes U = broadcast(u), V = broadcast(v);
  Lanes f = broadcast(0.0);
  f = f + (1.0 * coef[0]) * w;
  f = f + (1.0 * coef[1]) * (U * w);
  f = f + (1.0 * coef[2]) * (V * w);
  f = f + (1.0 * coef[3]) * rest;
  f = f + (1.0 * coef[4]) * (U * rest);
  f = f + (1.0 * coef[5]) * (V * rest);
  return f;
}

// The lanes' fitted values, fitted[p*kLanes + c].
DYADFIT_LANES_INLINE void fittedImpl(const Group& g, const double* x, int n, double* cBuffer, double* fitted) {
  const std::size_t m = static_cast<std::size_t>(n) * static_cast<std::size_t>(n);
  Lanes coef[kUnknowns];
  coefficients(g, x, m, cBuffer, coef);
  std::size_t p = 0;
  for (int u = 0; u < n; ++u)
    for (int v = 0; v < n; ++v, ++p) store(fitted + p * kLanes, fittedAt(coef, load(g.mask.data() + p * kLanes), u, v));
}

// regionCost over the fitted values, in pixel order.
DYADFIT_LANES_INLINE void gaussianImpl(const Group& g, const double* x, int n, double* cBuffer, double* cost) {
  const std::size_t m = static_cast<std::size_t>(n) * static_cast<std::size_t>(n);
  Lanes coef[kUnknowns];
  coefficients(g, x, m, cBuffer, coef);
  Lanes sum = broadcast(0.0);
  std::size_t p = 0;
  for (int u = 0; u < n; ++u)
    for (int v = 0; v < n; ++v, ++p) {
      const Lanes d = fittedAt(coef, load(g.mask.data() + p * kLanes), u, v) - broadcast(x[p]);
      sum += d * d;
    }
  store(cost, sum);
}

void fittedPlain(const Group& g, const double* x, int n, double* cBuffer, double* fitted) {
  fittedImpl(g, x, n, cBuffer, fitted);
}
void gaussianPlain(const Group& g, const double* x, int n, double* cBuffer, double* cost) {
  gaussianImpl(g, x, n, cBuffer, cost);
}
#if defined(__x86_64__)
__attribute__((target("avx2"))) void fittedAvx2(const Group& g, const double* x, int n, double* cBuffer,
                                                double* fitted) {
  fittedImpl(g, x, n, cBuffer, fitted);
}
__attribute__((target("avx2"))) void gaussianAvx2(const Group& g, const double* x, int n, double* cBuffer,
                                                  double* cost) {
  gaussianImpl(g, x, n, cBuffer, cost);
}
#endif

struct LaneFunctions {
  void (*fitted)(const Group&, const double*, int, double*, double*);
  void (*gaussian)(const Group&, const double*, int, double*, double*);
};

LaneFunctions laneFunctions() {
#if defined(__x86_64__)
  if (avx2Enabled()) return {fittedAvx2, gaussianAvx2};
#endif
  return {fittedPlain, gaussianPlain};
}

double gaussianCost(const double* x, const double* model, std::size_t m, std::size_t stride) {
  double sum = 0.0;
  for (std::size_t p = 0; p < m; ++p) {
    const double d = model[p * stride] - x[p];
    sum += d * d;
  }
  return sum;
}

double poissonCost(const double* x, const double* model, std::size_t m, std::size_t stride) {
  double sum = 0.0;
  for (std::size_t p = 0; p < m; ++p) {
    const double lambda = model[p * stride];
    if (lambda == 0.0 && x[p] == 0.0) continue;
    sum = (sum + lambda) - x[p] * std::log(lambda);
  }
  return sum;
}

class PlateletKernel final : public SplitKernel {
 public:
  PlateletKernel(const MaskSet& masks, bool poisson, SplitFitFn splitFit)
      : masks_(masks), poisson_(poisson), splitFit_(splitFit), lanes_(laneFunctions()) {
    const std::size_t m = masks.pixels();
    if (m < static_cast<std::size_t>(kUnknowns)) return;
    const std::size_t groupDoubles = (kUnknowns + 1) * m * kLanes;
    groupCount_ = std::min((masks.count() + kLanes - 1) / kLanes, kKernelDoubles / groupDoubles);
    if (groupCount_ > 0) groups_ = std::make_unique<LaneGroup[]>(groupCount_);
  }

  void costs(const Grid& block, std::size_t first, std::size_t count, double* cost,
             std::vector<double>& scratch) const override {
    const int n = masks_.n;
    const std::size_t m = masks_.pixels();
    // data, one mask's right-hand side and fitted values, its solver's
    // scratch, the lanes' working column and fitted values
    const std::size_t need = 3 * m + m * (kUnknowns + 2) + 2 * m * kLanes;
    if (scratch.size() < need) scratch.resize(need);
    double* x = scratch.data();
    double* b = x + m;
    double* fitted = b + m;
    double* work = fitted + m;
    double* column = work + m * (kUnknowns + 2);
    double* laneFitted = column + m * kLanes;
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) x[static_cast<std::size_t>(i) * n + j] = block[i][j];
    const bool plain = groupCount_ > 0 && plainRightHandSide(x, static_cast<int>(m));

    Grid mask, fit;  // sized on the first literal fit only
    double laneCost[kLanes];
    std::size_t current = groupCount_;  // the group of the last mask seen
    bool literalGroup = true, costed = false;
    for (std::size_t c = 0; c < count; ++c) {
      const std::size_t d = first + c;
      const std::size_t gi = d / kLanes;
      if (plain && gi < groupCount_ && gi != current) {
        LaneGroup& group = groups_[gi];
        current = gi;
        costed = false;
        // A group's first square takes the literal fits: a set searched on
        // one square only is never factored.
        literalGroup = group.uses.fetch_add(1, std::memory_order_relaxed) == 0;
        if (!literalGroup) std::call_once(group.prepared, [&] { prepare(gi); });
      }
      const Mode mode = plain && gi < groupCount_ && !literalGroup ? groups_[gi].mode[d % kLanes] : Mode::Literal;
      if (mode == Mode::Lanes) {
        if (!costed) {
          const Group& g = groups_[gi].lanes;
          if (poisson_) {
            lanes_.fitted(g, x, n, column, laneFitted);
            for (std::size_t l = 0; l < kLanes; ++l) laneCost[l] = poissonCost(x, laneFitted + l, m, kLanes);
          } else {
            lanes_.gaussian(g, x, n, column, laneCost);
          }
          costed = true;
        }
        cost[c] = laneCost[d % kLanes];
      } else if (mode == Mode::Solver) {
        std::copy(x, x + m, b);
        groups_[gi].solver[d % kLanes]->solve(b, fitted, work);
        cost[c] = poisson_ ? poissonCost(x, fitted, m, 1) : gaussianCost(x, fitted, m, 1);
      } else {
        if (mask.outer() != n) mask = Grid(n, n), fit = Grid(n, n);
        masks_.copyTo(d, mask);
        splitFit_(block, fit, mask, 0, 0, n, n);
        cost[c] = regionCost(block, fit, n, n, poisson_ ? kPoisson : kGaussian);
      }
    }
  }

  std::vector<bool> laneMasks() const {
    std::vector<bool> lanes(masks_.count(), false);
    for (std::size_t gi = 0; gi < groupCount_; ++gi) {
      std::call_once(groups_[gi].prepared, [&] { prepare(gi); });
      for (std::size_t c = 0; c < kLanes && gi * kLanes + c < masks_.count(); ++c)
        lanes[gi * kLanes + c] = groups_[gi].mode[c] == Mode::Lanes;
    }
    return lanes;
  }

 private:
  enum class Mode : unsigned char {
    Literal,  // splitFit and regionCost
    Solver,   // the mask's own FactoredDesign
    Lanes,    // its group's lanes
  };

  // Masks [kLanes g, kLanes g + kLanes), prepared by the thread that first
  // needs them.
  struct LaneGroup {
    std::atomic<std::uint32_t> uses{0};
    std::once_flag prepared;
    Group lanes;
    Mode mode[kLanes] = {};
    std::unique_ptr<FactoredDesign> solver[kLanes];
  };

  // Factors the masks of group gi, and checks each lane against the literal
  // fit on the probe blocks: a lane that does not give its bits falls back to
  // its FactoredDesign (checked the same way) or to the literal fit. A
  // rank-deficient mask goes to its FactoredDesign, which runs the literal
  // fit's minimum-norm solve without the dgels call that precedes it there.
  void prepare(std::size_t gi) const {
    const int n = masks_.n;
    const std::size_t m = masks_.pixels();
    const std::size_t first = gi * kLanes;
    LaneGroup& group = groups_[gi];
    Group& g = group.lanes;
    g.first = first;
    g.factors.assign(kUnknowns * m * kLanes, 0.0);
    g.mask.assign(m * kLanes, 0.0);
    std::unique_ptr<FactoredDesign> lane[kLanes];
    for (std::size_t c = 0; c < kLanes; ++c) {
      const std::size_t d = std::min(first + c, masks_.count() - 1);
      std::vector<double> design(m * kUnknowns);
      wedgePlanesDesign(masks_.mask(d), static_cast<std::size_t>(n), n, n, design.data());
      lane[c] = std::make_unique<FactoredDesign>(std::move(design), static_cast<int>(m), kUnknowns, false);
      const FactoredDesign& f = *lane[c];
      for (std::size_t p = 0; p < m; ++p) g.mask[p * kLanes + c] = masks_.mask(d)[p];
      for (int j = 0; j < kUnknowns; ++j) {
        g.negTau[j][c] = 0.0;
        g.lastv[j][c] = 0.0;
      }
      if (f.mode() == FactoredDesign::Mode::Literal) continue;
      for (std::size_t q = 0; q < kUnknowns * m; ++q) g.factors[q * kLanes + c] = f.factors()[q];
      for (int j = 0; j < kUnknowns; ++j) {
        g.negTau[j][c] = -f.tau()[static_cast<std::size_t>(j)];
        g.lastv[j][c] = f.reflectorRows(j);
      }
    }
    for (int j = 0; j < kUnknowns; ++j) {
      const auto [lo, hi] = std::minmax_element(g.lastv[j], g.lastv[j] + kLanes);
      g.minLast[j] = static_cast<int>(*lo);
      g.maxLast[j] = static_cast<int>(*hi);
    }

    std::vector<double> rhs(m), literal(m), viaLanes(m * kLanes), x(m), column(m * kLanes), b(m), viaSolver(m),
        work(lane[0]->scratchSize());
    bool lanesMatch[kLanes], solverMatches[kLanes];
    std::fill(lanesMatch, lanesMatch + kLanes, true);
    std::fill(solverMatches, solverMatches + kLanes, true);
    for (int which = 0; which < kProbeBlocks; ++which) {
      probeBlock(which, static_cast<int>(m), x.data());
      lanes_.fitted(g, x.data(), n, column.data(), viaLanes.data());
      for (std::size_t c = 0; c < kLanes && first + c < masks_.count(); ++c) {
        const FactoredDesign& f = *lane[c];
        if (f.mode() == FactoredDesign::Mode::Literal) continue;
        rhs = x;
        solveWithDgels(f.design(), rhs, literal, static_cast<int>(m), kUnknowns);
        for (std::size_t p = 0; p < m; ++p)
          lanesMatch[c] = lanesMatch[c] && std::memcmp(&viaLanes[p * kLanes + c], &literal[p], sizeof(double)) == 0;
        b = x;
        f.solve(b.data(), viaSolver.data(), work.data());
        solverMatches[c] = solverMatches[c] && std::memcmp(viaSolver.data(), literal.data(), m * sizeof(double)) == 0;
      }
    }
    for (std::size_t c = 0; c < kLanes && first + c < masks_.count(); ++c) {
      if (lane[c]->mode() == FactoredDesign::Mode::Literal) continue;
      if (lanesMatch[c] && lane[c]->mode() != FactoredDesign::Mode::MinimumNorm) {
        group.mode[c] = Mode::Lanes;
      } else if (solverMatches[c]) {
        group.mode[c] = Mode::Solver;
        group.solver[c] = std::move(lane[c]);
      }
    }
  }

  const MaskSet& masks_;
  bool poisson_;
  SplitFitFn splitFit_;
  LaneFunctions lanes_;
  std::size_t groupCount_ = 0;  // the groups within the memory budget
  std::unique_ptr<LaneGroup[]> groups_;
};

}  // namespace

std::unique_ptr<SplitKernel> makePlateletKernel(const MaskSet& masks, bool poisson, SplitFitFn splitFit) {
  return std::make_unique<PlateletKernel>(masks, poisson, splitFit);
}

std::vector<bool> plateletLaneMasks(const MaskSet& masks) {
  return PlateletKernel(masks, false, fitWedgePlanes).laneMasks();
}

}  // namespace dyadfit
