// SPDX-License-Identifier: BSD-3-Clause
#include "dyadic/dyadic_entry.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "dyadic/entry_checks.h"
#include "dyadic/grid_utils.h"
#include "dyadic/large_arrays.h"
#include "dyadic/parallel.h"
#include "dyadic/region_cost.h"

namespace dyadfit {
namespace {

constexpr const char* kMsgNoiseString = "noiseType must be a string";
constexpr const char* kMsgPoissonNegative = "Poisson data cannot be negative.";
constexpr const char* kMsgPenaltyValue = "The penalties must be real numbers.";
constexpr const char* kMsgLines = "The number of lines must be a finite non-negative number not above 1e8.";
constexpr const char* kMsgUnique = "The host function unique returned an unexpected result.";
// At most 1e8 lines (K = 10^4 offsets and angles): the masks of all of them
// are drawn once per call, about a minute on two cores for the default block
// side of a 2048 x 2048 image; the search itself costs only the distinct ones.
constexpr double kMaxLines = 1e8;

// A parameter that can be read as a number: real numeric or logical, with an element.
bool isNumberInput(const Input& a) { return a.isNumericOrLogical() && !a.isComplex() && a.rows() * a.cols() > 0; }

}  // namespace

int defaultBlockSide(std::size_t rows, std::size_t cols) {
  const double p = std::pow(static_cast<double>(rows) * static_cast<double>(cols), kThird);
  const double s = std::sqrt(p);
  const double t = std::log(s) / kLn2;
  int sh = static_cast<int>(std::pow(2.0, std::floor(t)));
  // Elongated images: never a block wider than the image.
  const std::size_t smaller = rows < cols ? rows : cols;
  std::size_t cap = 1;
  while (cap * 2 <= smaller) cap *= 2;
  if (static_cast<std::size_t>(sh) > cap) sh = static_cast<int>(cap);
  return sh;
}

int defaultResolution(std::size_t rows, std::size_t cols) {
  return static_cast<int>(std::floor(std::pow(static_cast<double>(rows) * static_cast<double>(cols), kThird)));
}

EntryParameters checkDyadicInputs(const EntryModel& model, Inputs in, std::vector<double>* imageValues) {
  const std::size_t nrhs = in.size();
  if (nrhs > 6) throw Error("There are at most 6 input parameters allowed!");
  if (nrhs < 1) throw Error("There is at least 1 input parameter required!");

  const Input& image = *in[0];
  const std::size_t N = image.cols();
  const std::size_t M = image.rows();
  // Not an image at all (a struct, a cell, a function handle, more than two
  // dimensions): say so before judging its shape.
  if (!image.isNumericOrLogical() || image.dims() > 2) throw Error(kMsgImageClass);
  if (M < 2 || N < 2) throw Error(kMsgVector);
  if (failsDyadicSideTest(M)) throw Error(kMsgRowDyadic);
  if (failsDyadicSideTest(N)) throw Error(kMsgColDyadic);
  requireRealImage(image);
  if (M > static_cast<std::size_t>(INT_MAX) || N > static_cast<std::size_t>(INT_MAX)) throw Error(kMsgImageClass);
  requireModerateValues(image);

  // A caller may hand over the image in place: as the workspace's values,
  // which the entry then reads without a copy.
  const bool inPlace = image.doubles() && image.doubles() == imageValues->data() && imageValues->size() == M * N;
  if (!inPlace) {
    resizeLarge(*imageValues, M * N);
    copyImage(image, imageValues->data());
  }

  EntryParameters p;
  if (nrhs >= 2 && in[1]->hasColumns()) {
    if (!isNumberInput(*in[1])) throw Error(kMsgBlockSide);
    p.sh = checkedBlockSide(in[1]->scalar(), M, N);
  } else {
    p.sh = defaultBlockSide(M, N);
  }

  std::string noiseType(kGaussian);
  if (nrhs >= 3) {
    if (!in[2]->isChar()) throw Error(kMsgNoiseString);
    noiseType = in[2]->text();
    if (noiseType != kPoisson && noiseType != kGaussian) throw Error(kMsgNoiseName);
  }
  p.poisson = noiseType == kPoisson;

  const bool oneGiven = nrhs >= 4 && in[3]->hasColumns();
  const bool twoGiven = oneGiven && nrhs >= 5 && in[4]->hasColumns();
  bool badPenalty = false;
  auto given = [&](const Input& a) {
    if (!isNumberInput(a)) {
      badPenalty = true;
      return 0.0;
    }
    return a.scalar();
  };
  if (!oneGiven || !twoGiven) {
    double x = static_cast<double>(M) * static_cast<double>(N);
    if (p.poisson) {
      double sum = 0.0;
      for (double v : *imageValues) sum += v;
      if (sum < 0) throw Error(kMsgPoissonNegative);
      // Fewer than one count in all makes log(X), and so both defaults, negative.
      if (sum < 1) throw Error(kMsgFewCounts);
      x = sum;
    }
    const double lnX = std::log(x);
    p.penOne = (model.onePenaltyFactor * lnX) / 3;
    p.penTwo = (model.twoPenaltyFactor * lnX) / 3;
  }
  if (oneGiven) p.penOne = given(*in[3]);
  if (twoGiven) p.penTwo = given(*in[4]);
  // NaN fails too: a penalty that is not a number would merge nothing or everything.
  if (!(p.penOne >= 0) || !(p.penTwo >= 0)) throw Error(kMsgPenalty);
  if (badPenalty) throw Error(kMsgPenaltyValue);

  if (nrhs >= 6 && in[5]->hasColumns()) {
    if (!isNumberInput(*in[5])) throw Error(kMsgLines);
    const double x = in[5]->scalar();
    if (!(x >= 0) || !(x <= kMaxLines)) throw Error(kMsgLines);
    p.resolution = static_cast<int>(std::floor(std::sqrt(x)));
  } else {
    p.resolution = defaultResolution(M, N);
  }
  return p;
}

namespace {
thread_local EntryWorkspace* tWorkspace = nullptr;
}  // namespace

WorkspaceScope::WorkspaceScope(EntryWorkspace& workspace) : outer_(tWorkspace) { tWorkspace = &workspace; }
WorkspaceScope::~WorkspaceScope() { tWorkspace = outer_; }
EntryWorkspace* currentWorkspace() { return tWorkspace; }

void runDyadicEntry(const EntryModel& model, Inputs in, Outputs& out, Partition* partition) {
  const int want = out.requested();
  if (want > 6) throw Error(kMsgTooManyOutputs);
  EntryWorkspace own;
  EntryWorkspace& ws = tWorkspace ? *tWorkspace : own;
  const EntryParameters p = checkDyadicInputs(model, in, &ws.values);
  const std::string_view noiseType = p.poisson ? kPoisson : kGaussian;

  // Grid [i][j] is image(row j, column i): the host's column-major data as it
  // stands, with the column as the outer index, for every image shape.
  const std::size_t rows = in[0]->rows(), cols = in[0]->cols();
  const int M = static_cast<int>(cols);  // outer Grid size
  const int N = static_cast<int>(rows);  // inner Grid size
  const std::size_t pixels = rows * cols;
  const std::size_t n = static_cast<std::size_t>(N);

  Grid input(M, N, std::move(ws.values));
  const double pen = (2 * p.penOne) / 3;
  // Labels only when asked for; then both prunings draw theirs, so that
  // rand() moves on exactly as it always has.
  const bool labels = want >= 3;
  const bool fastPrune = model.prune == pruneDyadic;

  // Each square is listed once, at its first pixel (all its pixels carry its
  // record): the distinct rows are the same as from one row per pixel.
  auto listSquare = [&](std::vector<double>& list, int top, int left, double side, int offset) {
    list.insert(list.end(), {static_cast<double>(floorMod(top - offset, M)),
                             static_cast<double>(floorMod(left - offset, N)), side});
  };
  // estimateWanted false: the levels alone (the fast mean fit).
  auto prune = [&](const Grid& data, Grid& estimate, Grid* label, int offset, std::vector<double>& list,
                   bool estimateWanted = true) {
    if (fastPrune) {
      // Each pixel's level alone: its square's corner clears the low bits.
      // The mean fit keeps its scratch in the estimate's storage.
      const bool mean = model.pieces.onePiece == fitBlockMean;
      resizeLarge(ws.level, pixels);
      if (!mean) resizeLarge(ws.scratch, pixels);
      pruneDyadicLevels(data, M, N, pen, estimate, label, ws.level.data(), mean ? nullptr : ws.scratch.data(),
                        ws.candidate, noiseType, model.pieces.onePiece, estimateWanted);
      // Bands of rows on the threads, their lists joined in row order.
      // Rows and columns start at the offset, so that the corners moved
      // back come out sorted: the distinct rows are then one merge away.
      const std::size_t bands = std::min<std::size_t>(static_cast<std::size_t>(M), 64);
      const int down = floorMod(offset, M), across = floorMod(offset, N);
      std::vector<std::vector<double>> parts(bands);
      parallelFor(bands, [&](std::size_t b) {
        const int end = static_cast<int>(static_cast<std::size_t>(M) * (b + 1) / bands);
        for (int row = static_cast<int>(static_cast<std::size_t>(M) * b / bands); row < end; ++row) {
          const int i = row < M - down ? row + down : row + down - M;
          const unsigned char* lv = ws.level.data() + static_cast<std::size_t>(i) * n;
          auto columns = [&](int from, int to) {
            for (int j = from; j < to; ++j) {
              const int side = 1 << lv[j];
              if ((i & (side - 1)) == 0 && (j & (side - 1)) == 0) listSquare(parts[b], i, j, side, offset);
            }
          };
          columns(across, N);
          columns(0, across);
        }
      });
      for (const std::vector<double>& part : parts) list.insert(list.end(), part.begin(), part.end());
      return;
    }
    Grid ownLabel;
    if (!label) {
      ownLabel = Grid(M, N);
      label = &ownLabel;
    }
    std::vector<DyadicSquare> squares(pixels);
    model.prune(data, M, N, pen, estimate, *label, squares, noiseType, model.pieces.onePiece);
    for (int i = 0; i < M; ++i)
      for (int j = 0; j < N; ++j) {
        const DyadicSquare& s = squares[static_cast<std::size_t>(i) * n + static_cast<std::size_t>(j)];
        if (s.top == i && s.left == j) listSquare(list, i, j, s.side, offset);
      }
  };

  // Three grids serve the whole call: the pre-step's grid takes the second
  // pruning's estimate once shifted, then the refinement; the shifted grid
  // takes that estimate moved back. With the first result alone and the
  // block mean, two do: the first estimate is formed again after the second
  // pruning from its squares and the pre-step, which are kept meanwhile.
  const bool lean = fastPrune && model.pieces.onePiece == fitBlockMean && want <= 1;
  Grid& pre = ws.grids[0];
  Grid& shifted = ws.grids[1];
  Grid& estimate1 = lean ? ws.grids[1] : ws.grids[2];
  Grid& estimate2 = pre;
  Grid& estimate2Back = shifted;
  for (Grid* g : {&pre, &shifted, &estimate1}) g->reshape(M, N);
  if (lean) ws.grids[2] = Grid();
  std::vector<double> firstRows, secondRows;  // (top, left, side) triples
  Grid labels1, labels2Back;
  model.preStep(p.sh, input, pre, M, N);
  if (labels) labels1 = Grid(M, N);
  prune(pre, estimate1, labels ? &labels1 : nullptr, 0, firstRows, !lean);
  if (lean) ws.firstLevel.swap(ws.level);
  // The second pruning runs on the shifted grid; its results, and the corners
  // of its squares, are moved back.
  cyclicShift(pre, shifted, p.sh, M, N);
  {
    Grid labels2;
    if (labels) labels2 = Grid(M, N);
    prune(shifted, estimate2, labels ? &labels2 : nullptr, p.sh, secondRows);
    if (want > 4) cyclicShift(estimate2, estimate2Back, -p.sh, M, N);
    if (labels) {
      labels2Back = Grid(M, N);
      cyclicShift(labels2, labels2Back, -p.sh, M, N);
    }
  }
  if (lean) {
    model.preStep(p.sh, input, estimate1, M, N);
    blockMeansOfLevels(estimate1.data(), n, estimate1.data(), n, ws.firstLevel.data(), M, N);
  }
  if (want > 4) {
    parallelFor(static_cast<std::size_t>(M), [&](std::size_t i) {
      double* e1 = estimate1[static_cast<int>(i)];
      const double* e2 = estimate2Back[static_cast<int>(i)];
      for (int j = 0; j < N; ++j) e1[j] = (e1[j] + e2[j]) / 2;
    });
  } else {
    // Result 5 not asked for: the second estimate is read where the shift
    // back would have put it, [i][j] from [i + sh][j + sh] around the grid.
    const int across = floorMod(p.sh, N);
    parallelFor(static_cast<std::size_t>(M), [&](std::size_t i) {
      double* e1 = estimate1[static_cast<int>(i)];
      const double* e2 = estimate2[floorMod(static_cast<int>(i) + p.sh, M)];
      for (int j = 0; j < N - across; ++j) e1[j] = (e1[j] + e2[j + across]) / 2;
      for (int j = N - across; j < N; ++j) e1[j] = (e1[j] + e2[j + across - N]) / 2;
    });
  }

  const std::size_t rowsStacked = (firstRows.size() + secondRows.size()) / 3;
  std::vector<double> stacked(3 * rowsStacked);
  std::size_t r = 0;
  for (const std::vector<double>* rows : {&firstRows, &secondRows})
    for (std::size_t t = 0; t < rows->size(); t += 3, ++r) {
      stacked[r] = (*rows)[t];
      stacked[rowsStacked + r] = (*rows)[t + 1];
      stacked[2 * rowsStacked + r] = (*rows)[t + 2];
    }
  std::vector<double>().swap(firstRows);
  std::vector<double>().swap(secondRows);
  const MatrixView distinct = out.distinctRows(3, stacked.data(), rowsStacked, 3);
  std::vector<double>().swap(stacked);
  // The host's answer is checked before any value of it is used: a user's own
  // unique on the path may return anything.
  if (distinct.cols != 3 || (distinct.rows > 0 && !distinct.data)) throw Error(kMsgUnique);
  const int smaller = std::min(M, N);
  std::vector<DyadicSquare> squares(distinct.rows);
  for (std::size_t f = 0; f < distinct.rows; ++f) {
    const double top = distinct.data[f], left = distinct.data[f + distinct.rows];
    const double side = distinct.data[f + 2 * distinct.rows];
    const bool dyadicSide = side >= 1 && side <= smaller && std::floor(side) == side &&
                            (static_cast<int>(side) & (static_cast<int>(side) - 1)) == 0;
    // Corners lie on the grid; a square of the shifted pruning may wrap past
    // its far sides, and the refinement leaves such squares alone.
    if (!dyadicSide || !(top >= 0 && top < M) || !(left >= 0 && left < N) || std::floor(top) != top ||
        std::floor(left) != left)
      throw Error(kMsgUnique);
    squares[f] = {top, left, side};
  }

  // Without result 2 the refinement writes over the averaged estimate.
  Grid& refined = want > 1 ? pre : estimate1;
  std::vector<std::int64_t> choices;
  model.refine(refined, input, estimate1, p.penOne, p.penTwo, M, N, p.sh, squares, static_cast<int>(squares.size()),
               noiseType, p.resolution, model.pieces, partition ? &choices : nullptr);
  ws.values = input.take();
  if (&ws == &own) std::vector<double>().swap(ws.values);
  if (partition) {
    Partition& part = *partition;
    part = Partition{rows, cols, p.sh, p.resolution, {}};
    part.squares.resize(squares.size());
    for (std::size_t f = 0; f < squares.size(); ++f) {
      // Outer index: image column; inner: image row.
      PartitionSquare& s = part.squares[f];
      s.col = static_cast<int>(squares[f].top);
      s.row = static_cast<int>(squares[f].left);
      s.side = static_cast<int>(squares[f].side);
      s.refined = choices[f] != kNotRefined;
      s.split = choices[f] >= 0;
      if (s.split) setCutLine(s, choices[f], p.resolution);
    }
  }

  // A call's own grids go as soon as they are copied out.
  auto emit = [&](int slot, Grid& g) {
    if (slot < want) copyValues(out.create(slot, rows, cols), g.data(), pixels);
    if (&ws == &own || (slot != 0 && slot != 1 && slot != 4)) g = Grid();
  };
  emit(0, refined);
  emit(1, estimate1);
  if (labels) emit(2, labels1);
  emit(4, estimate2Back);
  if (labels) emit(5, labels2Back);
}

}  // namespace dyadfit
