// SPDX-License-Identifier: BSD-3-Clause
#include "platelet/quarlo_entry.h"

namespace dyadfit {

void quarlo(Inputs in, Outputs& out) { runDyadicEntry(kQuarloModel, in, out); }

void quarloPartitioned(Inputs in, Outputs& out, Partition& partition) {
  runDyadicEntry(kQuarloModel, in, out, &partition);
}

}  // namespace dyadfit
