#pragma once

#include "host/host.h"

namespace dyadfit {

// brindel(image [, sh, noiseType, penConst, penWedge, lines]): wedgelet estimate.
void brindel(Inputs in, Outputs& out);

}  // namespace dyadfit
