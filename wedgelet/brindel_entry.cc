#include "wedgelet/brindel_entry.h"

#include "wedgelet/dyadic_entry.h"
#include "wedgelet/grid_utils.h"

namespace dyadfit {

void brindel(Inputs in, Outputs& out) {
  static constexpr EntryModel kModel{blockAverage, kWedgeletModel, 1.0, 2.0};
  runDyadicEntry(kModel, in, out);
}

}  // namespace dyadfit
