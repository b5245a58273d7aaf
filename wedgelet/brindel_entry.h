#pragma once

#include "host/host.h"
#include "wedgelet/dyadic_entry.h"
#include "wedgelet/grid_utils.h"

namespace dyadfit {

// Block means before the prunings, constants and wedgelets after them.
inline constexpr EntryModel kBrindelModel{blockAverage, kWedgeletModel, 1.0, 2.0};

// brindel(image [, sh, noiseType, penConst, penWedge, lines]): wedgelet estimate.
void brindel(Inputs in, Outputs& out);

}  // namespace dyadfit
