#include "platelet/quarlo_reference.h"

#include "dyadic/dyadic_reference.h"
#include "platelet/quarlo_entry.h"

namespace dyadfit {

void quarloReference(Inputs in, Outputs& out) {
  static const EntryModel model = referenceModel(kQuarloModel, kPlateletModel, fitBlockPlanes);
  runDyadicEntry(model, in, out);
}

}  // namespace dyadfit
