// MEX binding: runs an entry inside GNU Octave or MATLAB. Include only from
// the gateways; it is the one place besides them that knows the host.
#pragma once

#include <cstddef>

#include "host/standalone.h"
#include "mex.h"

namespace dyadfit {

constexpr std::size_t kMessageCapacity = 512;

// Runs `entry` on the host's arguments. Returns true and fills `message` when
// the call failed; by then every C++ object of the call has been destroyed and
// no result slot is left half-filled, so the caller may raise the host error.
bool runMexEntry(EntryFn entry, int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[],
                 char (&message)[kMessageCapacity]) noexcept;

// Raises the host error for a failed runMexEntry; does not return. When Octave
// itself began to exit during the call (SIGTERM), that exit goes on instead.
void raiseMexError(const char* message);

}  // namespace dyadfit

// The whole gateway of a module: one line per module.
#define DYADFIT_MEX_GATEWAY(entryFunction)                                                                     \
  void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {                               \
    char message[dyadfit::kMessageCapacity];                                                                   \
    if (dyadfit::runMexEntry(entryFunction, nlhs, plhs, nrhs, prhs, message)) dyadfit::raiseMexError(message); \
  }
