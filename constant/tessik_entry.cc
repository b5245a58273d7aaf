#include "constant/tessik_entry.h"

#include <climits>
#include <vector>

#include "dyadic/entry_checks.h"
#include "dyadic/grid.h"
#include "dyadic/prune_dyadic.h"
#include "dyadic/region_cost.h"

namespace dyadfit {
namespace {

// A real double with exactly one element.
bool passesScalarTest(const Input& a) { return a.isDouble() && !a.isComplex() && a.rows() * a.cols() == 1; }

void fastStages(const Input& image, int M, int N, int sh, double pen, double* estimate, double* labels,
                double* squares) {
  std::vector<double> converted;
  const double* values = image.doubles();
  if (!values) {
    converted.resize(static_cast<std::size_t>(M) * static_cast<std::size_t>(N));
    copyImage(image, converted.data());
    values = converted.data();
  }
  std::vector<double> preAveraged(static_cast<std::size_t>(M) * static_cast<std::size_t>(N));
  blockAverageFlat(sh, values, preAveraged.data(), M, N);
  pruneConstant(preAveraged.data(), M, N, pen, labels, estimate, squares);
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
  const std::size_t m = static_cast<std::size_t>(M);
  const std::size_t pixels = m * static_cast<std::size_t>(N);
  // Grid [i][j] is pixel (row i, column j).
  Grid data(M, N), estimate(M, N), label(M, N);
  for (int i = 0; i < M; ++i)
    for (int j = 0; j < N; ++j) data[i][j] = preAveraged[static_cast<std::size_t>(i) + m * static_cast<std::size_t>(j)];
  std::vector<DyadicSquare> squares(pixels);
  pruneDyadic(data, M, N, pen, estimate, label, squares, kGaussian, fitBlockMean);

  for (std::size_t k = 0; k < pixels; ++k) estimateOut[k] = 0.0;
  for (int i = 0; i < M; ++i)
    for (int j = 0; j < N; ++j) {
      const std::size_t k = static_cast<std::size_t>(i) + m * static_cast<std::size_t>(j);
      const DyadicSquare& sq =
          squares[static_cast<std::size_t>(i) * static_cast<std::size_t>(N) + static_cast<std::size_t>(j)];
      estimateOut[k] += estimate[i][j];
      labelsOut[k] += label[i][j];
      squaresOut[k] = sq.top;
      squaresOut[pixels + k] = sq.left;
      squaresOut[2 * pixels + k] = sq.side;
    }
}

void tessik(Inputs in, Outputs& out) { runTessikEntry(in, out, fastStages); }

void runTessikEntry(Inputs in, Outputs& out, TessikStagesFn stages) {
  const std::size_t nrhs = in.size();
  if (nrhs > 3) throw Error("There are at most 3 input parameters allowed!");
  if (nrhs < 1) throw Error("There is at least 1 input parameter required!");
  if (nrhs < 2) throw Error("At this point the penalty must be input.");
  if (!passesScalarTest(*in[1])) throw Error("Input pen must be a scalar.");
  const double pen = in[1]->scalar();
  if (pen < 0) throw Error(kMsgPenalty);
  if (nrhs == 3 && !passesScalarTest(*in[2])) throw Error("Input sh must be a scalar.");

  const Input& image = *in[0];
  const std::size_t M = image.rows(), N = image.cols();
  if (M > 1 && N > 1 && M != N) throw Error("Images must be square.");
  if (M > 1 && failsDyadicSideTest(M)) throw Error(kMsgRowDyadic);
  if (N > 1 && failsDyadicSideTest(N)) throw Error(kMsgColDyadic);
  requireRealImage(image);
  if ((M == 1 && N > 1) || (N == 1 && M > 1)) throw Error(kMsgVector);
  const int sh = checkedBlockSide(nrhs == 3 ? in[2]->scalar() : 1.0, M, N);
  if (M > static_cast<std::size_t>(INT_MAX) || N > static_cast<std::size_t>(INT_MAX)) throw Error(kMsgImageClass);

  double* estimate = out.create(0, M, N);
  double* labels = out.create(1, M, N);
  double* squares = out.create(2, M * N, 3);

  stages(image, static_cast<int>(M), static_cast<int>(N), sh, pen, estimate, labels, squares);
}

}  // namespace dyadfit
