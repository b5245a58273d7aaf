// SPDX-License-Identifier: BSD-3-Clause
// The costs of many wedgelet splits of one square at once.
#pragma once

#include <memory>

#include "dyadic/split_search.h"

namespace dyadfit {

// A SplitKernel for fitWedgeMeans: several masks run side by side, one per
// vector lane, each with exactly the operations of fitWedgeMeans and
// regionCost in pixel order. Under Poisson the two side values need one
// logarithm each.
std::unique_ptr<SplitKernel> makeWedgeKernel(const MaskSet& masks, bool poisson, SplitFitFn splitFit);

}  // namespace dyadfit
