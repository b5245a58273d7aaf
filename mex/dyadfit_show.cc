// SPDX-License-Identifier: BSD-3-Clause
#include <string>

#include "draw/draw_partition.h"
#include "draw/show_entry.h"
#include "host/mex_binding.h"

namespace {

constexpr const char* kNoDisplay =
    "no display here; ask for the picture, rgb = dyadfit_show(...), and save it with imwrite.";

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

void callWithText(const char* function, const char* text) {
  mxArray* arg = mxCreateString(text);
  mexCallMATLABWithTrap(0, nullptr, 1, &arg, function);
  mxDestroyArray(arg);
}

// Shows the picture in the current figure, the legend as its title; a
// failure of the host's graphics leaves the call quiet.
void display(mxArray* picture, const std::string& legend) {
  if (mexCallMATLABWithTrap(0, nullptr, 1, &picture, "image")) return;
  callWithText("axis", "image");
  callWithText("axis", "off");
  callWithText("title", legend.c_str());
}

// The entry's R x 3C result holds the three colour planes one after another.
void toColourPicture(mxArray* picture) {
  const mwSize dims[3] = {static_cast<mwSize>(mxGetM(picture)), static_cast<mwSize>(mxGetN(picture) / 3), 3};
  mxSetDimensions(picture, dims, 3);
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  char message[dyadfit::kMessageCapacity];
  if (nlhs > 0) {
    if (dyadfit::runMexEntry(dyadfit::dyadfitShow, nlhs, plhs, nrhs, prhs, message)) dyadfit::raiseMexError(message);
    toColourPicture(plhs[0]);
    return;
  }
  mxArray* results[2] = {nullptr, nullptr};
  if (dyadfit::runMexEntry(dyadfit::dyadfitShowCounted, 2, results, nrhs, prhs, message))
    dyadfit::raiseMexError(message);
  toColourPicture(results[0]);
  const double* counts = mxGetPr(results[1]);
  const std::string legend = dyadfit::partitionLegend(static_cast<std::size_t>(counts[0]),
                                                      static_cast<std::size_t>(counts[1]), dyadfit::DrawOptions{});
  mxDestroyArray(results[1]);
  const bool shown = canDisplay();
  if (shown) display(results[0], legend);
  mxDestroyArray(results[0]);
  // Last: a warning turned into an error leaves nothing behind.
  if (!shown) mexWarnMsgIdAndTxt("dyadfit:show:noDisplay", "%s", kNoDisplay);
}
