#include "wedgelet/wedge_kernel.h"

#include <cmath>
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <cstddef>
#include <vector>

namespace dyadfit {
namespace {

// Masks per group: enough independent sums to fill the vector units.
constexpr std::size_t kLanes = 8;

// Masks of one group, pixel-major: w[p * kLanes + c] is pixel p of lane c,
// 0 or 1, kept as floats so that a call's masks stay in the nearest caches.
struct Group {
  std::vector<float> w;
  double count[kLanes];
};

// Plain versions: each lane is one mask, computed as the literal fit and cost
// compute it.
void sideSumsPlain(const double* x, const float* w, std::size_t P, double* s1, double* s0) {
  double a[kLanes] = {}, b[kLanes] = {};
  for (std::size_t p = 0; p < P; ++p)
    for (std::size_t c = 0; c < kLanes; ++c) {
      const double m = w[p * kLanes + c];
      a[c] += x[p] * m;
      b[c] += x[p] * (1 - m);
    }
  for (std::size_t c = 0; c < kLanes; ++c) {
    s1[c] = a[c];
    s0[c] = b[c];
  }
}

void gaussianCostsPlain(const double* x, const float* w, std::size_t P, const double* v1, const double* v0,
                        double* cost) {
  double sum[kLanes] = {};
  for (std::size_t p = 0; p < P; ++p)
    for (std::size_t c = 0; c < kLanes; ++c) {
      const double d = (w[p * kLanes + c] != 0 ? v1[c] : v0[c]) - x[p];
      sum[c] += d * d;
    }
  for (std::size_t c = 0; c < kLanes; ++c) cost[c] = sum[c];
}

void poissonCostsPlain(const double* x, const float* w, std::size_t P, const double* v1, const double* v0,
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

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define DYADFIT_WEDGE_AVX2 1
// The same operations on two AVX2 vectors of four lanes (no FMA: every
// product is rounded before its sum, as in the plain code).
__attribute__((target("avx2"))) void sideSumsAvx2(const double* x, const float* w, std::size_t P, double* s1,
                                                  double* s0) {
  const __m256d ones = _mm256_set1_pd(1.0);
  __m256d a0 = _mm256_setzero_pd(), a1 = a0, b0 = a0, b1 = a0;
  for (std::size_t p = 0; p < P; ++p) {
    const __m256d v = _mm256_broadcast_sd(x + p);
    const __m256d m0 = _mm256_cvtps_pd(_mm_loadu_ps(w + p * kLanes));
    const __m256d m1 = _mm256_cvtps_pd(_mm_loadu_ps(w + p * kLanes + 4));
    a0 = _mm256_add_pd(a0, _mm256_mul_pd(v, m0));
    a1 = _mm256_add_pd(a1, _mm256_mul_pd(v, m1));
    b0 = _mm256_add_pd(b0, _mm256_mul_pd(v, _mm256_sub_pd(ones, m0)));
    b1 = _mm256_add_pd(b1, _mm256_mul_pd(v, _mm256_sub_pd(ones, m1)));
  }
  _mm256_storeu_pd(s1, a0);
  _mm256_storeu_pd(s1 + 4, a1);
  _mm256_storeu_pd(s0, b0);
  _mm256_storeu_pd(s0 + 4, b1);
}

__attribute__((target("avx2"))) void gaussianCostsAvx2(const double* x, const float* w, std::size_t P, const double* v1,
                                                       const double* v0, double* cost) {
  const __m256d one0 = _mm256_loadu_pd(v1), one1 = _mm256_loadu_pd(v1 + 4);
  const __m256d zero0 = _mm256_loadu_pd(v0), zero1 = _mm256_loadu_pd(v0 + 4);
  const __m256d none = _mm256_setzero_pd();
  __m256d sum0 = _mm256_setzero_pd(), sum1 = sum0;
  for (std::size_t p = 0; p < P; ++p) {
    const __m256d v = _mm256_broadcast_sd(x + p);
    const __m256d side0 = _mm256_cmp_pd(_mm256_cvtps_pd(_mm_loadu_ps(w + p * kLanes)), none, _CMP_NEQ_UQ);
    const __m256d side1 = _mm256_cmp_pd(_mm256_cvtps_pd(_mm_loadu_ps(w + p * kLanes + 4)), none, _CMP_NEQ_UQ);
    const __m256d d0 = _mm256_sub_pd(_mm256_blendv_pd(zero0, one0, side0), v);
    const __m256d d1 = _mm256_sub_pd(_mm256_blendv_pd(zero1, one1, side1), v);
    sum0 = _mm256_add_pd(sum0, _mm256_mul_pd(d0, d0));
    sum1 = _mm256_add_pd(sum1, _mm256_mul_pd(d1, d1));
  }
  _mm256_storeu_pd(cost, sum0);
  _mm256_storeu_pd(cost + 4, sum1);
}

__attribute__((target("avx2"))) void poissonCostsAvx2(const double* x, const float* w, std::size_t P, const double* v1,
                                                      const double* v0, const double* log1, const double* log0,
                                                      double* cost) {
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
      const __m256d side = _mm256_cmp_pd(_mm256_cvtps_pd(_mm_loadu_ps(w + p * kLanes + 4 * h)), none, _CMP_NEQ_UQ);
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

struct LaneFunctions {
  void (*sideSums)(const double*, const float*, std::size_t, double*, double*);
  void (*gaussianCosts)(const double*, const float*, std::size_t, const double*, const double*, double*);
  void (*poissonCosts)(const double*, const float*, std::size_t, const double*, const double*, const double*,
                       const double*, double*);
};

LaneFunctions laneFunctions() {
#ifdef DYADFIT_WEDGE_AVX2
  if (__builtin_cpu_supports("avx2")) return {sideSumsAvx2, gaussianCostsAvx2, poissonCostsAvx2};
#endif
  return {sideSumsPlain, gaussianCostsPlain, poissonCostsPlain};
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
            group.w[p * kLanes + c] = m[p] != 0.0 ? 1.0f : 0.0f;
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
      lanes_.sideSums(x, group.w.data(), P, s1, s0);
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
        lanes_.poissonCosts(x, group.w.data(), P, v1, v0, log1, log0, laneCost);
      } else {
        lanes_.gaussianCosts(x, group.w.data(), P, v1, v0, laneCost);
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
