// SPDX-License-Identifier: BSD-3-Clause
#include "constant/tessik_entry.h"
#include "host/mex_binding.h"

DYADFIT_MEX_GATEWAY(dyadfit::tessik)
