// SPDX-License-Identifier: BSD-3-Clause
#include "host/mex_binding.h"
#include "platelet/quarlo_entry.h"

DYADFIT_MEX_GATEWAY(dyadfit::quarlo)
