#include "draw/show_entry.h"
#include "host/mex_binding.h"

namespace {

// True when the host can open a figure. octave-cli without a display has no
// graphics toolkit, and trying to make a figure there is an error.
bool canDisplay() {
#if defined(DYADFIT_HOST_OCTAVE)
  mxArray* answer = nullptr;
  if (mexCallMATLABWithTrap(1, &answer, 0, nullptr, "have_window_system") || !answer) return false;
  const bool windows = mxIsLogicalScalarTrue(answer) || (mxIsNumeric(answer) && mxGetScalar(answer) != 0);
  mxDestroyArray(answer);
  if (!windows) return false;
  answer = nullptr;
  if (mexCallMATLABWithTrap(1, &answer, 0, nullptr, "available_graphics_toolkits") || !answer) return false;
  const bool toolkits = mxGetNumberOfElements(answer) > 0;
  mxDestroyArray(answer);
  return toolkits;
#else
  return true;
#endif
}

// Shows the picture in the current figure; any failure of the host's
// graphics leaves the call quiet.
void display(mxArray* picture) {
  if (!canDisplay()) return;
  if (mexCallMATLABWithTrap(0, nullptr, 1, &picture, "image")) return;
  mxArray* arg = mxCreateString("image");
  mexCallMATLABWithTrap(0, nullptr, 1, &arg, "axis");
  mxDestroyArray(arg);
  arg = mxCreateString("off");
  mexCallMATLABWithTrap(0, nullptr, 1, &arg, "axis");
  mxDestroyArray(arg);
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  char message[dyadfit::kMessageCapacity];
  if (dyadfit::runMexEntry(dyadfit::dyadfitShow, nlhs, plhs, nrhs, prhs, message)) dyadfit::raiseMexError(message);
  // The entry's R x 3C result holds the three colour planes one after another.
  mxArray* picture = plhs[0];
  const mwSize dims[3] = {static_cast<mwSize>(mxGetM(picture)), static_cast<mwSize>(mxGetN(picture) / 3), 3};
  mxSetDimensions(picture, dims, 3);
  if (nlhs == 0) {
    display(picture);
    mxDestroyArray(picture);
    plhs[0] = nullptr;
  }
}
