// SPDX-License-Identifier: BSD-3-Clause
// Test module: Octave's interrupt state as the MEX binding sees it.
//   interrupt_probe('pending')  marks a Ctrl-C as pending, as if pressed just
//                               before the next module call polls for it;
//   interrupt_probe('unique')   runs, through the binding, an entry that only
//                               asks the host for distinct rows while a Ctrl-C
//                               is pending, so Octave's own unique notices it;
//   s = interrupt_probe('state') returns octave_interrupt_state.
#include <octave/quit.h>

#include <cstring>

#include "host/mex_binding.h"

namespace {

void distinctRowsOnly(dyadfit::Inputs, dyadfit::Outputs& outs) {
  const double rows[] = {1, 0, 1, 2, 0, 2};
  outs.distinctRows(0, rows, 3, 2);
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  char mode[16] = "";
  if (nrhs != 1 || !mxIsChar(prhs[0]) || mxGetString(prhs[0], mode, sizeof mode) != 0)
    mexErrMsgTxt("Input must be 'pending', 'unique' or 'state'.");
  if (std::strcmp(mode, "pending") == 0) {
    octave_interrupt_state = 1;
  } else if (std::strcmp(mode, "unique") == 0) {
    octave_interrupt_state = 1;
    octave_signal_caught = 1;
    char message[dyadfit::kMessageCapacity];
    if (dyadfit::runMexEntry(distinctRowsOnly, nlhs, plhs, 0, prhs, message)) mexErrMsgTxt(message);
  } else if (std::strcmp(mode, "state") == 0) {
    plhs[0] = mxCreateDoubleScalar(octave_interrupt_state);
  } else {
    mexErrMsgTxt("Input must be 'pending', 'unique' or 'state'.");
  }
}
