// SPDX-License-Identifier: BSD-3-Clause
// Small operations on Grids and flat arrays used around the prunings.
#pragma once

#include <cstddef>

#include "dyadic/grid.h"

namespace dyadfit {

// a mod b with a result in [0, b), for b > 0.
int floorMod(int a, int b);

// Replaces every aligned s x s block of src by its mean, written to dst
// (which may be src). s must be at least 1 and divide M and N.
void blockAverage(int s, const Grid& src, Grid& dst, int M, int N);

// dst[i][j] = src[(i - offset) mod M][(j - offset) mod N]: the content moves
// by +offset along both indices.
void cyclicShift(const Grid& src, Grid& dst, int offset, int M, int N);

void copyDoubles(double* dst, const double* src, long count);

// copyDoubles for large arrays, in ranges on the threads.
void copyValues(double* dst, const double* src, std::size_t count);

}  // namespace dyadfit
