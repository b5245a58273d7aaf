// SPDX-License-Identifier: BSD-3-Clause
#include "dyadic/prune_dyadic.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "dyadic/parallel.h"
#include "dyadic/region_cost.h"
#include "host/host.h"

namespace dyadfit {
namespace {

// Log-likelihood term of one element, given log(mu): the negative of its
// region cost. log is a pure function, so a cached log(mu) gives the same bits.
inline double poissonTerm(double x, double mu, double logMu) { return (mu == 0.0 && x == 0.0) ? 0.0 : x * logMu - mu; }
inline double gaussianTerm(double x, double mu) {
  const double d = x - mu;
  return -(d * d);
}
template <bool kPoisson>
inline double fitTerm(double x, double mu, double logMu) {
  if constexpr (kPoisson)
    return poissonTerm(x, mu, logMu);
  else
    return gaussianTerm(x, mu);
}
template <bool kPoisson>
inline double logOf(double mu) {
  if constexpr (kPoisson)
    return std::log(mu);
  else
    return 0.0;
}

// Pixels per work item: enough to amortise the hand-off between threads,
// small enough to balance the load of one level.
constexpr std::size_t kItemPixels = std::size_t{1} << 15;

// Working arrays of one pruning. Rows of data, estimate and label start
// their own stride apart; level and current are packed M x N.
//
// current holds each element's term of the current score, its fit to the
// estimate minus share * pen, exactly as the literal loop forms it. The term
// changes only when the element's square merges, so a level sums the stored
// terms instead of forming them again from the estimate, log and share.
struct Work {
  const double* data;
  std::size_t dataStride;
  double* estimate;
  std::size_t estimateStride;
  double* label;  // null: no labels are asked for, and no rand() drawn
  std::size_t labelStride;
  unsigned char* level;  // log2 of the side of each element's square
  double* current;
  // The current terms live in the estimate's storage (mean fit only): the
  // estimate is formed at the end from the final squares.
  bool currentInEstimate;
  bool estimateWanted;  // false: only the levels (with currentInEstimate)
  std::size_t N;
  double sharePen[32];  // share * pen of an element whose square has side 2^level
  // Set when no current terms are stored (Gaussian mean fit only): a term is
  // formed again from the element's data and its square's mean, as it was
  // formed when the square merged. means[k] holds the mean of every merged
  // square of side 2^k at (i >> k, j >> k), rows N >> k long; means[0] is
  // the data itself, each element its own mean.
  double* means[32] = {};
  bool lean = false;
};

// The current terms of a lean pruning on row i, columns [j, j + count),
// into out (x: the data from column j). The row runs through whole squares,
// each of one mean.
void leanTerms(const Work& w, std::size_t i, std::size_t j, std::size_t count, const double* x, double* out) {
  const unsigned char* lv = w.level + i * w.N + j;
  // Every element on its own first; then the merged squares over them,
  // found eight levels at a time.
  const double sp0 = w.sharePen[0];
  for (std::size_t v = 0; v < count; ++v) out[v] = gaussianTerm(x[v], x[v]) - sp0;
  for (std::size_t v = 0; v < count;) {
    if (v + 8 <= count) {
      std::uint64_t eight;
      std::memcpy(&eight, lv + v, sizeof eight);
      if (eight == 0) {
        v += 8;
        continue;
      }
    }
    const unsigned k = lv[v];
    if (k == 0) {
      ++v;
      continue;
    }
    const double sp = w.sharePen[k];
    const double m = w.means[k][(i >> k) * (w.N >> k) + ((j + v) >> k)];
    const std::size_t end = std::min(count, (((j + v) | ((std::size_t{1} << k) - 1)) + 1) - j);
    for (; v < end; ++v) out[v] = gaussianTerm(x[v], m) - sp;
  }
}

// The reference's level count and block sides, and a clear error where its
// blocks would not tile the grid.
int levelCount(int M, int N) {
  const int levels = static_cast<int>(std::floor(std::log(std::min(M, N)) / std::log(2.0)));
  const int top = static_cast<int>(std::pow(2.0, levels));
  if (M % top != 0 || N % top != 0) throw Error("The grid sides must be multiples of the largest dyadic square.");
  return levels;
}

// Runs body(i) for the rows [0, M) in items of about kItemPixels.
template <typename Body>
void forRows(int M, std::size_t N, const Body& body) {
  const std::size_t rows = static_cast<std::size_t>(M);
  const std::size_t perItem = std::max<std::size_t>(1, kItemPixels / N);
  parallelFor((rows + perItem - 1) / perItem, [&](std::size_t item) {
    const std::size_t end = std::min(rows, (item + 1) * perItem);
    for (std::size_t i = item * perItem; i < end; ++i) body(i);
  });
}

// Copies the value at the first element of every square of side > 1 over
// the rest of it. A square's first element is only read, so rows may run
// on any threads.
void spreadCorners(double* values, std::size_t stride, const unsigned char* level, int M, std::size_t N) {
  forRows(M, N, [&](std::size_t i) {
    double* row = values + i * stride;
    const unsigned char* lv = level + i * N;
    for (std::size_t j = 0; j < N;) {
      const std::size_t side = std::size_t{1} << lv[j];
      if (side == 1) {
        ++j;
        continue;
      }
      const std::size_t top = i & ~(side - 1);
      const double value = values[top * stride + j];
      std::fill(row + j + (top == i ? 1 : 0), row + j + side, value);
      j += side;
    }
  });
}

void meansOfSquares(const Work& w, int M, std::size_t N) {
  blockMeansOfLevels(w.data, w.dataStride, w.estimate, w.estimateStride, w.level, M, static_cast<int>(N));
}

// Every element its own square: estimate = data, labels drawn i outer, j
// inner on the calling thread, the current terms with share 1.
template <bool kPoisson>
void initialise(Work& w, int M, int N, double pen) {
  if (w.label)
    for (int i = 0; i < M; ++i) {
      double* l = w.label + static_cast<std::size_t>(i) * w.labelStride;
      for (int j = 0; j < N; ++j) l[j] = static_cast<double>(std::rand());
    }
  w.sharePen[0] = 1.0 * pen;
  for (int k = 1; k < 32; ++k) {
    const int s = 1 << std::min(k, 30);
    w.sharePen[k] = ((1.0 / s) / s) * pen;
  }
}

// The rest of the start on rows [i0, i1) and columns [j0, j1): the levels'
// runner does it tile by tile, just before the tile's first level.
template <bool kPoisson>
void initialiseRect(const Work& w, std::size_t i0, std::size_t i1, std::size_t j0, std::size_t j1) {
  for (std::size_t i = i0; i < i1; ++i) {
    const double* x = w.data + i * w.dataStride;
    if (!w.currentInEstimate) std::copy(x + j0, x + j1, w.estimate + i * w.estimateStride + j0);
    std::fill(w.level + i * w.N + j0, w.level + i * w.N + j1, static_cast<unsigned char>(0));
    if (w.lean) continue;
    double* cur = w.current + i * w.N;
    for (std::size_t j = j0; j < j1; ++j) cur[j] = fitTerm<kPoisson>(x[j], x[j], logOf<kPoisson>(x[j])) - w.sharePen[0];
  }
}

// Mean of the labels over the square of side s at (a, b), each divided by s
// twice, summed in the literal order. Labels are kept at the first element
// of each square only: a row of the square is a run of whole smaller
// squares, each contributing its one term side times.
double labelMean(const Work& w, std::size_t a, std::size_t b, int s, double r) {
  double mean = 0.0;
  const std::size_t end = b + static_cast<std::size_t>(s);
  for (std::size_t i = a; i < a + static_cast<std::size_t>(s); ++i) {
    const unsigned char* lv = w.level + i * w.N;
    for (std::size_t j = b; j < end;) {
      const std::size_t side = std::size_t{1} << lv[j];
      const double term = (w.label[(i & ~(side - 1)) * w.labelStride + j] * r) * r;
      for (std::size_t n = 0; n < side; ++n) mean += term;
      j += side;
    }
  }
  return mean;
}

// Writes the merged square of side s = 2^k at (a, b) with the constant mean;
// the estimate only at the square's first element (see spreadCorners).
template <bool kPoisson, int S>
void mergeMean(const Work& w, std::size_t a, std::size_t b, int runtimeSide, int k, double mean, double logMean,
               double r) {
  const int s = S ? S : runtimeSide;
  // Estimate and label at the square's first element, spread at the end; the
  // label's mean reads the smaller squares' levels, so it comes first.
  if (!w.currentInEstimate) w.estimate[a * w.estimateStride + b] = mean;
  if (w.label) w.label[a * w.labelStride + b] = labelMean(w, a, b, s, r);
  if (w.lean) {
    w.means[k][(a >> k) * (w.N >> k) + (b >> k)] = mean;
    for (int u = 0; u < s; ++u) std::fill_n(w.level + (a + u) * w.N + b, s, static_cast<unsigned char>(k));
    return;
  }
  for (int u = 0; u < s; ++u) {
    const double* x = w.data + (a + u) * w.dataStride + b;
    double* cur = w.current + (a + u) * w.N + b;
    for (int v = 0; v < s; ++v) cur[v] = fitTerm<kPoisson>(x[v], mean, logMean) - w.sharePen[k];
    std::fill_n(w.level + (a + u) * w.N + b, s, static_cast<unsigned char>(k));
  }
}

// The block mean of four squares of side s side by side from x (row stride
// `stride`), each fitted with that mean: the mean, the merged score (fit
// minus pm per element) and the sum of the current terms (cur, row stride
// curStride), every sum in its square's literal order.
struct FourSums {
  double mean[4], merged[4], current[4];
};

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define DYADFIT_PRUNE_AVX2 1
// The same sums with one AVX2 lane per square. Rows of four elements of each
// square are transposed so that every add takes the next element of each
// square in order; the products and differences are formed on the rows as
// the scalar code forms them (no FMA), and their order does not matter.
__attribute__((target("avx2"))) inline void transpose4(__m256d& a, __m256d& b, __m256d& c, __m256d& d) {
  const __m256d t0 = _mm256_unpacklo_pd(a, b), t1 = _mm256_unpackhi_pd(a, b);
  const __m256d t2 = _mm256_unpacklo_pd(c, d), t3 = _mm256_unpackhi_pd(c, d);
  a = _mm256_permute2f128_pd(t0, t2, 0x20);
  b = _mm256_permute2f128_pd(t1, t3, 0x20);
  c = _mm256_permute2f128_pd(t0, t2, 0x31);
  d = _mm256_permute2f128_pd(t1, t3, 0x31);
}

// G groups of four squares at once: G independent chains per sum.
template <int G>
__attribute__((target("avx2"))) void gaussianFourSumsAvx2(const double* const* x, std::size_t stride,
                                                          const double* const* cur, std::size_t curStride,
                                                          std::size_t s, double r, double pm, FourSums* out) {
  const __m256d vr = _mm256_set1_pd(r), vpm = _mm256_set1_pd(pm), sign = _mm256_set1_pd(-0.0);
  __m256d mean[G];
  for (int g = 0; g < G; ++g) mean[g] = _mm256_setzero_pd();
  if (s == 2) {
    // Two rows of eight: after the unpack the lanes hold squares 0, 2, 1, 3.
    for (std::size_t u = 0; u < 2; ++u)
      for (int g = 0; g < G; ++g) {
        const double* row = x[g] + u * stride;
        const __m256d a = _mm256_mul_pd(_mm256_mul_pd(_mm256_loadu_pd(row), vr), vr);
        const __m256d b = _mm256_mul_pd(_mm256_mul_pd(_mm256_loadu_pd(row + 4), vr), vr);
        mean[g] = _mm256_add_pd(mean[g], _mm256_unpacklo_pd(a, b));
        mean[g] = _mm256_add_pd(mean[g], _mm256_unpackhi_pd(a, b));
      }
    __m256d ma[G], mb[G], merged[G], current[G];
    for (int g = 0; g < G; ++g) {
      alignas(32) double m[4];
      _mm256_store_pd(m, mean[g]);
      out[g].mean[0] = m[0], out[g].mean[1] = m[2], out[g].mean[2] = m[1], out[g].mean[3] = m[3];
      ma[g] = _mm256_setr_pd(m[0], m[0], m[2], m[2]);
      mb[g] = _mm256_setr_pd(m[1], m[1], m[3], m[3]);
      merged[g] = current[g] = _mm256_setzero_pd();
    }
    for (std::size_t u = 0; u < 2; ++u)
      for (int g = 0; g < G; ++g) {
        const double* row = x[g] + u * stride;
        const double* c = cur[g] + u * curStride;
        const __m256d da = _mm256_sub_pd(_mm256_loadu_pd(row), ma[g]);
        const __m256d db = _mm256_sub_pd(_mm256_loadu_pd(row + 4), mb[g]);
        const __m256d ta = _mm256_sub_pd(_mm256_xor_pd(_mm256_mul_pd(da, da), sign), vpm);
        const __m256d tb = _mm256_sub_pd(_mm256_xor_pd(_mm256_mul_pd(db, db), sign), vpm);
        merged[g] = _mm256_add_pd(merged[g], _mm256_unpacklo_pd(ta, tb));
        merged[g] = _mm256_add_pd(merged[g], _mm256_unpackhi_pd(ta, tb));
        const __m256d ca = _mm256_loadu_pd(c), cb = _mm256_loadu_pd(c + 4);
        current[g] = _mm256_add_pd(current[g], _mm256_unpacklo_pd(ca, cb));
        current[g] = _mm256_add_pd(current[g], _mm256_unpackhi_pd(ca, cb));
      }
    for (int g = 0; g < G; ++g) {
      alignas(32) double m[4], h[4];
      _mm256_store_pd(m, merged[g]);
      _mm256_store_pd(h, current[g]);
      out[g].merged[0] = m[0], out[g].merged[1] = m[2], out[g].merged[2] = m[1], out[g].merged[3] = m[3];
      out[g].current[0] = h[0], out[g].current[1] = h[2], out[g].current[2] = h[1], out[g].current[3] = h[3];
    }
    return;
  }
  for (std::size_t u = 0; u < s; ++u)
    for (std::size_t v = 0; v < s; v += 4)
      for (int g = 0; g < G; ++g) {
        const double* row = x[g] + u * stride + v;
        __m256d q0 = _mm256_mul_pd(_mm256_mul_pd(_mm256_loadu_pd(row), vr), vr);
        __m256d q1 = _mm256_mul_pd(_mm256_mul_pd(_mm256_loadu_pd(row + s), vr), vr);
        __m256d q2 = _mm256_mul_pd(_mm256_mul_pd(_mm256_loadu_pd(row + 2 * s), vr), vr);
        __m256d q3 = _mm256_mul_pd(_mm256_mul_pd(_mm256_loadu_pd(row + 3 * s), vr), vr);
        transpose4(q0, q1, q2, q3);
        mean[g] = _mm256_add_pd(mean[g], q0);
        mean[g] = _mm256_add_pd(mean[g], q1);
        mean[g] = _mm256_add_pd(mean[g], q2);
        mean[g] = _mm256_add_pd(mean[g], q3);
      }
  __m256d m[G][4], merged[G], current[G];
  for (int g = 0; g < G; ++g) {
    _mm256_storeu_pd(out[g].mean, mean[g]);
    for (int q = 0; q < 4; ++q) m[g][q] = _mm256_set1_pd(out[g].mean[q]);
    merged[g] = current[g] = _mm256_setzero_pd();
  }
  for (std::size_t u = 0; u < s; ++u)
    for (std::size_t v = 0; v < s; v += 4)
      for (int g = 0; g < G; ++g) {
        const double* row = x[g] + u * stride + v;
        const double* c = cur[g] + u * curStride + v;
        __m256d t[4], k[4];
        for (std::size_t q = 0; q < 4; ++q) {
          const __m256d d = _mm256_sub_pd(_mm256_loadu_pd(row + q * s), m[g][q]);
          t[q] = _mm256_sub_pd(_mm256_xor_pd(_mm256_mul_pd(d, d), sign), vpm);
          k[q] = _mm256_loadu_pd(c + q * s);
        }
        transpose4(t[0], t[1], t[2], t[3]);
        transpose4(k[0], k[1], k[2], k[3]);
        for (int q = 0; q < 4; ++q) {
          merged[g] = _mm256_add_pd(merged[g], t[q]);
          current[g] = _mm256_add_pd(current[g], k[q]);
        }
      }
  for (int g = 0; g < G; ++g) {
    _mm256_storeu_pd(out[g].merged, merged[g]);
    _mm256_storeu_pd(out[g].current, current[g]);
  }
}

// -(d * d) - sp with d = v - m, lane by lane.
__attribute__((target("avx2"))) inline __m256d gaussianTermAvx2(__m256d v, __m256d m, __m256d sp) {
  const __m256d d = _mm256_sub_pd(v, m);
  return _mm256_sub_pd(_mm256_xor_pd(_mm256_mul_pd(d, d), _mm256_set1_pd(-0.0)), sp);
}

// Four squares side by side that all merge: their current terms, each
// element's fit to its square's mean minus the share `sp`, formed as
// mergeMean forms them, and their level k.
__attribute__((target("avx2"))) void gaussianMergeFourAvx2(const double* x, std::size_t stride, double* cur,
                                                           unsigned char* level, std::size_t curStride, std::size_t s,
                                                           const double* mean, double sp, unsigned char k) {
  const __m256d vsp = _mm256_set1_pd(sp);
  if (s == 2) {
    const __m256d ma = _mm256_setr_pd(mean[0], mean[0], mean[1], mean[1]);
    const __m256d mb = _mm256_setr_pd(mean[2], mean[2], mean[3], mean[3]);
    for (std::size_t u = 0; u < 2; ++u) {
      _mm256_storeu_pd(cur + u * curStride, gaussianTermAvx2(_mm256_loadu_pd(x + u * stride), ma, vsp));
      _mm256_storeu_pd(cur + u * curStride + 4, gaussianTermAvx2(_mm256_loadu_pd(x + u * stride + 4), mb, vsp));
      std::fill_n(level + u * curStride, 8, k);
    }
    return;
  }
  __m256d m[4];
  for (int q = 0; q < 4; ++q) m[q] = _mm256_set1_pd(mean[q]);
  for (std::size_t u = 0; u < s; ++u) {
    const double* row = x + u * stride;
    double* c = cur + u * curStride;
    for (std::size_t q = 0; q < 4; ++q)
      for (std::size_t v = 0; v < s; v += 4)
        _mm256_storeu_pd(c + q * s + v, gaussianTermAvx2(_mm256_loadu_pd(row + q * s + v), m[q], vsp));
    std::fill_n(level + u * curStride, 4 * s, k);
  }
}

// Set while the program starts (avx2Enabled reads the CPU's features itself,
// whatever the order of start-up initialisers across files).
const bool kHasAvx2 = avx2Enabled();
#endif

// Q squares of side s = 2^k under the block mean, `across` of them side by
// side from (a, b) in each of Q / across rows of squares, their sums
// interleaved so that Q independent chains fill the pipeline; each sum keeps
// its own literal order. Dividing by a power of two and multiplying by its
// exact inverse round the same value. S > 0 fixes the side at compile time
// (the small squares, where loop overhead would dominate).
template <bool kPoisson, int Q, int S>
void meanBlocks(const Work& w, std::size_t a, std::size_t b, int runtimeSide, int k, double r, double pm, int across) {
  const int s = S ? S : runtimeSide;
  std::size_t top[Q], left[Q];
  for (int q = 0; q < Q; ++q) {
    top[q] = a + static_cast<std::size_t>(q / across * s);
    left[q] = b + static_cast<std::size_t>(q % across * s);
  }
#ifdef DYADFIT_PRUNE_AVX2
  // Four squares side by side per lane group: one group, or two (side by
  // side or one above the other).
  if constexpr (!kPoisson && (Q == 4 || Q == 8)) {
    // A lean pruning takes this path for squares of side up to 128, whose
    // terms fit a few hundred kilobytes.
    if (kHasAvx2 && across >= 4 && (!w.lean || s <= 128)) {
      constexpr int G = Q / 4;
      const std::size_t side = static_cast<std::size_t>(s), width = 4 * side;
      const double* x[G];
      const double* cur[G];
      std::size_t curStride = w.N;
      // A lean pruning forms the groups' current terms first, rows of four
      // squares `width` apart.
      constexpr std::size_t kOnStack = S ? G * 4 * S * S : 1;
      double onStack[kOnStack];
      const std::unique_ptr<double[]> onHeap =
          w.lean && !S ? std::make_unique_for_overwrite<double[]>(G * width * side) : nullptr;
      double* terms = S ? onStack : onHeap.get();
      for (int g = 0; g < G; ++g) {
        x[g] = w.data + top[4 * g] * w.dataStride + left[4 * g];
        if (!w.lean) {
          cur[g] = w.current + top[4 * g] * w.N + left[4 * g];
          continue;
        }
        double* t = terms + static_cast<std::size_t>(g) * width * side;
        for (std::size_t u = 0; u < side; ++u)
          leanTerms(w, top[4 * g] + u, left[4 * g], width, x[g] + u * w.dataStride, t + u * width);
        cur[g] = t;
        curStride = width;
      }
      FourSums f[G];
      gaussianFourSumsAvx2<G>(x, w.dataStride, cur, curStride, side, r, pm, f);
      for (int g = 0; g < G; ++g) {
        const FourSums& sums = f[g];
        bool all = !w.label && !w.lean;
        for (int q = 0; q < 4; ++q) all = all && sums.current[q] <= sums.merged[q];
        if (all) {
          const std::size_t at = top[4 * g] * w.N + left[4 * g];
          gaussianMergeFourAvx2(x[g], w.dataStride, w.current + at, w.level + at, w.N, static_cast<std::size_t>(s),
                                sums.mean, w.sharePen[k], static_cast<unsigned char>(k));
          if (!w.currentInEstimate)
            for (int q = 0; q < 4; ++q) w.estimate[top[4 * g + q] * w.estimateStride + left[4 * g + q]] = sums.mean[q];
          continue;
        }
        for (int q = 0; q < 4; ++q)
          if (sums.current[q] <= sums.merged[q])
            mergeMean<kPoisson, S>(w, top[4 * g + q], left[4 * g + q], s, k, sums.mean[q], 0.0, r);
      }
      return;
    }
  }
#endif
  double mean[Q] = {};
  for (int u = 0; u < s; ++u) {
    const double* x[Q];
    for (int q = 0; q < Q; ++q) x[q] = w.data + (top[q] + u) * w.dataStride + left[q];
    for (int v = 0; v < s; ++v)
      for (int q = 0; q < Q; ++q) mean[q] += (x[q][v] * r) * r;
  }
  double logMean[Q];
  for (int q = 0; q < Q; ++q) logMean[q] = logOf<kPoisson>(mean[q]);

  double mergedScore[Q] = {};
  double currentScore[Q] = {};
  if (w.lean) {
    // Each row's current terms formed first, then summed as stored ones are.
    constexpr std::size_t kOnStack = Q * (S ? S : 16);
    double onStack[kOnStack];
    const std::size_t count = Q * static_cast<std::size_t>(s);
    const std::unique_ptr<double[]> onHeap =
        count > kOnStack ? std::make_unique_for_overwrite<double[]>(count) : nullptr;
    double* terms = onHeap ? onHeap.get() : onStack;
    for (int u = 0; u < s; ++u) {
      const double* x[Q];
      for (int q = 0; q < Q; ++q) {
        x[q] = w.data + (top[q] + u) * w.dataStride + left[q];
        leanTerms(w, top[q] + u, left[q], static_cast<std::size_t>(s), x[q], terms + q * s);
      }
      for (int v = 0; v < s; ++v)
        for (int q = 0; q < Q; ++q) {
          mergedScore[q] += fitTerm<kPoisson>(x[q][v], mean[q], logMean[q]) - pm;
          currentScore[q] += terms[q * s + v];
        }
    }
  }
  for (int u = 0; u < s && !w.lean; ++u) {
    const double* x[Q];
    const double* cur[Q];
    for (int q = 0; q < Q; ++q) {
      x[q] = w.data + (top[q] + u) * w.dataStride + left[q];
      cur[q] = w.current + (top[q] + u) * w.N + left[q];
    }
    for (int v = 0; v < s; ++v)
      for (int q = 0; q < Q; ++q) {
        mergedScore[q] += fitTerm<kPoisson>(x[q][v], mean[q], logMean[q]) - pm;
        currentScore[q] += cur[q][v];
      }
  }

  for (int q = 0; q < Q; ++q)
    if (currentScore[q] <= mergedScore[q]) mergeMean<kPoisson, S>(w, top[q], left[q], s, k, mean[q], logMean[q], r);
}

// The largest squares of a pruning are few, so their literal sums run as a
// handful of long chains, each waiting on its previous add. Under Gaussian
// noise most of them stay apart, and that can be shown without the chains:
// sums in any order and grouping, with the rounding error of every sum
// bounded, place the literal merged and current scores in intervals. Where
// the current score's interval lies wholly above the merged one, the literal
// comparison keeps the square apart, and it writes nothing then. Any other
// square, or any sum that is not finite, takes the literal sums.
//
// Bounds (u the unit roundoff, g = (n - 1) u / (1 - (n - 1) u) for n terms;
// any order of summing n terms errs by at most g times the sum of their
// magnitudes):
// - the literal mean differs from the exact mean of x r r by at most
//   g r r sum|x|, and so the literal merged score, the sum of
//   -(x - mean)^2 - pm, lies between -(G + n d^2) - n pm and -G - n pm, with
//   G the exact sum of squares about the exact mean and d that distance;
// - G is formed as sum x^2 - (sum x)^2 / n from sums of this pass;
// - every term of the literal merged score errs by at most 3u of its
//   magnitude, and the literal sums by g of theirs.
// Every bound is doubled to cover the rounding of the bounds themselves;
// subnormal results, off by at most 2^-1074 each, are covered by n 1e-300.
struct SquareSums {
  double x = 0, xx = 0, absX = 0, cur = 0, absCur = 0;
  SquareSums& operator+=(const SquareSums& o) {
    x += o.x;
    xx += o.xx;
    absX += o.absX;
    cur += o.cur;
    absCur += o.absCur;
    return *this;
  }
};

bool certainlyApart(const SquareSums& t, double n, double r, double pm) {
  constexpr double u = std::numeric_limits<double>::epsilon() / 2;
  const double g = (n - 1) * u / (1 - (n - 1) * u);
  const double slack = n * 1e-300;
  // The literal mean's distance from the exact one.
  const double d = 2 * (g * r * r * t.absX) + slack;
  // The exact sum of squares about the exact mean, and its error here.
  const double G = t.xx - (t.x * t.x) / n;
  const double eX = g * t.absX;
  const double eG = 2 * (g * t.xx + eX * (2 * std::fabs(t.x) + eX) / n + 3 * u * (t.xx + (t.x * t.x) / n)) + slack;
  const double highest = G + eG + n * d * d + n * pm;  // the merged terms' magnitudes, at most
  const double mergedAbove = -(G - eG) - n * pm + 2 * (g + 3 * u) * (1 + g) * highest + slack;
  const double currentBelow = t.cur - 2 * (2 * g * t.absCur) - slack;
  const bool finite = std::isfinite(mergedAbove) && std::isfinite(currentBelow) && std::isfinite(highest);
  return finite && currentBelow > mergedAbove * (mergedAbove < 0 ? 1 - 4 * u : 1 + 4 * u);
}

// The sums of every s x s square of a level (down x across squares) in one
// pass on the threads: each item of rows keeps its own partial sums, joined
// afterwards (any grouping will do under the bounds above).
std::vector<SquareSums> sumsOfSquares(const Work& w, int M, std::size_t across, std::size_t down, std::size_t s) {
  const std::size_t rows = static_cast<std::size_t>(M), perItem = std::max<std::size_t>(1, kItemPixels / w.N);
  const std::size_t items = (rows + perItem - 1) / perItem, squares = across * down;
  std::vector<SquareSums> partial(items * squares);
  parallelFor(items, [&](std::size_t item) {
    const std::unique_ptr<double[]> terms = w.lean ? std::make_unique_for_overwrite<double[]>(w.N) : nullptr;
    for (std::size_t i = item * perItem; i < std::min(rows, (item + 1) * perItem); ++i) {
      const double* x = w.data + i * w.dataStride;
      if (w.lean) leanTerms(w, i, 0, w.N, x, terms.get());
      const double* c = w.lean ? terms.get() : w.current + i * w.N;
      for (std::size_t q = 0; q < across; ++q) {
        // Four of each sum side by side, so that the adds overlap.
        double sx[4] = {}, sxx[4] = {}, ax[4] = {}, sc[4] = {}, ac[4] = {};
        for (std::size_t j = q * s; j < (q + 1) * s; j += 4)
          for (std::size_t l = 0; l < 4; ++l) {
            const double v = x[j + l], k = c[j + l];
            sx[l] += v;
            sxx[l] += v * v;
            ax[l] += std::fabs(v);
            sc[l] += k;
            ac[l] += std::fabs(k);
          }
        SquareSums& p = partial[item * squares + i / s * across + q];
        p.x += (sx[0] + sx[1]) + (sx[2] + sx[3]);
        p.xx += (sxx[0] + sxx[1]) + (sxx[2] + sxx[3]);
        p.absX += (ax[0] + ax[1]) + (ax[2] + ax[3]);
        p.cur += (sc[0] + sc[1]) + (sc[2] + sc[3]);
        p.absCur += (ac[0] + ac[1]) + (ac[2] + ac[3]);
      }
    }
  });
  std::vector<SquareSums> sums(squares);
  for (std::size_t item = 0; item < items; ++item)
    for (std::size_t t = 0; t < squares; ++t) sums[t] += partial[item * squares + t];
  return sums;
}

// One square under any block fit, which writes only its block of candidate.
template <bool kPoisson>
void fittedBlock(const Work& w, const Grid& data, Grid& candidate, BlockFitFn blockFit, std::size_t a, std::size_t b,
                 int s, int k, double r, double pm) {
  blockFit(data, candidate, static_cast<int>(a), static_cast<int>(b), s, s);
  double mergedScore = 0.0;
  double currentScore = 0.0;
  for (int u = 0; u < s; ++u) {
    const double* x = w.data + (a + u) * w.dataStride + b;
    const double* c = candidate[static_cast<int>(a) + u] + b;
    const double* cur = w.current + (a + u) * w.N + b;
    for (int v = 0; v < s; ++v) {
      // The literal term takes no log where it is 0 by definition.
      const double logC = (c[v] == 0.0 && x[v] == 0.0) ? 0.0 : logOf<kPoisson>(c[v]);
      mergedScore += fitTerm<kPoisson>(x[v], c[v], logC) - pm;
      currentScore += cur[v];
    }
  }
  if (!(currentScore <= mergedScore)) return;

  if (w.label) w.label[a * w.labelStride + b] = labelMean(w, a, b, s, r);
  for (int u = 0; u < s; ++u) {
    const double* x = w.data + (a + u) * w.dataStride + b;
    const double* c = candidate[static_cast<int>(a) + u] + b;
    double* cur = w.current + (a + u) * w.N + b;
    for (int v = 0; v < s; ++v) cur[v] = fitTerm<kPoisson>(x[v], c[v], logOf<kPoisson>(c[v])) - w.sharePen[k];
    std::copy(c, c + s, w.estimate + (a + u) * w.estimateStride + b);
    std::fill_n(w.level + (a + u) * w.N + b, s, static_cast<unsigned char>(k));
  }
}

// The constants of level k: side s = 2^k, its exact inverse r, and the
// penalty share of one element of a merged square, as the literal loop forms them.
struct Level {
  int k, s;
  double r, pm;
  explicit Level(int level, double pen) : k(level), s(static_cast<int>(std::pow(2.0, level))) {
    r = 1.0 / s;  // exact: s is a power of two
    pm = (pen / s) / s;
  }
};

// The largest power of two up to `limit` that divides n.
std::size_t powerDividing(std::size_t n, std::size_t limit) {
  std::size_t p = 1;
  while (p < limit && n % (2 * p) == 0) p *= 2;
  return p;
}

// How the squares of one level of a region (`across` x `down` of them) are
// grouped: `count` squares in each group, `across` of them side by side.
struct Grouping {
  int count, across;
};
Grouping groupingFor(std::size_t across, std::size_t down, int maxGroup) {
  const std::size_t wide = powerDividing(across, static_cast<std::size_t>(maxGroup));
  const std::size_t high = powerDividing(down, static_cast<std::size_t>(maxGroup) / wide);
  return {static_cast<int>(wide * high), static_cast<int>(wide)};
}

// Which squares of the top levels certainly stay apart, level after level.
// The first such level takes one pass over the data; each level above adds
// up its four children's sums, which hold as long as no child merged (a
// merge changes the current terms under it).
class TopLevels {
 public:
  explicit TopLevels(const Work& w, int M) : w_(w), M_(M) {}

