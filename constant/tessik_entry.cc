// SPDX-License-Identifier: BSD-3-Clause
#include "constant/tessik_entry.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <vector>

#include "dyadic/dyadic_entry.h"
#include "dyadic/entry_checks.h"
#include "dyadic/grid.h"
#include "dyadic/parallel.h"
#include "dyadic/prune_dyadic.h"
#include "dyadic/region_cost.h"

namespace dyadfit {
namespace {

// A real double with exactly one element.
// A real number: one element of a numeric or logical class, as the other
// modules accept their parameters.
bool passesScalarTest(const Input& a) { return a.isNumericOrLogical() && !a.isComplex() && a.rows() * a.cols() == 1; }

// Transpositions go by tiles of 8 x 8: the rows of a tile lie a power of two
// apart and share cache sets, and 8 of them still fit the set's ways.
constexpr std::size_t kTile = 8;

// Elements per work item: small images stay on the calling thread.
constexpr std::size_t kItemElements = std::size_t{1} << 16;

// Runs body(begin, end) over [0, count) in items of at least `grain`.
template <typename Body>
void forRanges(std::size_t count, std::size_t grain, const Body& body) {
  const std::size_t items = std::max<std::size_t>(1, count / std::max<std::size_t>(1, grain));
  parallelFor(items, [&](std::size_t k) { body(count * k / items, count * (k + 1) / items); });
}

// Runs body(i0, j0) for the tiles of an M x N array, tile rows spread over
// the threads.
template <typename Body>
void forTiles(std::size_t m, std::size_t n, const Body& body) {
  forRanges((m + kTile - 1) / kTile, kItemElements / (kTile * n + 1), [&](std::size_t begin, std::size_t end) {
    for (std::size_t ti = begin; ti < end; ++ti)
      for (std::size_t j0 = 0; j0 < n; j0 += kTile) body(ti * kTile, j0);
  });
}

// blockAverageFlat written row-major (element [i][j] at i*N + j), each
// block's sum in the same column-major order.
void blockAverageTransposed(int s, const double* image, double* rowMajor, int M, int N) {
  const std::size_t m = static_cast<std::size_t>(M), n = static_cast<std::size_t>(N),
                    side = static_cast<std::size_t>(s);
  auto block = [&](std::size_t a, std::size_t b) {
    double sum = 0.0;
    for (std::size_t u = 0; u < side; ++u)
      for (std::size_t v = 0; v < side; ++v) sum += image[(a + v) + m * (b + u)];
    const double mean = (sum / s) / s;
    for (std::size_t v = 0; v < side; ++v) std::fill_n(rowMajor + (a + v) * n + b, side, mean);
  };
  if (side >= kTile) {
    forRanges(m / side, kItemElements / (side * n), [&](std::size_t begin, std::size_t end) {
      for (std::size_t bi = begin; bi < end; ++bi)
        for (std::size_t b = 0; b < n; b += side) block(bi * side, b);
    });
    return;
  }
  forTiles(m, n, [&](std::size_t a0, std::size_t b0) {
    const std::size_t a1 = std::min(m, a0 + kTile), b1 = std::min(n, b0 + kTile);
    if (side == 1) {
      // ((0.0 + x) / 1) / 1 is 0.0 + x: dividing by one returns its operand.
      for (std::size_t b = b0; b < b1; ++b)
        for (std::size_t a = a0; a < a1; ++a) rowMajor[a * n + b] = 0.0 + image[a + m * b];
      return;
    }
    for (std::size_t b = b0; b < b1; b += side)
      for (std::size_t a = a0; a < a1; a += side) block(a, b);
  });
}

// Transposes the n x n array in place and adds each element to +0.0, as the
// literal stage does when it adds its results into zero-filled outputs.
void transposeAddingZero(double* a, std::size_t n) {
  forTiles(n, n, [&](std::size_t i0, std::size_t j0) {
    if (j0 < i0) return;
    const std::size_t i1 = std::min(n, i0 + kTile), j1 = std::min(n, j0 + kTile);
    for (std::size_t i = i0; i < i1; ++i)
      for (std::size_t j = (j0 == i0 ? i : j0); j < j1; ++j) {
        const double upper = a[i * n + j], lower = a[j * n + i];
        a[i * n + j] = 0.0 + lower;
        a[j * n + i] = 0.0 + upper;
      }
  });
}

// Each element's final square from its level (row-major, element [i][j] at
// i*N + j), as (top, left, side) columns of the (M*N) x 3 column-major
// result.
void writeSquares(const unsigned char* level, int M, int N, double* squaresOut) {
  const std::size_t m = static_cast<std::size_t>(M), n = static_cast<std::size_t>(N), pixels = m * n;
  std::vector<unsigned char> byColumn(pixels);
  forTiles(m, n, [&](std::size_t i0, std::size_t j0) {
    const std::size_t i1 = std::min(m, i0 + kTile), j1 = std::min(n, j0 + kTile);
    for (std::size_t j = j0; j < j1; ++j)
      for (std::size_t i = i0; i < i1; ++i) byColumn[i + m * j] = level[i * n + j];
  });
  // One pass per result column: three streams a power of two apart would
  // compete for the same cache sets.
  for (int column = 0; column < 3; ++column)
    forRanges(n, kItemElements / m, [&](std::size_t begin, std::size_t end) {
      for (std::size_t j = begin; j < end; ++j) {
        const unsigned char* lv = byColumn.data() + m * j;
        double* out = squaresOut + static_cast<std::size_t>(column) * pixels + m * j;
        const auto jj = static_cast<std::int64_t>(j);
        for (std::size_t i = 0; i < m; ++i) {
          const std::int64_t side = std::int64_t{1} << lv[i];
          const std::int64_t value = column == 0   ? static_cast<std::int64_t>(i) & ~(side - 1)
                                     : column == 1 ? jj & ~(side - 1)
                                                   : side;
          out[i] = static_cast<double>(value);
        }
      }
    });
}

// The results themselves serve as working storage when all are asked for:
// the row-major pre-averaged image and the pruning's current terms sit in the
// squares result (3*M*N doubles), the estimate and labels are kept row-major
// in theirs and transposed in place at the end. Labels and squares may be
// null (not asked for); the scratch then comes from the workspace. Square
// images only (the checks admit no other non-empty shape).
void fastStages(const Input& image, int M, int N, int sh, double pen, double* estimate, double* labels,
                double* squares) {
  if (M <= 0 || N <= 0) return;
  if (M != N) throw Error("Images must be square.");
  const std::size_t n = static_cast<std::size_t>(N);
  EntryWorkspace own;
  EntryWorkspace& ws = currentWorkspace() ? *currentWorkspace() : own;
  const double* values = image.doubles();
  if (values && !labels && !squares) {
    // The estimate alone: the pruning runs over the pre-averaged image in
    // the estimate's own storage.
    blockAverageTransposed(sh, values, estimate, M, N);
    ws.level.resize(n * n);
    pruneBlockMeansInPlace(estimate, M, N, pen, ws.level.data());
    transposeAddingZero(estimate, n);
    return;
  }
  if (!values) {
    copyImage(image, estimate);  // converted values, until the pruning takes the estimate over
    values = estimate;
  }
  // Without the squares result the pre-averaged image alone needs scratch:
  // the pruning keeps its current terms in the estimate.
  if (!squares) ws.scratch.resize(n * n);
  double* data = squares ? squares : ws.scratch.data();
  blockAverageTransposed(sh, values, data, M, N);
  ws.level.resize(n * n);
  pruneBlockMeans(data, M, N, pen, false, estimate, labels, ws.level.data(), squares ? data + n * n : nullptr);
  transposeAddingZero(estimate, n);
  if (labels) transposeAddingZero(labels, n);
  if (squares) writeSquares(ws.level.data(), M, N, squares);
}

}  // namespace

void blockAverageFlat(int s, const double* image, double* preAveraged, int M, int N) {
  const std::size_t m = static_cast<std::size_t>(M);
  for (int b = 0; b < N; b += s) {
    for (int a = 0; a < M; a += s) {
      double sum = 0.0;
      for (int u = 0; u < s; ++u)
        for (int v = 0; v < s; ++v) sum += image[static_cast<std::size_t>(a + v) + m * static_cast<std::size_t>(b + u)];
      const double mean = (sum / s) / s;
      for (int u = 0; u < s; ++u)
        for (int v = 0; v < s; ++v)
          preAveraged[static_cast<std::size_t>(a + v) + m * static_cast<std::size_t>(b + u)] = mean;
    }
  }
}

void pruneConstant(const double* preAveraged, int M, int N, double pen, double* labelsOut, double* estimateOut,
                   double* squaresOut) {
  if (M <= 0 || N <= 0) return;
  const std::size_t m = static_cast<std::size_t>(M), n = static_cast<std::size_t>(N), pixels = m * n;
  std::vector<double> data(pixels), estimate(pixels), label(pixels), current(pixels);
  std::vector<unsigned char> level(pixels);
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = 0; j < n; ++j) data[i * n + j] = preAveraged[i + m * j];
  pruneBlockMeans(data.data(), M, N, pen, false, estimate.data(), label.data(), level.data(), current.data());
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = 0; j < n; ++j) {
      estimateOut[i + m * j] = 0.0 + estimate[i * n + j];
      labelsOut[i + m * j] += label[i * n + j];
    }
  writeSquares(level.data(), M, N, squaresOut);
}

