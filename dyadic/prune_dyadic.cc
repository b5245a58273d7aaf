#include "dyadic/prune_dyadic.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

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

// Pixels per work item: enough to amortise the hand-off between threads,
// small enough to balance the load of one level.
constexpr std::size_t kItemPixels = std::size_t{1} << 15;

// Working arrays of one pruning. Rows of data, estimate and label start
// `stride` elements apart; level and logEstimate are packed M x N.
struct Work {
  const double* data;
  std::size_t dataStride;
  double* estimate;
  std::size_t estimateStride;
  double* label;
  std::size_t labelStride;
  unsigned char* level;  // log2 of the side of each element's square
  double* logEstimate;   // log(estimate), Poisson only
  std::size_t N;
  double sharePen[32];  // share * pen of an element whose square has side 2^level
};

// The reference's level count and block sides, and a clear error where its
// blocks would not tile the grid.
int levelCount(int M, int N) {
  const int levels = static_cast<int>(std::floor(std::log(std::min(M, N)) / std::log(2.0)));
  const int top = static_cast<int>(std::pow(2.0, levels));
  if (M % top != 0 || N % top != 0) throw Error("The grid sides must be multiples of the largest dyadic square.");
  return levels;
}

// Every element its own square: estimate = data, labels drawn i outer, j
// inner on the calling thread, log of the estimate under Poisson.
void initialise(Work& w, int M, int N, double pen, bool poisson) {
  for (int i = 0; i < M; ++i) {
    const double* x = w.data + static_cast<std::size_t>(i) * w.dataStride;
    double* e = w.estimate + static_cast<std::size_t>(i) * w.estimateStride;
    double* l = w.label + static_cast<std::size_t>(i) * w.labelStride;
    std::copy(x, x + N, e);
    for (int j = 0; j < N; ++j) l[j] = static_cast<double>(std::rand());
  }
  const std::size_t pixels = static_cast<std::size_t>(M) * w.N;
  std::fill(w.level, w.level + pixels, static_cast<unsigned char>(0));
  if (poisson) {
    const std::size_t rowsPerItem = std::max<std::size_t>(1, kItemPixels / w.N);
    parallelFor((static_cast<std::size_t>(M) + rowsPerItem - 1) / rowsPerItem, [&](std::size_t item) {
      const std::size_t end = std::min(static_cast<std::size_t>(M), (item + 1) * rowsPerItem);
      for (std::size_t i = item * rowsPerItem; i < end; ++i) {
        const double* x = w.data + i * w.dataStride;
        double* le = w.logEstimate + i * w.N;
        for (int j = 0; j < N; ++j) le[j] = std::log(x[j]);
      }
    });
  }
  w.sharePen[0] = 1.0 * pen;
  for (int k = 1; k < 32; ++k) {
    const int s = 1 << std::min(k, 30);
    w.sharePen[k] = ((1.0 / s) / s) * pen;
  }
}

// Mean of the labels of each of the Q squares side by side from (a, b), each
// label divided by s twice, each sum in the literal order.
template <int Q, int S>
void labelMeans(const Work& w, std::size_t a, std::size_t b, int runtimeSide, double r, double (&mean)[Q]) {
  const int s = S ? S : runtimeSide;
  for (int q = 0; q < Q; ++q) mean[q] = 0.0;
  for (int u = 0; u < s; ++u) {
    const double* l = w.label + (a + u) * w.labelStride + b;
    for (int v = 0; v < s; ++v)
      for (int q = 0; q < Q; ++q) mean[q] += (l[q * s + v] * r) * r;
  }
}

// Writes the merged square of side s at (a, b).
template <int S>
void mergeMean(const Work& w, std::size_t a, std::size_t b, int runtimeSide, int k, double mean, double labelValue,
               double logMean, bool poisson) {
  const int s = S ? S : runtimeSide;
  for (int u = 0; u < s; ++u) {
    std::fill_n(w.estimate + (a + u) * w.estimateStride + b, s, mean);
    std::fill_n(w.label + (a + u) * w.labelStride + b, s, labelValue);
    std::fill_n(w.level + (a + u) * w.N + b, s, static_cast<unsigned char>(k));
    if (poisson) std::fill_n(w.logEstimate + (a + u) * w.N + b, s, logMean);
  }
}

