#include "dyadic/grid_utils.h"

#include <cmath>

namespace dyadfit {

int floorMod(int a, int b) {
  const double q = static_cast<double>(a) / static_cast<double>(b);
  return static_cast<int>((q - std::floor(q)) * b);
}

void blockAverage(int s, const Grid& src, Grid& dst, int M, int N) {
  for (int r0 = 0; r0 < M; r0 += s) {
    for (int c0 = 0; c0 < N; c0 += s) {
      double sum = 0.0;
      for (int u = 0; u < s; ++u)
        for (int v = 0; v < s; ++v) sum += src[r0 + u][c0 + v];
      const double mean = (sum / s) / s;
      for (int u = 0; u < s; ++u)
        for (int v = 0; v < s; ++v) dst[r0 + u][c0 + v] = mean;
    }
  }
}

void cyclicShift(const Grid& src, Grid& dst, int offset, int M, int N) {
  for (int i = 0; i < M; ++i) {
    const double* from = src[floorMod(i - offset, M)];
    double* to = dst[i];
    for (int j = 0; j < N; ++j) to[j] = from[floorMod(j - offset, N)];
  }
}

void copyDoubles(double* dst, const double* src, long count) {
  for (long k = 0; k < count; ++k) dst[k] = src[k];
}

}  // namespace dyadfit
