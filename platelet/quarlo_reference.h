// SPDX-License-Identifier: BSD-3-Clause
// quarlo on the literal stages: the reference the fast module is held to.
#pragma once

#include "dyadic/partition.h"
#include "host/host.h"

namespace dyadfit {

void quarloReference(Inputs in, Outputs& out);
void quarloReferencePartitioned(Inputs in, Outputs& out, Partition& partition);

}  // namespace dyadfit