  std::vector<char> apart(const Level& level, std::size_t across, std::size_t down) {
    const std::size_t s = static_cast<std::size_t>(level.s);
    std::vector<SquareSums> sums;
    if (k_ == level.k - 1 && across_ == 2 * across && down_ == 2 * down && !childMerged()) {
      sums.resize(across * down);
      for (std::size_t t = 0; t < sums.size(); ++t) {
        const std::size_t a = t / across * 2, b = t % across * 2;
        for (std::size_t u = 0; u < 2; ++u)
          for (std::size_t v = 0; v < 2; ++v) sums[t] += sums_[(a + u) * across_ + b + v];
      }
    } else {
      sums = sumsOfSquares(w_, M_, across, down, s);
    }
    std::vector<char> kept(sums.size());
    const double n = static_cast<double>(s) * static_cast<double>(s);
    for (std::size_t t = 0; t < sums.size(); ++t) kept[t] = certainlyApart(sums[t], n, level.r, level.pm);
    sums_ = std::move(sums);
    k_ = level.k;
    across_ = across;
    down_ = down;
    return kept;
  }

 private:
  // Whether a square of the last level merged: its corner holds that level.
  bool childMerged() const {
    const std::size_t s = std::size_t{1} << k_;
    for (std::size_t t = 0; t < across_ * down_; ++t)
      if (w_.level[t / across_ * s * w_.N + t % across_ * s] == k_) return true;
    return false;
  }

