// SPDX-License-Identifier: BSD-3-Clause
#include "wedgelet/brindel_entry.h"

namespace dyadfit {

void brindel(Inputs in, Outputs& out) { runDyadicEntry(kBrindelModel, in, out); }

void brindelPartitioned(Inputs in, Outputs& out, Partition& partition) {
  runDyadicEntry(kBrindelModel, in, out, &partition);
}

}  // namespace dyadfit
