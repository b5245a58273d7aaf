// SPDX-License-Identifier: BSD-3-Clause
#include "platelet/quarlo_reference.h"

#include "dyadic/dyadic_reference.h"
#include "platelet/plane_fit.h"
#include "platelet/platelet_stages.h"
#include "platelet/quarlo_entry.h"

namespace dyadfit {

namespace {

const EntryModel& model() {
  static constexpr SplitModel kLiteralPieces{fitPlaneReference, fitWedgePlanesReference, kPlateletModel.startCost};
  static const EntryModel m = referenceModel(kQuarloModel, kLiteralPieces, fitBlockPlanesReference);
  return m;
}

}  // namespace

void quarloReference(Inputs in, Outputs& out) { runDyadicEntry(model(), in, out); }

void quarloReferencePartitioned(Inputs in, Outputs& out, Partition& partition) {
  runDyadicEntry(model(), in, out, &partition);
}

}  // namespace dyadfit
