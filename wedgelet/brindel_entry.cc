#include "wedgelet/brindel_entry.h"

namespace dyadfit {

void brindel(Inputs in, Outputs& out) { runDyadicEntry(kBrindelModel, in, out); }

}  // namespace dyadfit
