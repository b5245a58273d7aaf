// The costs of many platelet splits of one square at once.
#pragma once

#include <memory>

#include "dyadic/split_search.h"

namespace dyadfit {

// A SplitKernel for fitWedgePlanes: the design of each distinct mask is
// factored once per set; per square and mask the block goes through that
// factorization (dormqr, dtrtrs, dgemv, as dgels would solve it) and its cost
// is summed as regionCost sums it, in pixel order. Squares of fewer than six
// pixels, blocks that dgels would scale, and masks past a memory budget take
// `splitFit` and regionCost instead.
std::unique_ptr<SplitKernel> makePlateletKernel(const MaskSet& masks, bool poisson, SplitFitFn splitFit);

}  // namespace dyadfit