// Q squares of side s = 2^k side by side from (a, b) under the block mean,
// their sums interleaved so that Q independent chains fill the pipeline;
// each sum keeps its own literal order. Dividing by a power of two and
// multiplying by its exact inverse round the same value.
// S > 0 fixes the side at compile time (the small squares, where the loop
// overhead would dominate).
template <bool kPoisson, int Q, int S>
void meanBlocks(const Work& w, std::size_t a, std::size_t b, int runtimeSide, int k, double r, double pm) {
  const int s = S ? S : runtimeSide;
  double mean[Q] = {};
  for (int u = 0; u < s; ++u) {
    const double* x = w.data + (a + u) * w.dataStride + b;
    for (int v = 0; v < s; ++v)
      for (int q = 0; q < Q; ++q) mean[q] += (x[q * s + v] * r) * r;
  }
  double logMean[Q] = {};
  if constexpr (kPoisson)
    for (int q = 0; q < Q; ++q) logMean[q] = std::log(mean[q]);

  double mergedScore[Q] = {};
  double currentScore[Q] = {};
  for (int u = 0; u < s; ++u) {
    const double* x = w.data + (a + u) * w.dataStride + b;
    const double* e = w.estimate + (a + u) * w.estimateStride + b;
    const unsigned char* lv = w.level + (a + u) * w.N + b;
    if constexpr (kPoisson) {
      const double* le = w.logEstimate + (a + u) * w.N + b;
      for (int v = 0; v < s; ++v)
        for (int q = 0; q < Q; ++q) {
          const int c = q * s + v;
          mergedScore[q] += poissonTerm(x[c], mean[q], logMean[q]) - pm;
          currentScore[q] += poissonTerm(x[c], e[c], le[c]) - w.sharePen[lv[c]];
        }
    } else {
      for (int v = 0; v < s; ++v)
        for (int q = 0; q < Q; ++q) {
          const int c = q * s + v;
          mergedScore[q] += gaussianTerm(x[c], mean[q]) - pm;
          currentScore[q] += gaussianTerm(x[c], e[c]) - w.sharePen[lv[c]];
        }
    }
  }
  int merging = 0;
  for (int q = 0; q < Q; ++q) merging += currentScore[q] <= mergedScore[q];
  if (merging == 0) return;
  // Label means only for merging squares: all Q at once, or one by one.
  double labelValue[Q];
  if (merging == Q) labelMeans<Q, S>(w, a, b, s, r, labelValue);
  for (int q = 0; q < Q; ++q) {
    if (!(currentScore[q] <= mergedScore[q])) continue;
    const std::size_t bq = b + static_cast<std::size_t>(q * s);
    if (merging != Q) {
      double one[1];
      labelMeans<1, S>(w, a, bq, s, r, one);
      labelValue[q] = one[0];
    }
    mergeMean<S>(w, a, bq, s, k, mean[q], labelValue[q], logMean[q], kPoisson);
  }
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
    const double* e = w.estimate + (a + u) * w.estimateStride + b;
    const unsigned char* lv = w.level + (a + u) * w.N + b;
    if constexpr (kPoisson) {
      const double* le = w.logEstimate + (a + u) * w.N + b;
      for (int v = 0; v < s; ++v) {
        const double logC = (c[v] == 0.0 && x[v] == 0.0) ? 0.0 : std::log(c[v]);
        mergedScore += poissonTerm(x[v], c[v], logC) - pm;
        currentScore += poissonTerm(x[v], e[v], le[v]) - w.sharePen[lv[v]];
      }
    } else {
      for (int v = 0; v < s; ++v) {
        mergedScore += gaussianTerm(x[v], c[v]) - pm;
        currentScore += gaussianTerm(x[v], e[v]) - w.sharePen[lv[v]];
      }
    }
  }
  if (!(currentScore <= mergedScore)) return;

  double labelValue[1];
  labelMeans<1, 0>(w, a, b, s, r, labelValue);
  for (int u = 0; u < s; ++u) {
    const double* c = candidate[static_cast<int>(a) + u] + b;
    std::copy(c, c + s, w.estimate + (a + u) * w.estimateStride + b);
    std::fill_n(w.label + (a + u) * w.labelStride + b, s, labelValue[0]);
    std::fill_n(w.level + (a + u) * w.N + b, s, static_cast<unsigned char>(k));
    if constexpr (kPoisson) {
      double* le = w.logEstimate + (a + u) * w.N + b;
      for (int v = 0; v < s; ++v) le[v] = std::log(c[v]);
    }
  }
}

// Levels in order; the squares of one level are independent and run in
// batches on the threads, each in the literal order of its own sums.
// block(a, b, s, k, r, pm, Q) handles Q squares side by side from (a, b),
// Q a power of two up to maxGroup that divides the squares across.
template <typename Block>
void runLevels(int M, int N, int levels, double pen, int maxGroup, const Block& block) {
  for (int k = 1; k <= levels; ++k) {
    interruptionPoint();
    const int s = static_cast<int>(std::pow(2.0, k));
    const double r = 1.0 / s;  // exact: s is a power of two
    const double pm = (pen / s) / s;
    const std::size_t side = static_cast<std::size_t>(s);
    const std::size_t across = static_cast<std::size_t>(N) / side;
    int group = 1;
    while (group < maxGroup && across % static_cast<std::size_t>(2 * group) == 0) group *= 2;
    const std::size_t groupsAcross = across / static_cast<std::size_t>(group);
    const std::size_t count = static_cast<std::size_t>(M) / side * groupsAcross;
    const std::size_t perItem = std::max<std::size_t>(1, kItemPixels / (side * side * static_cast<std::size_t>(group)));
    parallelFor((count + perItem - 1) / perItem, [&](std::size_t item) {
      const std::size_t end = std::min(count, (item + 1) * perItem);
      for (std::size_t t = item * perItem; t < end; ++t)
        block(t / groupsAcross * side, t % groupsAcross * side * static_cast<std::size_t>(group), s, k, r, pm, group);
    });
  }
}

