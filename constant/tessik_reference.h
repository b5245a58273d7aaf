// SPDX-License-Identifier: BSD-3-Clause
// tessik on the literal stages: the reference the fast module is held to.
#pragma once

#include "dyadic/partition.h"
#include "host/host.h"

namespace dyadfit {

void tessikReference(Inputs in, Outputs& out);
void tessikReferencePartitioned(Inputs in, Outputs& out, Partition& partition);

// The literal constant pruning: copies the column-major image into a Grid,
// runs pruneDyadicReference with the block mean, then writes the estimate and
// adds the labels into the outputs as pruneConstant describes.
void pruneConstantReference(const double* preAveraged, int M, int N, double pen, double* labelsOut, double* estimateOut,
                            double* squaresOut);

}  // namespace dyadfit
