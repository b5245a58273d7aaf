#include "platelet/quarlo_reference.h"

#include "dyadic/dyadic_reference.h"
#include "platelet/plane_fit.h"
#include "platelet/platelet_stages.h"
#include "platelet/quarlo_entry.h"

namespace dyadfit {

void quarloReference(Inputs in, Outputs& out) {
  static constexpr SplitModel kLiteralPieces{fitPlaneReference, fitWedgePlanesReference, kPlateletModel.startCost};
  static const EntryModel model = referenceModel(kQuarloModel, kLiteralPieces, fitBlockPlanesReference);
  runDyadicEntry(model, in, out);
}

}  // namespace dyadfit
