#include "wedgelet/wedge_kernel.h"

#include <cmath>
#include <cstddef>
#include <vector>

namespace dyadfit {
namespace {

// Masks per group: enough independent sums to fill the vector units.
constexpr std::size_t kLanes = 8;

// Masks of one group, pixel-major: w[p * kLanes + c] is pixel p of lane c,
// r the matching 1 - w, as the literal fit computes it.
struct Group {
  std::vector<double> w, r;
  double count[kLanes];
};

// Eight doubles, one mask per element; the operations are element-wise IEEE
// arithmetic, so each lane computes exactly what the scalar code would.
using Lanes = double __attribute__((vector_size(kLanes * sizeof(double))));
using LaneMask = long long __attribute__((vector_size(kLanes * sizeof(double))));

// The helpers are always inlined into the per-instruction-set clones below, so
// the vector argument convention of an outlined call never arises.
#pragma GCC diagnostic ignored "-Wpsabi"
#define DYADFIT_LANE_INLINE inline __attribute__((always_inline))
DYADFIT_LANE_INLINE Lanes load(const double* p) {
  Lanes v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}
DYADFIT_LANE_INLINE void store(double* p, Lanes v) { __builtin_memcpy(p, &v, sizeof v); }
DYADFIT_LANE_INLINE Lanes broadcast(double x) { return Lanes{} + x; }
DYADFIT_LANE_INLINE Lanes select(LaneMask m, Lanes a, Lanes b) { return m ? a : b; }

#define DYADFIT_WEDGE_CLONES __attribute__((target_clones("default", "avx2", "avx512f")))

DYADFIT_WEDGE_CLONES
void sideSums(const double* x, const double* w, const double* r, std::size_t P, double* s1, double* s0) {
  Lanes a{}, b{};
  for (std::size_t p = 0; p < P; ++p) {
    const Lanes v = broadcast(x[p]);
    a += v * load(w + p * kLanes);
    b += v * load(r + p * kLanes);
  }
  store(s1, a);
  store(s0, b);
}

DYADFIT_WEDGE_CLONES
void gaussianCosts(const double* x, const double* w, std::size_t P, const double* v1, const double* v0, double* cost) {
  const Lanes one = load(v1), zero = load(v0);
  Lanes sum{};
  for (std::size_t p = 0; p < P; ++p) {
    const Lanes model = select(load(w + p * kLanes) != 0.0, one, zero);
    const Lanes d = model - broadcast(x[p]);
    sum += d * d;
  }
  store(cost, sum);
}

DYADFIT_WEDGE_CLONES
void poissonCosts(const double* x, const double* w, std::size_t P, const double* v1, const double* v0,
                  const double* log1, const double* log0, double* cost) {
  const Lanes one = load(v1), zero = load(v0), logOne = load(log1), logZero = load(log0);
  Lanes sum{};
  for (std::size_t p = 0; p < P; ++p) {
    const LaneMask side = load(w + p * kLanes) != 0.0;
    const Lanes lambda = select(side, one, zero);
    const Lanes logLambda = select(side, logOne, logZero);
    const Lanes v = broadcast(x[p]);
    const Lanes next = (sum + lambda) - v * logLambda;
    // A pixel whose model and data are both zero adds nothing.
    sum = select((lambda == 0.0) & (v == 0.0), sum, next);
  }
  store(cost, sum);
}

class WedgeKernel final : public SplitKernel {
 public:
  WedgeKernel(const MaskSet& masks, bool poisson) : n_(masks.n), poisson_(poisson) {
    const std::size_t P = masks.pixels();
    groups_.resize((masks.count() + kLanes - 1) / kLanes);
    for (std::size_t g = 0; g < groups_.size(); ++g) {
      Group& group = groups_[g];
      group.w.assign(P * kLanes, 0.0);
      group.r.assign(P * kLanes, 1.0);
      for (std::size_t c = 0; c < kLanes; ++c) {
        const std::size_t d = g * kLanes + c;
        double count = 0.0;
        if (d < masks.count()) {
          const double* m = masks.mask(d);
          for (std::size_t p = 0; p < P; ++p) {
            group.w[p * kLanes + c] = m[p];
            group.r[p * kLanes + c] = 1 - m[p];
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
    for (int i = 0; i < n_; ++i)
      for (int j = 0; j < n_; ++j) x[static_cast<std::size_t>(i) * n_ + j] = block[i][j];
    const int pixels = n_ * n_;

    double s1[kLanes], s0[kLanes], v1[kLanes], v0[kLanes], log1[kLanes], log0[kLanes], laneCost[kLanes];
    const std::size_t end = first + count;
    for (std::size_t g = first / kLanes; g * kLanes < end; ++g) {
      const Group& group = groups_[g];
      sideSums(x, group.w.data(), group.r.data(), P, s1, s0);
      for (std::size_t c = 0; c < kLanes; ++c) {
        const double n1 = group.count[c];
        const double m1 = n1 != 0 ? s1[c] / n1 : s1[c];
        const double m0 = n1 != pixels ? s0[c] / (pixels - n1) : s0[c];
        // The fitted value m1 * w + m0 * (1 - w) at w = 1 and at w = 0.
        v1[c] = m1 * 1.0 + m0 * 0.0;
        v0[c] = m1 * 0.0 + m0 * 1.0;
      }
      if (poisson_) {
        for (std::size_t c = 0; c < kLanes; ++c) {
          log1[c] = std::log(v1[c]);
          log0[c] = std::log(v0[c]);
        }
        poissonCosts(x, group.w.data(), P, v1, v0, log1, log0, laneCost);
      } else {
        gaussianCosts(x, group.w.data(), P, v1, v0, laneCost);
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
  std::vector<Group> groups_;
};

}  // namespace

std::unique_ptr<SplitKernel> makeWedgeKernel(const MaskSet& masks, bool poisson, SplitFitFn) {
  return std::make_unique<WedgeKernel>(masks, poisson);
}

}  // namespace dyadfit
