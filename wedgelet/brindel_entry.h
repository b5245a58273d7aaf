// SPDX-License-Identifier: BSD-3-Clause
#pragma once

#include "dyadic/dyadic_entry.h"
#include "dyadic/grid_utils.h"
#include "host/host.h"
#include "wedgelet/wedgelet_stages.h"

namespace dyadfit {

// Block means before the prunings, constants and wedgelets after them.
inline constexpr EntryModel kBrindelModel{blockAverage, kWedgeletModel, 1.0, 2.0};

// brindel(image [, sh, noiseType, penConst, penWedge, lines]): wedgelet estimate.
void brindel(Inputs in, Outputs& out);

// brindel with the candidate squares and the refinement's cuts in `partition`
// (see dyadic/partition.h); the results are those of brindel.
void brindelPartitioned(Inputs in, Outputs& out, Partition& partition);

}  // namespace dyadfit
