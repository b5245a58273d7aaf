// SPDX-License-Identifier: BSD-3-Clause
#include "dyadic/parallel.h"
#include "wedgelet/wedge_kernel.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace dyadfit {
namespace {

// Masks per group: enough independent sums to fill the vector units.
constexpr std::size_t kLanes = 8;

// Masks of one group: bit c of bits[p] is pixel p of lane c's mask. One
// word a pixel keeps a call's masks in the nearest caches, and a single load
// broadcasts it to every lane.
struct Group {
  std::vector<std::uint64_t> bits;
  double count[kLanes];
};

// Plain versions: each lane is one mask, computed as the literal fit and cost
// compute it.
bool inMask(const std::uint64_t* w, std::size_t p, std::size_t c) { return (w[p] >> c & 1) != 0; }

void sideSumsPlain(const double* x, const std::uint64_t* w, std::size_t P, double* s1, double* s0) {
  double a[kLanes] = {}, b[kLanes] = {};
  for (std::size_t p = 0; p < P; ++p)
    for (std::size_t c = 0; c < kLanes; ++c) {
      const double m = inMask(w, p, c) ? 1.0 : 0.0;
      a[c] += x[p] * m;
      b[c] += x[p] * (1 - m);
    }
  for (std::size_t c = 0; c < kLanes; ++c) {
    s1[c] = a[c];
    s0[c] = b[c];
  }
}

void gaussianCostsPlain(const double* x, const std::uint64_t* w, std::size_t P, const double* v1, const double* v0,
                        double* cost) {
  double sum[kLanes] = {};
  for (std::size_t p = 0; p < P; ++p)
    for (std::size_t c = 0; c < kLanes; ++c) {
      const double d = (inMask(w, p, c) ? v1[c] : v0[c]) - x[p];
      sum[c] += d * d;
    }
  for (std::size_t c = 0; c < kLanes; ++c) cost[c] = sum[c];
}

void poissonCostsPlain(const double* x, const std::uint64_t* w, std::size_t P, const double* v1, const double* v0,
                       const double* log1, const double* log0, double* cost) {
  double sum[kLanes] = {};
  for (std::size_t p = 0; p < P; ++p)
    for (std::size_t c = 0; c < kLanes; ++c) {
      const bool one = inMask(w, p, c);
      const double lambda = one ? v1[c] : v0[c];
      if (lambda == 0.0 && x[p] == 0.0) continue;
      sum[c] = (sum[c] + lambda) - x[p] * (one ? log1[c] : log0[c]);
    }
  for (std::size_t c = 0; c < kLanes; ++c) cost[c] = sum[c];
}

// The mean of each side and the fitted value at w = 1 and at w = 0, as
// fitWedgeMeans forms them.
void sideValuesPlain(const double* s1, const double* s0, const double* count, int pixels, double* v1, double* v0) {
  for (std::size_t c = 0; c < kLanes; ++c) {
    const double n1 = count[c];
    const double m1 = n1 != 0 ? s1[c] / n1 : s1[c];
    const double m0 = n1 != pixels ? s0[c] / (pixels - n1) : s0[c];
    v1[c] = m1 * 1.0 + m0 * 0.0;
    v0[c] = m1 * 0.0 + m0 * 1.0;
  }
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define DYADFIT_WEDGE_VECTORS 1
// The same operations on vectors of several lanes, written once in
// wedge_lanes.h and compiled for each instruction set: four lanes a vector
// (two a group) under AVX2, eight (one a group) under AVX-512. The whole body
// is compiled for the instruction set, helpers included: GCC builds vectors
// wider than the target in memory, element by element.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace avx2 {
#define DYADFIT_LANE_WIDTH 4
#include "wedgelet/wedge_lanes.h"
}  // namespace avx2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
// Not for 64-bit Windows: its GCC cannot realign the stack, and spills of
// 64-byte vectors there may fault. The AVX2 path runs instead.
#if !defined(_WIN32)
#define DYADFIT_WEDGE_AVX512 1
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f")
#endif
namespace avx512 {
#define DYADFIT_LANE_WIDTH 8
#include "wedgelet/wedge_lanes.h"
}  // namespace avx512
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif
#pragma GCC diagnostic pop
#endif

using SideSumsFn = void (*)(const double*, const std::uint64_t*, std::size_t, double*, double*);
struct LaneFunctions {
  SideSumsFn sideSums;        // any pixels
  SideSumsFn finiteSideSums;  // every pixel finite
  void (*sideValues)(const double*, const double*, const double*, int, double*, double*);
  void (*gaussianCosts)(const double*, const std::uint64_t*, std::size_t, const double*, const double*, double*);
  void (*poissonCosts)(const double*, const std::uint64_t*, std::size_t, const double*, const double*,
                       const double*, const double*, double*);
};

LaneFunctions laneFunctions() {
#ifdef DYADFIT_WEDGE_VECTORS
  switch (isaLevel()) {
    case Isa::Avx512:
#ifdef DYADFIT_WEDGE_AVX512
      return {avx512::sideSums<false>, avx512::sideSums<true>, avx512::sideValues, avx512::gaussianCosts,
              avx512::poissonCosts};
#endif
    case Isa::Avx2:
      return {avx2::sideSums<false>, avx2::sideSums<true>, avx2::sideValues, avx2::gaussianCosts,
              avx2::poissonCosts};
    case Isa::Scalar:
      break;
  }
#endif
  return {sideSumsPlain, sideSumsPlain, sideValuesPlain, gaussianCostsPlain, poissonCostsPlain};
}

class WedgeKernel final : public SplitKernel {
 public:
  WedgeKernel(const MaskSet& masks, bool poisson) : n_(masks.n), poisson_(poisson) {
    const std::size_t P = masks.pixels();
    groups_.resize((masks.count() + kLanes - 1) / kLanes);
    for (std::size_t g = 0; g < groups_.size(); ++g) {
      Group& group = groups_[g];
      group.bits.assign(P, 0);
      for (std::size_t c = 0; c < kLanes; ++c) {
        const std::size_t d = g * kLanes + c;
        double count = 0.0;
        if (d < masks.count()) {
          const double* m = masks.mask(d);
          for (std::size_t p = 0; p < P; ++p) {
            if (m[p] != 0.0) group.bits[p] |= std::uint64_t{1} << c;
            count += m[p];
          }
        }
        group.count[c] = count;
      }
    }
  }

