// SPDX-License-Identifier: BSD-3-Clause
#include "dyadic/grid_utils.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "dyadic/parallel.h"

namespace dyadfit {
namespace {

// Elements per work item: small grids stay on the calling thread.
constexpr std::size_t kItemElements = std::size_t{1} << 16;

// Runs body(begin, end) over [0, count) in items of about `grain` on the threads.
template <typename Body>
void forRanges(std::size_t count, std::size_t grain, const Body& body) {
  const std::size_t items = std::max<std::size_t>(1, count / std::max<std::size_t>(1, grain));
  parallelFor(items, [&](std::size_t k) { body(count * k / items, count * (k + 1) / items); });
}

}  // namespace

int floorMod(int a, int b) {
  const double q = static_cast<double>(a) / static_cast<double>(b);
  return static_cast<int>((q - std::floor(q)) * b);
}

void blockAverage(int s, const Grid& src, Grid& dst, int M, int N) {
  if (M <= 0 || N <= 0) return;
  // Bands of s rows are independent: each block is read whole before it is written.
  const std::size_t bands = (static_cast<std::size_t>(M) + s - 1) / s;
  forRanges(bands, kItemElements / (static_cast<std::size_t>(s) * N), [&](std::size_t begin, std::size_t end) {
    for (std::size_t band = begin; band < end; ++band) {
      const int r0 = static_cast<int>(band) * s;
      for (int c0 = 0; c0 < N; c0 += s) {
        double sum = 0.0;
        for (int u = 0; u < s; ++u)
          for (int v = 0; v < s; ++v) sum += src[r0 + u][c0 + v];
        const double mean = (sum / s) / s;
        for (int u = 0; u < s; ++u)
          for (int v = 0; v < s; ++v) dst[r0 + u][c0 + v] = mean;
      }
    }
  });
}

void cyclicShift(const Grid& src, Grid& dst, int offset, int M, int N) {
  if (M <= 0 || N <= 0) return;
  // The source column of each column, found once and kept as runs of
  // consecutive columns (two for a rotation), each copied whole.
  struct Run {
    int to, from, length;
  };
  std::vector<Run> runs;
  for (int j = 0; j < N; ++j) {
    const int from = floorMod(j - offset, N);
    if (!runs.empty() && runs.back().from + runs.back().length == from)
      ++runs.back().length;
    else
      runs.push_back({j, from, 1});
  }
  forRanges(static_cast<std::size_t>(M), kItemElements / static_cast<std::size_t>(N),
            [&](std::size_t begin, std::size_t end) {
              for (int i = static_cast<int>(begin); i < static_cast<int>(end); ++i) {
                const double* row = src[floorMod(i - offset, M)];
                double* to = dst[i];
                for (const Run& r : runs) std::copy(row + r.from, row + r.from + r.length, to + r.to);
              }
            });
}

void copyDoubles(double* dst, const double* src, long count) {
  for (long k = 0; k < count; ++k) dst[k] = src[k];
}

void copyValues(double* dst, const double* src, std::size_t count) {
  forRanges(count, kItemElements,
            [&](std::size_t begin, std::size_t end) { std::copy(src + begin, src + end, dst + begin); });
}

void forEachRange(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body) {
  forRanges(count, kItemElements, body);
}

}  // namespace dyadfit
