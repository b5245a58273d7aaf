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

  imageValues->resize(M * N);
  copyImage(image, imageValues->data());

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

void runDyadicEntry(const EntryModel& model, Inputs in, Outputs& out, Partition* partition) {
  if (out.requested() > 6) throw Error(kMsgTooManyOutputs);
  std::vector<double> values;
  const EntryParameters p = checkDyadicInputs(model, in, &values);
  const std::string_view noiseType = p.poisson ? kPoisson : kGaussian;

  // Grid [i][j] is image(row j, column i): the host's column-major data as it
  // stands, with the column as the outer index, for every image shape.
  const std::size_t rows = in[0]->rows(), cols = in[0]->cols();
  const int M = static_cast<int>(cols);  // outer Grid size
  const int N = static_cast<int>(rows);  // inner Grid size
  const std::size_t pixels = rows * cols;

  Grid input(M, N, std::move(values));
  const double pen = (2 * p.penOne) / 3;

  // Each working grid lives only as long as it is needed, and each square is
  // listed once, at its first pixel (all its pixels carry its record): the
  // distinct rows are the same as from one row per pixel.
  auto firstPixels = [&](const std::vector<DyadicSquare>& squares, int offset, std::vector<double>& rows) {
    for (int i = 0; i < M; ++i)
      for (int j = 0; j < N; ++j) {
        const DyadicSquare& s =
            squares[static_cast<std::size_t>(i) * static_cast<std::size_t>(N) + static_cast<std::size_t>(j)];
        if (s.top == i && s.left == j)
          rows.insert(rows.end(), {static_cast<double>(floorMod(static_cast<int>(s.top) - offset, M)),
                                   static_cast<double>(floorMod(static_cast<int>(s.left) - offset, N)), s.side});
      }
  };
  std::vector<double> firstRows, secondRows;  // (top, left, side) triples
  Grid estimate1(M, N), labels1(M, N), shifted(M, N);
  {
    Grid pre(M, N);
    model.preStep(p.sh, input, pre, M, N);
    {
      std::vector<DyadicSquare> squares(pixels);
      model.prune(pre, M, N, pen, estimate1, labels1, squares, noiseType, model.pieces.onePiece);
      firstPixels(squares, 0, firstRows);
    }
    cyclicShift(pre, shifted, p.sh, M, N);
  }
  // The second pruning runs on the shifted grid; its results, and the corners
  // of its squares, are moved back.
  Grid estimate2Back, labels2Back;
  {
    Grid estimate2(M, N), labels2(M, N);
    {
      std::vector<DyadicSquare> squares(pixels);
      model.prune(shifted, M, N, pen, estimate2, labels2, squares, noiseType, model.pieces.onePiece);
      shifted = Grid();
      firstPixels(squares, p.sh, secondRows);
    }
    estimate2Back = Grid(M, N);
    cyclicShift(estimate2, estimate2Back, -p.sh, M, N);
    estimate2 = Grid();
    labels2Back = Grid(M, N);
    cyclicShift(labels2, labels2Back, -p.sh, M, N);
  }
  for (int i = 0; i < M; ++i)
    for (int j = 0; j < N; ++j) estimate1[i][j] = (estimate1[i][j] + estimate2Back[i][j]) / 2;

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

  Grid refined(M, N);
  std::vector<std::int64_t> choices;
  model.refine(refined, input, estimate1, p.penOne, p.penTwo, M, N, p.sh, squares, static_cast<int>(squares.size()),
               noiseType, p.resolution, model.pieces, partition ? &choices : nullptr);
  input = Grid();
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

  const long count = static_cast<long>(pixels);
  auto emit = [&](int slot, Grid& g) {
    copyDoubles(out.create(slot, rows, cols), g.data(), count);
    g = Grid();
  };
  emit(0, refined);
  emit(1, estimate1);
  emit(2, labels1);
  emit(4, estimate2Back);
  emit(5, labels2Back);
}

}  // namespace dyadfit