  void costs(const Grid& block, std::size_t first, std::size_t count, double* cost,
             std::vector<double>& scratch) const override {
    const std::size_t P = static_cast<std::size_t>(n_) * static_cast<std::size_t>(n_);
    if (scratch.size() < P) scratch.resize(P);
    double* x = scratch.data();
    bool finite = true;
    for (int i = 0; i < n_; ++i)
      for (int j = 0; j < n_; ++j) {
        const double v = block[i][j];
        x[static_cast<std::size_t>(i) * n_ + j] = v;
        finite = finite && std::isfinite(v);
      }
    const SideSumsFn sideSums = finite ? lanes_.finiteSideSums : lanes_.sideSums;
    const int pixels = n_ * n_;

    double s1[kLanes], s0[kLanes], v1[kLanes], v0[kLanes], log1[kLanes], log0[kLanes], laneCost[kLanes];
    const std::size_t end = first + count;
    for (std::size_t g = first / kLanes; g * kLanes < end; ++g) {
      const Group& group = groups_[g];
      sideSums(x, group.bits.data(), P, s1, s0);
      lanes_.sideValues(s1, s0, group.count, pixels, v1, v0);
      if (poisson_) {
        for (std::size_t c = 0; c < kLanes; ++c) {
          log1[c] = std::log(v1[c]);
          log0[c] = std::log(v0[c]);
        }
        lanes_.poissonCosts(x, group.bits.data(), P, v1, v0, log1, log0, laneCost);
      } else {
        lanes_.gaussianCosts(x, group.bits.data(), P, v1, v0, laneCost);
      }
      if (g * kLanes >= first && g * kLanes + kLanes <= end) {
        std::copy(laneCost, laneCost + kLanes, cost + (g * kLanes - first));
        continue;
      }
      for (std::size_t c = 0; c < kLanes; ++c) {
        const std::size_t d = g * kLanes + c;
        if (d >= first && d < end) cost[d - first] = laneCost[c];
      }
    }
  }

 private:
  int n_;
  bool poisson_;
  LaneFunctions lanes_ = laneFunctions();
  std::vector<Group> groups_;
};

}  // namespace

std::unique_ptr<SplitKernel> makeWedgeKernel(const MaskSet& masks, bool poisson, SplitFitFn) {
  return std::make_unique<WedgeKernel>(masks, poisson);
}

}  // namespace dyadfit
