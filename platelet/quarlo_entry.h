// SPDX-License-Identifier: BSD-3-Clause
#pragma once

#include "dyadic/dyadic_entry.h"
#include "host/host.h"
#include "platelet/plane_fit.h"
#include "platelet/platelet_stages.h"

namespace dyadfit {

// Block planes before the prunings, planes and platelets after them; the
// penalty defaults weigh three coefficients per plane.
inline constexpr EntryModel kQuarloModel{fitBlockPlanes, kPlateletModel, 3.0, 4.0};

// quarlo(image [, sh, noiseType, penPlane, penPlatelet, lines]): platelet estimate.
void quarlo(Inputs in, Outputs& out);

// quarlo with the candidate squares and the refinement's cuts in `partition`
// (see dyadic/partition.h); the results are those of quarlo.
void quarloPartitioned(Inputs in, Outputs& out, Partition& partition);

}  // namespace dyadfit
