#include "platelet/quarlo_entry.h"

#include "platelet/plane_fit.h"
#include "platelet/platelet_stages.h"
#include "wedgelet/dyadic_entry.h"

namespace dyadfit {

void quarlo(Inputs in, Outputs& out) {
  static constexpr EntryModel kModel{fitBlockPlanes, kPlateletModel, 3.0, 4.0};
  runDyadicEntry(kModel, in, out);
}

}  // namespace dyadfit
