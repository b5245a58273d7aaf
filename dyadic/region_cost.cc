// SPDX-License-Identifier: BSD-3-Clause
#include "dyadic/region_cost.h"

#include <cmath>

#include "host/host.h"

namespace dyadfit {

double regionCost(const Grid& data, const Grid& model, int rows, int cols, std::string_view noiseType) {
  double sum = 0.0;
  if (noiseType == kPoisson) {
    for (int i = 0; i < rows; ++i)
      for (int j = 0; j < cols; ++j) {
        const double lambda = model[i][j];
        const double x = data[i][j];
        if (lambda == 0.0 && x == 0.0) continue;
        sum = (sum + lambda) - x * std::log(lambda);
      }
  } else if (noiseType == kGaussian) {
    for (int i = 0; i < rows; ++i)
      for (int j = 0; j < cols; ++j) {
        const double d = model[i][j] - data[i][j];
        sum += d * d;
      }
  } else {
    throw Error(kMsgNoiseName);
  }
  return sum;
}

}  // namespace dyadfit
