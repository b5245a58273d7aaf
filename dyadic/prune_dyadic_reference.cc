// SPDX-License-Identifier: BSD-3-Clause
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "dyadic/dyadic_reference.h"
#include "dyadic/region_cost.h"

namespace dyadfit {
namespace {

// Log-likelihood term of one element: the negative of its region cost.
inline double poissonTerm(double x, double mu) { return (mu == 0.0 && x == 0.0) ? 0.0 : x * std::log(mu) - mu; }
inline double gaussianTerm(double x, double mu) {
  const double d = x - mu;
  return -(d * d);
}

}  // namespace

void pruneDyadicReference(const Grid& data, int M, int N, double pen, Grid& estimate, Grid& label,
                          std::vector<DyadicSquare>& pixelSquares, std::string_view noiseType, BlockFitFn blockFit) {
  if (M <= 0 || N <= 0) return;
  const bool poisson = noiseType == kPoisson;
  pixelSquares.resize(static_cast<std::size_t>(M) * static_cast<std::size_t>(N));
  Grid candidate(M, N), share(M, N), side(M, N), top(M, N), left(M, N);
  for (int i = 0; i < M; ++i)
    for (int j = 0; j < N; ++j) {
      share[i][j] = 1.0;
      side[i][j] = 1.0;
      top[i][j] = i;
      left[i][j] = j;
      estimate[i][j] = data[i][j];
      label[i][j] = static_cast<double>(std::rand());
    }

  const int levels = static_cast<int>(std::floor(std::log(std::min(M, N)) / std::log(2.0)));
  for (int level = 1; level <= levels; ++level) {
    const int s = static_cast<int>(std::pow(2.0, level));
    for (int a = 0; a < M; a += s) {
      for (int b = 0; b < N; b += s) {
        double labelMean = 0.0;
        for (int u = 0; u < s; ++u)
          for (int v = 0; v < s; ++v) labelMean += (label[a + u][b + v] / s) / s;
        blockFit(data, candidate, a, b, s, s);

        double mergedScore = 0.0;
        double currentScore = 0.0;
        for (int u = 0; u < s; ++u)
          for (int v = 0; v < s; ++v) {
            const double x = data[a + u][b + v];
            const double merged = candidate[a + u][b + v];
            const double current = estimate[a + u][b + v];
            if (poisson) {
              mergedScore += poissonTerm(x, merged) - (pen / s) / s;
              currentScore += poissonTerm(x, current) - share[a + u][b + v] * pen;
            } else {
              mergedScore += gaussianTerm(x, merged) - (pen / s) / s;
              currentScore += gaussianTerm(x, current) - share[a + u][b + v] * pen;
            }
          }

        if (currentScore <= mergedScore) {
          const double newShare = (1.0 / s) / s;
          for (int u = 0; u < s; ++u)
            for (int v = 0; v < s; ++v) {
              estimate[a + u][b + v] = candidate[a + u][b + v];
              share[a + u][b + v] = newShare;
              label[a + u][b + v] = labelMean;
              side[a + u][b + v] = s;
              top[a + u][b + v] = a;
              left[a + u][b + v] = b;
            }
        }
      }
    }
  }

  for (int i = 0; i < M; ++i)
    for (int j = 0; j < N; ++j)
      pixelSquares[static_cast<std::size_t>(i) * static_cast<std::size_t>(N) + static_cast<std::size_t>(j)] = {
          top[i][j], left[i][j], side[i][j]};
}

}  // namespace dyadfit
