// SPDX-License-Identifier: BSD-3-Clause
// brindel on the literal stages: the reference the fast module is held to.
#pragma once

#include "dyadic/partition.h"
#include "host/host.h"

namespace dyadfit {

void brindelReference(Inputs in, Outputs& out);
void brindelReferencePartitioned(Inputs in, Outputs& out, Partition& partition);

}  // namespace dyadfit
