// SPDX-License-Identifier: BSD-3-Clause
// libmex of the test host: the error call ends the plug-in's call by a jump
// back into mexhostCall, and mexCallMATLABWithTrap knows "unique" with
// "rows" (distinct rows in ascending lexicographic order).
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "mex.h"

namespace {

void* gJump[5];
std::string gMessage;
std::string gName;

mxArray* uniqueRows(const mxArray* in) {
  const std::size_t rows = mxGetM(in), cols = mxGetN(in);
  const double* v = mxGetPr(in);
  std::vector<std::size_t> order(rows);
  std::iota(order.begin(), order.end(), std::size_t{0});
  auto less = [&](std::size_t a, std::size_t b) {
    for (std::size_t c = 0; c < cols; ++c) {
      if (v[a + rows * c] < v[b + rows * c]) return true;
      if (v[b + rows * c] < v[a + rows * c]) return false;
    }
    return false;
  };
  std::stable_sort(order.begin(), order.end(), less);
  order.erase(std::unique(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return !less(a, b); }),
              order.end());
  mxArray* out = mxCreateDoubleMatrix(static_cast<mwSize>(order.size()), static_cast<mwSize>(cols), mxREAL);
  double* o = mxGetPr(out);
  for (std::size_t f = 0; f < order.size(); ++f)
    for (std::size_t c = 0; c < cols; ++c) o[f + order.size() * c] = v[order[f] + rows * c];
  return out;
}

}  // namespace

extern "C" {

typedef void (*MexFunction)(int, mxArray*[], int, const mxArray*[]);

void mexhostSetName(const char* name) { gName = name; }

// Runs one call; returns the message of the error call, or null.
const char* mexhostCall(MexFunction fn, int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  if (__builtin_setjmp(gJump) == 0) {
    fn(nlhs, plhs, nrhs, prhs);
    return nullptr;
  }
  return gMessage.c_str();
}

void mexErrMsgTxt(const char* message) {
  gMessage = message;
  __builtin_longjmp(gJump, 1);
}

void mexWarnMsgIdAndTxt(const char* id, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::fprintf(stderr, "warning (%s): ", id);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
}

int mexPrintf(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  const int n = std::vprintf(format, args);
  va_end(args);
  return n;
}

const char* mexFunctionName(void) { return gName.c_str(); }

// A failure comes back as a non-null array, as the host's trapping call does.
mxArray* mexCallMATLABWithTrap(int nlhs, mxArray* plhs[], int nrhs, mxArray* prhs[], const char* name) {
  char option[8] = "";
  if (std::strcmp(name, "unique") == 0 && nlhs == 1 && nrhs == 2 && mxIsDouble(prhs[0]) &&
      mxGetNumberOfDimensions(prhs[0]) == 2 && mxGetString(prhs[1], option, sizeof option) == 0 &&
      std::strcmp(option, "rows") == 0) {
    plhs[0] = uniqueRows(prhs[0]);
    return nullptr;
  }
  return mxCreateString("mexhost: function not available");
}

}  // extern "C"
