// SPDX-License-Identifier: BSD-3-Clause
#include "dyadic/entry_checks.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "dyadic/grid_utils.h"

namespace dyadfit {

bool failsDyadicSideTest(std::size_t n) {
  const double h = std::log(static_cast<double>(n)) / std::log(2.0);
  return h - std::floor(h) > 0;
}

void requireRealImage(const Input& image) {
  if (!image.isRealMatrix()) throw Error(kMsgImageClass);
}

void requireModerateValues(const Input& image) {
  // Only doubles can exceed the bound: single and integer classes stop far below it.
  const double* p = image.doubles();
  if (!p) return;
  if (anyValue(p, image.rows() * image.cols(),
               [](double v) { return std::fabs(v) > kMaxMagnitude && std::isfinite(v); }))
    throw Error(kMsgTooLarge);
}

void copyImage(const Input& image, double* out) {
  const std::size_t count = image.rows() * image.cols();
  if (count == 0) return;
  if (const double* p = image.doubles())
    copyValues(out, p, count);
  else
    image.toDoubles(out);
}

int checkedBlockSide(double value, std::size_t rows, std::size_t cols) {
  if (!std::isfinite(value) || value >= static_cast<double>(INT_MAX) + 1.0 || value < 1.0) throw Error(kMsgBlockSide);
  const int sh = static_cast<int>(value);
  const auto s = static_cast<std::size_t>(sh);
  if (rows % s != 0 || cols % s != 0) throw Error(kMsgBlockSide);
  return sh;
}

}  // namespace dyadfit
