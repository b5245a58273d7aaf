// SPDX-License-Identifier: BSD-3-Clause
// Test module: one of the modules on its literal stages (tessik_reference,
// brindel_reference, quarlo_reference), so that Octave tests can hold the
// fast modules to them on the host's own inputs.
#include "constant/tessik_reference.h"
#include "host/mex_binding.h"
#include "platelet/quarlo_reference.h"
#include "wedgelet/brindel_reference.h"

DYADFIT_MEX_GATEWAY(DYADFIT_REFERENCE_ENTRY)
