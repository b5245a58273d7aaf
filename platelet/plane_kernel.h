// SPDX-License-Identifier: BSD-3-Clause
// The costs of many platelet splits of one square at once.
#pragma once

#include <memory>
#include <vector>

#include "dyadic/split_search.h"

namespace dyadfit {

// A SplitKernel for fitWedgePlanes. The design of each distinct mask is
// factored once per set, by dgeqrf as dgels would factor it; per square, four
// masks at a time, one per vector lane, run the reference LAPACK and BLAS
// arithmetic that dgels and dgemv would run on the block, and sum the cost as
// regionCost sums it, in pixel order. A rank-deficient mask (a zero or
// rounding-level pivot in R) runs the literal fit's minimum-norm solve and dgemv. A mask whose lanes
// do not give the literal fit's bits on probe blocks uses its factorization
// through LAPACK itself, or the literal fit; so do squares of fewer than six
// pixels, blocks that dgels would scale or that hold NaN or Inf, and masks
// past a memory budget.
std::unique_ptr<SplitKernel> makePlateletKernel(const MaskSet& masks, bool poisson, SplitFitFn splitFit);

// Which masks of the set the kernel's lanes serve with the LAPACK and BLAS in
// use: the others cost more, never differently. For tests and diagnostics.
std::vector<bool> plateletLaneMasks(const MaskSet& masks);

}  // namespace dyadfit
