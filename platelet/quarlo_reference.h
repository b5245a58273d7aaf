// quarlo on the literal stages: the reference the fast module is held to.
#pragma once

#include "host/host.h"

namespace dyadfit {

void quarloReference(Inputs in, Outputs& out);

}  // namespace dyadfit
