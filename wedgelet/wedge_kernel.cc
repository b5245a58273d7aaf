// SPDX-License-Identifier: BSD-3-Clause
#include "dyadic/parallel.h"
#include "wedgelet/wedge_kernel.h"

#include <algorithm>
#include <cmath>
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <cstddef>
#include <cstdint>
#include <vector>

namespace dyadfit {
namespace {

// Masks per group: enough independent sums to fill the vector units.
constexpr std::size_t kLanes = 8;

// Masks of one group, pixel-major: w[p * kLanes + c] is pixel p of lane c,
// all ones where the mask is 1, else 0, kept in 32 bits so that a call's
// masks stay in the nearest caches. Widened to 64 bits, a word selects or
// clears a double whole.
struct Group {
  std::vector<std::uint32_t> w;
  double count[kLanes];
};
constexpr std::uint32_t kOn = 0xffffffffu;

// Plain versions: each lane is one mask, computed as the literal fit and cost
// compute it.
void sideSumsPlain(const double* x, const std::uint32_t* w, std::size_t P, double* s1, double* s0) {
  double a[kLanes] = {}, b[kLanes] = {};
  for (std::size_t p = 0; p < P; ++p)
    for (std::size_t c = 0; c < kLanes; ++c) {
      const double m = w[p * kLanes + c] ? 1.0 : 0.0;
      a[c] += x[p] * m;
      b[c] += x[p] * (1 - m);
    }
  for (std::size_t c = 0; c < kLanes; ++c) {
    s1[c] = a[c];
    s0[c] = b[c];
  }
}

void gaussianCostsPlain(const double* x, const std::uint32_t* w, std::size_t P, const double* v1, const double* v0,
                        double* cost) {
  double sum[kLanes] = {};
  for (std::size_t p = 0; p < P; ++p)
    for (std::size_t c = 0; c < kLanes; ++c) {
      const double d = (w[p * kLanes + c] != 0 ? v1[c] : v0[c]) - x[p];
      sum[c] += d * d;
    }
  for (std::size_t c = 0; c < kLanes; ++c) cost[c] = sum[c];
}

void poissonCostsPlain(const double* x, const std::uint32_t* w, std::size_t P, const double* v1, const double* v0,
                       const double* log1, const double* log0, double* cost) {
  double sum[kLanes] = {};
  for (std::size_t p = 0; p < P; ++p)
    for (std::size_t c = 0; c < kLanes; ++c) {
      const bool one = w[p * kLanes + c] != 0;
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
#define DYADFIT_WEDGE_AVX2 1
// The same operations on two AVX2 vectors of four lanes (no FMA: every
// product is rounded before its sum, as in the plain code).

// Four mask words widened to four all-ones or all-zero doubles.
__attribute__((target("avx2"))) inline __m256d widen(const std::uint32_t* w) {
  return _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w))));
}

// With every pixel finite, x * 1 is x and x * 0 is a zero: kept or cleared
// by the mask alone. The zero's sign cannot show: a sum that starts at +0
// never becomes -0, and adding either zero leaves any other sum as it is.
// Infinities and NaN take the products, as the literal fit does.
template <bool kFinite>
__attribute__((target("avx2"))) void sideSumsAvx2(const double* x, const std::uint32_t* w, std::size_t P, double* s1,
                                                  double* s0) {
  const __m256d ones = _mm256_set1_pd(1.0);
  __m256d a0 = _mm256_setzero_pd(), a1 = a0, b0 = a0, b1 = a0;
  for (std::size_t p = 0; p < P; ++p) {
    const __m256d v = _mm256_broadcast_sd(x + p);
    const __m256d k0 = widen(w + p * kLanes), k1 = widen(w + p * kLanes + 4);
    if constexpr (kFinite) {
      a0 = _mm256_add_pd(a0, _mm256_and_pd(k0, v));
      a1 = _mm256_add_pd(a1, _mm256_and_pd(k1, v));
      b0 = _mm256_add_pd(b0, _mm256_andnot_pd(k0, v));
      b1 = _mm256_add_pd(b1, _mm256_andnot_pd(k1, v));
    } else {
      const __m256d m0 = _mm256_and_pd(k0, ones), m1 = _mm256_and_pd(k1, ones);
      a0 = _mm256_add_pd(a0, _mm256_mul_pd(v, m0));
      a1 = _mm256_add_pd(a1, _mm256_mul_pd(v, m1));
      b0 = _mm256_add_pd(b0, _mm256_mul_pd(v, _mm256_sub_pd(ones, m0)));
      b1 = _mm256_add_pd(b1, _mm256_mul_pd(v, _mm256_sub_pd(ones, m1)));
    }
  }
  _mm256_storeu_pd(s1, a0);
  _mm256_storeu_pd(s1 + 4, a1);
  _mm256_storeu_pd(s0, b0);
  _mm256_storeu_pd(s0 + 4, b1);
}

__attribute__((target("avx2"))) void sideValuesAvx2(const double* s1, const double* s0, const double* count,
                                                    int pixels, double* v1, double* v0) {
  const __m256d zero = _mm256_setzero_pd(), one = _mm256_set1_pd(1.0);
  const __m256d all = _mm256_set1_pd(static_cast<double>(pixels));
  for (std::size_t h = 0; h < kLanes; h += 4) {
    const __m256d n1 = _mm256_loadu_pd(count + h);
    const __m256d a = _mm256_loadu_pd(s1 + h), b = _mm256_loadu_pd(s0 + h);
    // Both quotients are formed; the mask keeps each only where the literal code divides.
    const __m256d m1 = _mm256_blendv_pd(a, _mm256_div_pd(a, n1), _mm256_cmp_pd(n1, zero, _CMP_NEQ_UQ));
    const __m256d m0 =
        _mm256_blendv_pd(b, _mm256_div_pd(b, _mm256_sub_pd(all, n1)), _mm256_cmp_pd(n1, all, _CMP_NEQ_UQ));
    _mm256_storeu_pd(v1 + h, _mm256_add_pd(_mm256_mul_pd(m1, one), _mm256_mul_pd(m0, zero)));
    _mm256_storeu_pd(v0 + h, _mm256_add_pd(_mm256_mul_pd(m1, zero), _mm256_mul_pd(m0, one)));
  }
}

