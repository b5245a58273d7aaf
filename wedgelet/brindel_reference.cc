#include "wedgelet/brindel_reference.h"

#include "dyadic/dyadic_reference.h"
#include "wedgelet/brindel_entry.h"

namespace dyadfit {

void brindelReference(Inputs in, Outputs& out) {
  static const EntryModel model = referenceModel(kBrindelModel, kWedgeletModel, blockAverage);
  runDyadicEntry(model, in, out);
}

}  // namespace dyadfit
