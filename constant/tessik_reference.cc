// SPDX-License-Identifier: BSD-3-Clause
#include "constant/tessik_reference.h"

#include <vector>

#include "constant/tessik_entry.h"
#include "dyadic/dyadic_reference.h"
#include "dyadic/entry_checks.h"
#include "dyadic/grid.h"
#include "dyadic/region_cost.h"

namespace dyadfit {
namespace {

void referenceStages(const Input& image, int M, int N, int sh, double pen, double* estimate, double* labels,
                     double* squares) {
  const std::size_t pixels = static_cast<std::size_t>(M) * static_cast<std::size_t>(N);
  std::vector<double> values(pixels);
  copyImage(image, values.data());
  std::vector<double> preAveraged(pixels);
  blockAverageFlat(sh, values.data(), preAveraged.data(), M, N);
  pruneConstantReference(preAveraged.data(), M, N, pen, labels, estimate, squares);
}

}  // namespace

void pruneConstantReference(const double* preAveraged, int M, int N, double pen, double* labelsOut, double* estimateOut,
                            double* squaresOut) {
  if (M <= 0 || N <= 0) return;
  const std::size_t m = static_cast<std::size_t>(M);
  const std::size_t pixels = m * static_cast<std::size_t>(N);
  // Grid [i][j] is pixel (row i, column j).
  Grid data(M, N), estimate(M, N), label(M, N);
  for (int i = 0; i < M; ++i)
    for (int j = 0; j < N; ++j) data[i][j] = preAveraged[static_cast<std::size_t>(i) + m * static_cast<std::size_t>(j)];
  std::vector<DyadicSquare> squares(pixels);
  pruneDyadicReference(data, M, N, pen, estimate, label, squares, kGaussian, fitBlockMean);

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

void tessikReference(Inputs in, Outputs& out) { runTessikEntry(in, out, referenceStages); }

void tessikReferencePartitioned(Inputs in, Outputs& out, Partition& partition) {
  runTessikEntry(in, out, referenceStages, &partition);
}

}  // namespace dyadfit
