// SPDX-License-Identifier: BSD-3-Clause
#include "wedgelet/brindel_reference.h"

#include "dyadic/dyadic_reference.h"
#include "wedgelet/brindel_entry.h"

namespace dyadfit {

namespace {

const EntryModel& model() {
  static const EntryModel m = referenceModel(kBrindelModel, kWedgeletModel, blockAverage);
  return m;
}

}  // namespace

void brindelReference(Inputs in, Outputs& out) { runDyadicEntry(model(), in, out); }

void brindelReferencePartitioned(Inputs in, Outputs& out, Partition& partition) {
  runDyadicEntry(model(), in, out, &partition);
}

}  // namespace dyadfit
