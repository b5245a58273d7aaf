// SPDX-License-Identifier: BSD-3-Clause
// Small operations on Grids and flat arrays used around the prunings.
#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstddef>
#include <functional>

#include "dyadic/grid.h"

namespace dyadfit {

// a mod b with a result in [0, b), for b > 0.
int floorMod(int a, int b);

// Replaces every aligned s x s block of src by its mean, written to dst
// (which may be src). s must be at least 1 and divide M and N.
void blockAverage(int s, const Grid& src, Grid& dst, int M, int N);

// dst[i][j] = src[(i - offset) mod M][(j - offset) mod N]: the content moves
// by +offset along both indices.
void cyclicShift(const Grid& src, Grid& dst, int offset, int M, int N);

void copyDoubles(double* dst, const double* src, long count);

// copyDoubles for large arrays, in ranges on the threads.
void copyValues(double* dst, const double* src, std::size_t count);
// Runs body(begin, end) over [0, count) in ranges on the threads; a short
// array stays on the calling thread.
void forEachRange(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body);
// std::round written out, so that it compiles inline: half away from zero,
// the sign of zero kept; NaN, infinities and values past 2^52 (integers
// already) come back as they are. The library's round is a call per value.
inline double roundHalfAway(double v) {
  if (!(std::fabs(v) < 4503599627370496.0)) return v;
  const double t = static_cast<double>(static_cast<std::int64_t>(v));  // toward zero
  const double d = v - t;                                              // exact
  return std::copysign(d >= 0.5 ? t + 1 : d <= -0.5 ? t - 1 : t, v);
}

// Whether test(v) holds for some v of p[0, count), tested on the threads.
template <typename Test>
bool anyValue(const double* p, std::size_t count, const Test& test) {
  std::atomic<bool> found{false};
  forEachRange(count, [&](std::size_t begin, std::size_t end) {
    if (found.load(std::memory_order_relaxed)) return;
    bool hit = false;
    for (std::size_t k = begin; k < end; ++k) hit |= test(p[k]);
    if (hit) found.store(true, std::memory_order_relaxed);
  });
  return found.load();
}

}  // namespace dyadfit
