#pragma once

#include "host/host.h"

namespace dyadfit {

// quarlo(image [, sh, noiseType, penPlane, penPlatelet, lines]): platelet estimate.
void quarlo(Inputs in, Outputs& out);

}  // namespace dyadfit