void tessik(Inputs in, Outputs& out) { runTessikEntry(in, out, fastStages); }

void tessikPartitioned(Inputs in, Outputs& out, Partition& partition) {
  runTessikEntry(in, out, fastStages, &partition);
}

void runTessikEntry(Inputs in, Outputs& out, TessikStagesFn stages, Partition* partition) {
  if (out.requested() > 3) throw Error(kMsgTooManyOutputs);
  const std::size_t nrhs = in.size();
  if (nrhs > 3) throw Error("There are at most 3 input parameters allowed!");
  if (nrhs < 1) throw Error("There is at least 1 input parameter required!");
  if (nrhs < 2) throw Error("At this point the penalty must be input.");
  if (!passesScalarTest(*in[1])) throw Error("Input pen must be a scalar.");
  const double pen = in[1]->scalar();
  if (!(pen >= 0)) throw Error(kMsgPenalty);  // NaN included
  if (nrhs == 3 && !passesScalarTest(*in[2])) throw Error("Input sh must be a scalar.");

  const Input& image = *in[0];
  const std::size_t M = image.rows(), N = image.cols();
  // Not an image at all (a struct, a cell, a function handle, more than two
  // dimensions): say so before judging its shape.
  if (!image.isNumericOrLogical() || image.dims() > 2) throw Error(kMsgImageClass);
  if (M > 1 && N > 1 && M != N) throw Error("Images must be square.");
  if (M > 1 && failsDyadicSideTest(M)) throw Error(kMsgRowDyadic);
  if (N > 1 && failsDyadicSideTest(N)) throw Error(kMsgColDyadic);
  requireRealImage(image);
  if ((M == 1 && N > 1) || (N == 1 && M > 1)) throw Error(kMsgVector);
  const int sh = checkedBlockSide(nrhs == 3 ? in[2]->scalar() : 1.0, M, N);
  requireModerateValues(image);
  if (M > static_cast<std::size_t>(INT_MAX) || N > static_cast<std::size_t>(INT_MAX)) throw Error(kMsgImageClass);

  // Only the results asked for, unless the literal stages (which fill all
  // three) run, or the partition needs the squares.
  const int want = out.requested();
  const bool all = stages != fastStages;
  std::vector<double> ownLabels, ownSquares;
  double* estimate = out.create(0, M, N);
  double* labels = want >= 2 ? out.create(1, M, N) : nullptr;
  double* squares = want >= 3 ? out.create(2, M * N, 3) : nullptr;
  if (!labels && all) {
    ownLabels.assign(M * N, 0.0);
    labels = ownLabels.data();
  }
  if (!squares && (all || partition)) {
    ownSquares.assign(3 * M * N, 0.0);
    squares = ownSquares.data();
  }

  stages(image, static_cast<int>(M), static_cast<int>(N), sh, pen, estimate, labels, squares);
  if (partition) {
    // Each square once, at its first pixel; column-major pixels meet them by column, then row.
    Partition& part = *partition;
    part = Partition{M, N, sh, 0, {}};
    const std::size_t pixels = M * N;
    for (std::size_t k = 0; k < pixels; ++k) {
      const std::size_t r = k % M, c = k / M;
      if (squares[k] == static_cast<double>(r) && squares[pixels + k] == static_cast<double>(c)) {
        PartitionSquare s;
        s.row = static_cast<int>(r);
        s.col = static_cast<int>(c);
        s.side = static_cast<int>(squares[2 * pixels + k]);
        part.squares.push_back(s);
      }
    }
  }
}

}  // namespace dyadfit