__attribute__((target("avx2"))) void gaussianCostsAvx2(const double* x, const std::uint32_t* w, std::size_t P,
                                                       const double* v1, const double* v0, double* cost) {
  const __m256d one0 = _mm256_loadu_pd(v1), one1 = _mm256_loadu_pd(v1 + 4);
  const __m256d zero0 = _mm256_loadu_pd(v0), zero1 = _mm256_loadu_pd(v0 + 4);
  __m256d sum0 = _mm256_setzero_pd(), sum1 = sum0;
  for (std::size_t p = 0; p < P; ++p) {
    const __m256d v = _mm256_broadcast_sd(x + p);
    const __m256d d0 = _mm256_sub_pd(_mm256_blendv_pd(zero0, one0, widen(w + p * kLanes)), v);
    const __m256d d1 = _mm256_sub_pd(_mm256_blendv_pd(zero1, one1, widen(w + p * kLanes + 4)), v);
    sum0 = _mm256_add_pd(sum0, _mm256_mul_pd(d0, d0));
    sum1 = _mm256_add_pd(sum1, _mm256_mul_pd(d1, d1));
  }
  _mm256_storeu_pd(cost, sum0);
  _mm256_storeu_pd(cost + 4, sum1);
}

__attribute__((target("avx2"))) void poissonCostsAvx2(const double* x, const std::uint32_t* w, std::size_t P,
                                                      const double* v1, const double* v0, const double* log1,
                                                      const double* log0, double* cost) {
  const __m256d none = _mm256_setzero_pd();
  __m256d sum[2] = {none, none};
  __m256d one[2], zero[2], logOne[2], logZero[2];
  for (int h = 0; h < 2; ++h) {
    one[h] = _mm256_loadu_pd(v1 + 4 * h);
    zero[h] = _mm256_loadu_pd(v0 + 4 * h);
    logOne[h] = _mm256_loadu_pd(log1 + 4 * h);
    logZero[h] = _mm256_loadu_pd(log0 + 4 * h);
  }
  for (std::size_t p = 0; p < P; ++p) {
    const __m256d v = _mm256_broadcast_sd(x + p);
    const __m256d dataZero = _mm256_cmp_pd(v, none, _CMP_EQ_OQ);
    for (int h = 0; h < 2; ++h) {
      const __m256d side = widen(w + p * kLanes + 4 * h);
      const __m256d lambda = _mm256_blendv_pd(zero[h], one[h], side);
      const __m256d logLambda = _mm256_blendv_pd(logZero[h], logOne[h], side);
      const __m256d next = _mm256_sub_pd(_mm256_add_pd(sum[h], lambda), _mm256_mul_pd(v, logLambda));
      // A pixel whose model and data are both zero adds nothing.
      const __m256d skip = _mm256_and_pd(_mm256_cmp_pd(lambda, none, _CMP_EQ_OQ), dataZero);
      sum[h] = _mm256_blendv_pd(next, sum[h], skip);
    }
  }
  _mm256_storeu_pd(cost, sum[0]);
  _mm256_storeu_pd(cost + 4, sum[1]);
}
#endif

using SideSumsFn = void (*)(const double*, const std::uint32_t*, std::size_t, double*, double*);
struct LaneFunctions {
  SideSumsFn sideSums;        // any pixels
  SideSumsFn finiteSideSums;  // every pixel finite
  void (*sideValues)(const double*, const double*, const double*, int, double*, double*);
  void (*gaussianCosts)(const double*, const std::uint32_t*, std::size_t, const double*, const double*, double*);
  void (*poissonCosts)(const double*, const std::uint32_t*, std::size_t, const double*, const double*,
                       const double*, const double*, double*);
};

LaneFunctions laneFunctions() {
#ifdef DYADFIT_WEDGE_AVX2
  if (avx2Enabled())
    return {sideSumsAvx2<false>, sideSumsAvx2<true>, sideValuesAvx2, gaussianCostsAvx2, poissonCostsAvx2};
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
      group.w.assign(P * kLanes, 0);
      for (std::size_t c = 0; c < kLanes; ++c) {
        const std::size_t d = g * kLanes + c;
        double count = 0.0;
        if (d < masks.count()) {
          const double* m = masks.mask(d);
          for (std::size_t p = 0; p < P; ++p) {
            group.w[p * kLanes + c] = m[p] != 0.0 ? kOn : 0;
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
      sideSums(x, group.w.data(), P, s1, s0);
      lanes_.sideValues(s1, s0, group.count, pixels, v1, v0);
      if (poisson_) {
        for (std::size_t c = 0; c < kLanes; ++c) {
          log1[c] = std::log(v1[c]);
          log0[c] = std::log(v0[c]);
        }
        lanes_.poissonCosts(x, group.w.data(), P, v1, v0, log1, log0, laneCost);
      } else {
        lanes_.gaussianCosts(x, group.w.data(), P, v1, v0, laneCost);
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