template <bool kPoisson>
void runMeanLevels(const Work& w, int M, int N, int levels, double pen) {
  runLevels(M, N, levels, pen, 4, [&](std::size_t a, std::size_t b, int s, int k, double r, double pm, int group) {
    if (group == 4) {
      if (s == 2)
        meanBlocks<kPoisson, 4, 2>(w, a, b, s, k, r, pm);
      else if (s == 4)
        meanBlocks<kPoisson, 4, 4>(w, a, b, s, k, r, pm);
      else if (s == 8)
        meanBlocks<kPoisson, 4, 8>(w, a, b, s, k, r, pm);
      else
        meanBlocks<kPoisson, 4, 0>(w, a, b, s, k, r, pm);
    } else if (group == 2) {
      meanBlocks<kPoisson, 2, 0>(w, a, b, s, k, r, pm);
    } else {
      meanBlocks<kPoisson, 1, 0>(w, a, b, s, k, r, pm);
    }
  });
}

template <bool kPoisson>
void runFittedLevels(const Work& w, const Grid& data, int M, int N, int levels, double pen, BlockFitFn blockFit) {
  Grid candidate(M, N);
  runLevels(M, N, levels, pen, 1, [&](std::size_t a, std::size_t b, int s, int k, double r, double pm, int) {
    fittedBlock<kPoisson>(w, data, candidate, blockFit, a, b, s, k, r, pm);
  });
}

}  // namespace

void fitBlockMean(const Grid& source, Grid& target, int i0, int j0, int R, int C) {
  double mean = 0.0;
  for (int u = 0; u < R; ++u)
    for (int v = 0; v < C; ++v) mean += (source[i0 + u][j0 + v] / R) / C;
  for (int u = 0; u < R; ++u)
    for (int v = 0; v < C; ++v) target[i0 + u][j0 + v] = mean;
}

void pruneBlockMeans(const double* data, int M, int N, double pen, bool poisson, double* estimate, double* label,
                     unsigned char* level, double* logEstimate) {
  if (M <= 0 || N <= 0) return;
  const int levels = levelCount(M, N);
  const std::size_t n = static_cast<std::size_t>(N);
  Work w{data, n, estimate, n, label, n, level, logEstimate, n, {}};
  initialise(w, M, N, pen, poisson);
  if (poisson)
    runMeanLevels<true>(w, M, N, levels, pen);
  else
    runMeanLevels<false>(w, M, N, levels, pen);
}

void pruneDyadic(const Grid& data, int M, int N, double pen, Grid& estimate, Grid& label,
                 std::vector<DyadicSquare>& pixelSquares, std::string_view noiseType, BlockFitFn blockFit) {
  if (M <= 0 || N <= 0) return;
  const int levels = levelCount(M, N);
  const bool poisson = noiseType == kPoisson;
  const std::size_t n = static_cast<std::size_t>(N);
  const std::size_t pixels = static_cast<std::size_t>(M) * n;
  pixelSquares.resize(pixels);
  std::vector<unsigned char> level(pixels);
  std::vector<double> logEstimate(poisson ? pixels : 0);
  Work w{data.data(),
         static_cast<std::size_t>(data.inner()),
         estimate.data(),
         static_cast<std::size_t>(estimate.inner()),
         label.data(),
         static_cast<std::size_t>(label.inner()),
         level.data(),
         logEstimate.data(),
         n,
         {}};
  initialise(w, M, N, pen, poisson);
  if (blockFit == fitBlockMean) {
    if (poisson)
      runMeanLevels<true>(w, M, N, levels, pen);
    else
      runMeanLevels<false>(w, M, N, levels, pen);
  } else {
    if (poisson)
      runFittedLevels<true>(w, data, M, N, levels, pen, blockFit);
    else
      runFittedLevels<false>(w, data, M, N, levels, pen, blockFit);
  }

  for (int i = 0; i < M; ++i)
    for (int j = 0; j < N; ++j) {
      const std::size_t k = static_cast<std::size_t>(i) * n + static_cast<std::size_t>(j);
      const int s = 1 << level[k];
      pixelSquares[k] = {static_cast<double>(i - i % s), static_cast<double>(j - j % s), static_cast<double>(s)};
    }
}

}  // namespace dyadfit