  const Work& w_;
  int M_;
  int k_ = -1;
  std::size_t across_ = 0, down_ = 0;
  std::vector<SquareSums> sums_;
};

// Levels of at most this many squares, of at least this side, first learn
// which squares certainly stay apart.
constexpr std::size_t kCertifiedSquares = 16;
constexpr std::size_t kCertifiedSide = 256;

// Levels with squares up to this side run tile by tile (all of them on one
// tile while it is in cache), the larger ones level by level.
constexpr int kTileLevels = 6;
// Tiles run up to this many of their squares' sides across, so that the
// largest squares of a tile still come in groups.
constexpr std::size_t kTileAcross = 4;

// Levels in order, the squares of each level in any order: they are
// independent, and each keeps the literal order of its own sums. Squares run
// in batches on the threads. start(i0, i1, j0, j1) readies a tile before its
// first level; block(a, b, L, g) handles one group g of squares of level L
// from (a, b), g.count a power of two up to maxGroup. apart(L, across, down)
// may tell, for the few squares of a top level, which certainly stay apart
// (see TopLevels): only the others are handled, one by one.
template <typename Start, typename Block, typename Apart>
void runLevels(int M, int N, int levels, double pen, int maxGroup, const Start& start, const Block& block,
               const Apart& apart) {
  const std::size_t rows = static_cast<std::size_t>(M), cols = static_cast<std::size_t>(N);
  const int tileLevels = std::min(levels, kTileLevels);
  const std::size_t high = std::size_t{1} << tileLevels;
  const std::size_t wide = high * powerDividing(cols / high, kTileAcross);
  std::vector<Level> small;
  for (int k = 1; k <= tileLevels; ++k) small.emplace_back(k, pen);
  const std::size_t across = cols / wide;
  const std::size_t count = rows / high * across;
  const std::size_t perItem = std::max<std::size_t>(1, kItemPixels / (high * wide));
  parallelFor((count + perItem - 1) / perItem, [&](std::size_t item) {
    const std::size_t end = std::min(count, (item + 1) * perItem);
    for (std::size_t t = item * perItem; t < end; ++t) {
      const std::size_t a0 = t / across * high, b0 = t % across * wide;
      start(a0, a0 + high, b0, b0 + wide);
      for (const Level& level : small) {
        const std::size_t side = static_cast<std::size_t>(level.s);
        const Grouping g = groupingFor(wide / side, high / side, maxGroup);
        const std::size_t stepDown = side * static_cast<std::size_t>(g.count / g.across);
        const std::size_t stepAcross = side * static_cast<std::size_t>(g.across);
        for (std::size_t a = a0; a < a0 + high; a += stepDown)
          for (std::size_t b = b0; b < b0 + wide; b += stepAcross) block(a, b, level, g);
      }
    }
  });
  const std::size_t threads = static_cast<std::size_t>(threadCount());
  for (int k = tileLevels + 1; k <= levels; ++k) {
    interruptionPoint();
    const Level level(k, pen);
    const std::size_t side = static_cast<std::size_t>(level.s);
    const std::size_t squaresAcross = cols / side, squaresDown = rows / side;
    if (side >= kCertifiedSide && squaresAcross * squaresDown <= kCertifiedSquares) {
      const std::vector<char> kept = apart(level, squaresAcross, squaresDown);
      if (!kept.empty()) {
        std::vector<std::size_t> rest;
        for (std::size_t t = 0; t < kept.size(); ++t)
          if (!kept[t]) rest.push_back(t);
        parallelFor(rest.size(), [&](std::size_t k) {
          block(rest[k] / squaresAcross * side, rest[k] % squaresAcross * side, level, Grouping{1, 1});
        });
        continue;
      }
    }
    // Fewer squares in a group where the level has too few groups for the threads.
    int limit = maxGroup;
    while (limit > 1 && squaresAcross * squaresDown / static_cast<std::size_t>(limit) < threads) limit /= 2;
    const Grouping g = groupingFor(squaresAcross, squaresDown, limit);
    const std::size_t groupsAcross = squaresAcross / static_cast<std::size_t>(g.across);
    const std::size_t groupsDown = squaresDown / static_cast<std::size_t>(g.count / g.across);
    const std::size_t groups = groupsAcross * groupsDown;
    const std::size_t groupItem =
        std::max<std::size_t>(1, kItemPixels / (side * side * static_cast<std::size_t>(g.count)));
    parallelFor((groups + groupItem - 1) / groupItem, [&](std::size_t item) {
      const std::size_t end = std::min(groups, (item + 1) * groupItem);
      for (std::size_t t = item * groupItem; t < end; ++t)
        block(t / groupsAcross * side * static_cast<std::size_t>(g.count / g.across),
              t % groupsAcross * side * static_cast<std::size_t>(g.across), level, g);
    });
  }
}

template <bool kPoisson>
void runMeanLevels(Work& w, int M, int N, double pen) {
  const int levels = levelCount(M, N);
  initialise<kPoisson>(w, M, N, pen);
  TopLevels top(w, M);
  auto start = [&](std::size_t i0, std::size_t i1, std::size_t j0, std::size_t j1) {
    initialiseRect<kPoisson>(w, i0, i1, j0, j1);
  };
  runLevels(
      M, N, levels, pen, 8, start,
      [&](std::size_t a, std::size_t b, const Level& level, Grouping g) {
        const int s = level.s, k = level.k;
        const double r = level.r, pm = level.pm;
        if (g.count == 8) {
          if (s == 2)
            meanBlocks<kPoisson, 8, 2>(w, a, b, s, k, r, pm, g.across);
          else if (s == 4)
            meanBlocks<kPoisson, 8, 4>(w, a, b, s, k, r, pm, g.across);
          else if (s == 8)
            meanBlocks<kPoisson, 8, 8>(w, a, b, s, k, r, pm, g.across);
          else
            meanBlocks<kPoisson, 8, 0>(w, a, b, s, k, r, pm, g.across);
        } else if (g.count == 4) {
          if (s == 2)
            meanBlocks<kPoisson, 4, 2>(w, a, b, s, k, r, pm, g.across);
          else if (s == 4)
            meanBlocks<kPoisson, 4, 4>(w, a, b, s, k, r, pm, g.across);
          else if (s == 8)
            meanBlocks<kPoisson, 4, 8>(w, a, b, s, k, r, pm, g.across);
          else
            meanBlocks<kPoisson, 4, 0>(w, a, b, s, k, r, pm, g.across);
        } else if (g.count == 2) {
          meanBlocks<kPoisson, 2, 0>(w, a, b, s, k, r, pm, g.across);
        } else {
          meanBlocks<kPoisson, 1, 0>(w, a, b, s, k, r, pm, g.across);
        }
      },
      [&](const Level& level, std::size_t across, std::size_t down) {
        if constexpr (kPoisson)
          return std::vector<char>();
        else
          return top.apart(level, across, down);
      });
  if (w.currentInEstimate) {
    if (w.estimateWanted) meansOfSquares(w, M, w.N);
  } else {
    spreadCorners(w.estimate, w.estimateStride, w.level, M, w.N);
  }
  if (w.label) spreadCorners(w.label, w.labelStride, w.level, M, w.N);
}

template <bool kPoisson>
void runFittedLevels(Work& w, const Grid& data, int M, int N, double pen, BlockFitFn blockFit, Grid& candidate) {
  const int levels = levelCount(M, N);
  initialise<kPoisson>(w, M, N, pen);
  auto start = [&](std::size_t i0, std::size_t i1, std::size_t j0, std::size_t j1) {
    initialiseRect<kPoisson>(w, i0, i1, j0, j1);
  };
  runLevels(
      M, N, levels, pen, 1, start,
      [&](std::size_t a, std::size_t b, const Level& level, Grouping) {
        fittedBlock<kPoisson>(w, data, candidate, blockFit, a, b, level.s, level.k, level.r, level.pm);
      },
      [](const Level&, std::size_t, std::size_t) { return std::vector<char>(); });
  if (w.label) spreadCorners(w.label, w.labelStride, w.level, M, w.N);
}

}  // namespace

void fitBlockMean(const Grid& source, Grid& target, int i0, int j0, int R, int C) {
  double mean = 0.0;
  for (int u = 0; u < R; ++u)
    for (int v = 0; v < C; ++v) mean += (source[i0 + u][j0 + v] / R) / C;
  for (int u = 0; u < R; ++u)
    for (int v = 0; v < C; ++v) target[i0 + u][j0 + v] = mean;
}

void blockMeansOfLevels(const double* data, std::size_t dataStride, double* estimate, std::size_t estimateStride,
                        const unsigned char* level, int M, int N) {
  // A square is written by the rows' item that holds its first row, once it
  // has read all of the square's data: the estimate may be the data itself.
  const std::size_t n = static_cast<std::size_t>(N);
  forRows(M, n, [&](std::size_t i) {
    const unsigned char* lv = level + i * n;
    double* row = estimate + i * estimateStride;
    const double* x = data + i * dataStride;
    for (std::size_t j = 0; j < n;) {
      const std::size_t side = std::size_t{1} << lv[j];
      if (side == 1) {
        row[j] = x[j];
        ++j;
        continue;
      }
      if ((i & (side - 1)) != 0) {
        j += side;
        continue;
      }
      // Up to four squares of this side that start on this row, side by
      // side, their sums interleaved.
      std::size_t count = 1;
      while (count < 4 && j + (count + 1) * side <= n && (std::size_t{1} << lv[j + count * side]) == side) ++count;
      const double r = 1.0 / static_cast<double>(side);
      double mean[4] = {};
      for (std::size_t u = 0; u < side; ++u) {
        const double* xs = x + u * dataStride + j;
        if (count == 4)
          for (std::size_t v = 0; v < side; ++v)
            for (std::size_t q = 0; q < 4; ++q) mean[q] += (xs[q * side + v] * r) * r;
        else
          for (std::size_t q = 0; q < count; ++q)
            for (std::size_t v = 0; v < side; ++v) mean[q] += (xs[q * side + v] * r) * r;
      }
      for (std::size_t u = 0; u < side; ++u)
        for (std::size_t q = 0; q < count; ++q) std::fill_n(row + u * estimateStride + j + q * side, side, mean[q]);
      j += count * side;
    }
  });
}

void pruneBlockMeans(const double* data, int M, int N, double pen, bool poisson, double* estimate, double* label,
                     unsigned char* level, double* current) {
  if (M <= 0 || N <= 0) return;
  const std::size_t n = static_cast<std::size_t>(N);
  // Without scratch the current terms live in the estimate's storage.
  Work w{data, n, estimate, n, label, n, level, current ? current : estimate, !current, true, n, {}};
  if (poisson)
    runMeanLevels<true>(w, M, N, pen);
  else
    runMeanLevels<false>(w, M, N, pen);
}

void pruneBlockMeansInPlace(double* values, int M, int N, double pen, unsigned char* level) {
  if (M <= 0 || N <= 0) return;
  const int levels = levelCount(M, N);
  const std::size_t n = static_cast<std::size_t>(N), m = static_cast<std::size_t>(M);
  std::size_t total = 0;
  for (int k = 1; k <= levels; ++k) total += (m >> k) * (n >> k);
  std::vector<double> means(total);
  // The data stays in place until the end: the estimate is formed over it.
  Work w{values, n, values, n, nullptr, 0, level, nullptr, true, true, n, {}};
  w.lean = true;
  w.means[0] = values;
  std::size_t at = 0;
  for (int k = 1; k <= levels; at += (m >> k) * (n >> k), ++k) w.means[k] = means.data() + at;
  runMeanLevels<false>(w, M, N, pen);
}

void pruneDyadicLevels(const Grid& data, int M, int N, double pen, Grid& estimate, Grid* label, unsigned char* level,
                       double* current, Grid& candidate, std::string_view noiseType, BlockFitFn blockFit,
                       bool estimateWanted) {
  if (M <= 0 || N <= 0) return;
  levelCount(M, N);  // the sides are checked before anything is written
  const bool poisson = noiseType == kPoisson;
  const bool inEstimate = !current && blockFit == fitBlockMean && estimate.inner() == N;
  if (!current && !inEstimate) throw Error("The pruning needs scratch storage for fits other than the block mean.");
  Work w{data.data(),
         static_cast<std::size_t>(data.inner()),
         estimate.data(),
         static_cast<std::size_t>(estimate.inner()),
         label ? label->data() : nullptr,
         label ? static_cast<std::size_t>(label->inner()) : 0,
         level,
         inEstimate ? estimate.data() : current,
         inEstimate,
         estimateWanted || !inEstimate,
         static_cast<std::size_t>(N),
         {}};
  if (blockFit == fitBlockMean) {
    if (poisson)
      runMeanLevels<true>(w, M, N, pen);
    else
      runMeanLevels<false>(w, M, N, pen);
  } else {
    candidate.reshape(M, N);
    if (poisson)
      runFittedLevels<true>(w, data, M, N, pen, blockFit, candidate);
    else
      runFittedLevels<false>(w, data, M, N, pen, blockFit, candidate);
  }
}

void pruneDyadic(const Grid& data, int M, int N, double pen, Grid& estimate, Grid& label,
                 std::vector<DyadicSquare>& pixelSquares, std::string_view noiseType, BlockFitFn blockFit) {
  if (M <= 0 || N <= 0) return;
  levelCount(M, N);
  const std::size_t n = static_cast<std::size_t>(N);
  const std::size_t pixels = static_cast<std::size_t>(M) * n;
  std::vector<unsigned char> level(pixels);
  std::vector<double> current;
  if (blockFit != fitBlockMean || estimate.inner() != N) current.resize(pixels);
  Grid candidate;
  pruneDyadicLevels(data, M, N, pen, estimate, &label, level.data(), current.empty() ? nullptr : current.data(),
                    candidate, noiseType, blockFit);
  std::vector<double>().swap(current);

  pixelSquares.resize(pixels);
  forRows(M, n, [&](std::size_t i) {
    for (std::size_t j = 0; j < n; ++j) {
      const std::size_t side = std::size_t{1} << level[i * n + j];
      pixelSquares[i * n + j] = {static_cast<double>(i & ~(side - 1)), static_cast<double>(j & ~(side - 1)),
                                 static_cast<double>(side)};
    }
  });
}

}  // namespace dyadfit
