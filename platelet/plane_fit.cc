// SPDX-License-Identifier: BSD-3-Clause
#include "platelet/plane_fit.h"

#include <algorithm>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platelet/plane_solver.h"

namespace dyadfit {
namespace {

// Shapes whose factorization is kept, and the memory all of them may hold
// (in doubles): the pruning's squares up to 256 x 256 fit many times over.
constexpr long long kCachedPixels = 1 << 16;
constexpr std::size_t kCacheDoubles = std::size_t{1} << 22;

// The plane design of an R x C block, column-major with R*C rows: 1, u, v.
void planeDesignColumns(int R, int C, double* design) {
  const std::size_t rows = static_cast<std::size_t>(R) * static_cast<std::size_t>(C);
  std::size_t p = 0;
  for (int u = 0; u < R; ++u)
    for (int v = 0; v < C; ++v, ++p) {
      design[p] = 1.0;
      design[p + rows] = u;
      design[p + 2 * rows] = v;
    }
}

// The block [i0, i0+R) x [j0, j0+C) of a Grid to and from pixel order.
void readBlock(const Grid& source, int i0, int j0, int R, int C, double* out) {
  std::size_t p = 0;
  for (int u = 0; u < R; ++u)
    for (int v = 0; v < C; ++v, ++p) out[p] = source[i0 + u][j0 + v];
}
void writeBlock(const double* values, int i0, int j0, int R, int C, Grid& target) {
  std::size_t p = 0;
  for (int u = 0; u < R; ++u)
    for (int v = 0; v < C; ++v, ++p) target[i0 + u][j0 + v] = values[p];
}

// The factored plane design of an R x C block, or null when it is not kept.
// Entries are never dropped, so a pointer stays valid for the process.
const FactoredDesign* planeDesign(int R, int C) {
  thread_local int lastR = -1, lastC = -1;
  thread_local const FactoredDesign* last = nullptr;
  if (R == lastR && C == lastC) return last;

  static std::mutex lock;
  static std::map<std::pair<int, int>, std::unique_ptr<FactoredDesign>> cache;
  static std::size_t stored = 0;
  const FactoredDesign* found = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock);
    auto it = cache.find({R, C});
    if (it != cache.end()) {
      found = it->second.get();
    } else {
      const std::size_t rows = static_cast<std::size_t>(R) * static_cast<std::size_t>(C);
      if (stored + 6 * rows + 3 > kCacheDoubles) return nullptr;
      std::vector<double> design(rows * 3);
      planeDesignColumns(R, C, design.data());
      auto entry = std::make_unique<FactoredDesign>(std::move(design), R * C, 3, true);
      stored += entry->storedDoubles();
      found = entry.get();
      cache.emplace(std::make_pair(R, C), std::move(entry));
    }
  }
  lastR = R;
  lastC = C;
  last = found;
  return found;
}

// The calling thread's buffers for one block, grown as needed.
double* threadBuffer(std::size_t doubles) {
  thread_local std::vector<double> buffer;
  if (buffer.size() < doubles) buffer.resize(doubles);
  return buffer.data();
}

}  // namespace

void fitPlane(const Grid& source, Grid& target, int i0, int j0, int R, int C) {
  const long long pixels = static_cast<long long>(R) * C;
  if (pixels <= 0) return;
  const FactoredDesign* design = pixels >= 3 && pixels <= kCachedPixels ? planeDesign(R, C) : nullptr;
  if (!design || design->mode() == FactoredDesign::Mode::Literal) {
    fitPlaneReference(source, target, i0, j0, R, C);
    return;
  }
  const std::size_t m = static_cast<std::size_t>(pixels);
  const bool lapack = design->mode() != FactoredDesign::Mode::Replica;
  double* b = threadBuffer(2 * m + (lapack ? design->scratchSize() : 0));
  double* fitted = b + m;
  readBlock(source, i0, j0, R, C, b);
  if (!plainRightHandSide(b, static_cast<int>(m))) {
    fitPlaneReference(source, target, i0, j0, R, C);
    return;
  }
  design->solve(b, fitted, fitted + m);
  writeBlock(fitted, i0, j0, R, C, target);
}

void fitBlockPlanes(int blockSize, const Grid& source, Grid& target, int M, int N) {
  for (int i0 = 0; i0 < M; i0 += blockSize)
    for (int j0 = 0; j0 < N; j0 += blockSize) fitPlane(source, target, i0, j0, blockSize, blockSize);
}

void wedgePlanesDesign(const double* mask, std::size_t stride, int R, int C, double* design) {
  const std::size_t rows = static_cast<std::size_t>(R) * static_cast<std::size_t>(C);
  std::size_t p = 0;
  for (int u = 0; u < R; ++u)
    for (int v = 0; v < C; ++v, ++p) {
      const double w = mask[static_cast<std::size_t>(u) * stride + static_cast<std::size_t>(v)];
      const double rest = 1.0 - w;
      design[p] = w;
      design[p + rows] = u * w;
      design[p + 2 * rows] = v * w;
      design[p + 3 * rows] = 1 * rest;
      design[p + 4 * rows] = u * rest;
      design[p + 5 * rows] = v * rest;
    }
}

void fitWedgePlanes(const Grid& source, Grid& target, const Grid& mask, int i0, int j0, int R, int C) {
  fitWedgePlanesReference(source, target, mask, i0, j0, R, C);
}

// ------------------------------------------------ the literal fits: one dgels each

void fitPlaneReference(const Grid& source, Grid& target, int i0, int j0, int R, int C) {
  const int m = R * C;
  const int k = 3;
  if (m <= 0) return;
  const std::size_t rows = static_cast<std::size_t>(m);
  std::vector<double> design(rows * k);
  std::vector<double> rhs(static_cast<std::size_t>(std::max(m, k)));
  std::vector<double> fitted(rows);
  planeDesignColumns(R, C, design.data());
  readBlock(source, i0, j0, R, C, rhs.data());
  solveWithDgels(design, rhs, fitted, m, k);
  writeBlock(fitted.data(), i0, j0, R, C, target);
}

void fitBlockPlanesReference(int blockSize, const Grid& source, Grid& target, int M, int N) {
  for (int i0 = 0; i0 < M; i0 += blockSize)
    for (int j0 = 0; j0 < N; j0 += blockSize) fitPlaneReference(source, target, i0, j0, blockSize, blockSize);
}

void fitWedgePlanesReference(const Grid& source, Grid& target, const Grid& mask, int i0, int j0, int R, int C) {
  const int m = R * C;
  const int k = 6;
  if (m <= 0) return;
  const std::size_t rows = static_cast<std::size_t>(m);
  std::vector<double> design(rows * k);
  std::vector<double> rhs(static_cast<std::size_t>(std::max(m, k)));
  std::vector<double> fitted(rows);
  wedgePlanesDesign(mask[0], static_cast<std::size_t>(mask.inner()), R, C, design.data());
  readBlock(source, i0, j0, R, C, rhs.data());
  solveWithDgels(design, rhs, fitted, m, k);
  writeBlock(fitted.data(), i0, j0, R, C, target);
}

}  // namespace dyadfit
