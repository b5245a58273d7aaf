#include "platelet/quarlo_entry.h"

namespace dyadfit {

void quarlo(Inputs in, Outputs& out) { runDyadicEntry(kQuarloModel, in, out); }

}  // namespace dyadfit
