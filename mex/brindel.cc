// SPDX-License-Identifier: BSD-3-Clause
#include "host/mex_binding.h"
#include "wedgelet/brindel_entry.h"

DYADFIT_MEX_GATEWAY(dyadfit::brindel)
