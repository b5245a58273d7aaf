// SPDX-License-Identifier: BSD-3-Clause
// Test module: native_unique_rows(X) returns the distinct rows of the real
// double matrix X in ascending lexicographic order, as the standalone binding
// computes them, so the host's unique(X, 'rows') can be held against it.
#include <algorithm>
#include <cstddef>
#include <vector>

#include "host/standalone.h"
#include "mex.h"

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  (void)nlhs;
  if (nrhs != 1 || !mxIsDouble(prhs[0]) || mxIsComplex(prhs[0]) || mxIsSparse(prhs[0]) ||
      mxGetNumberOfDimensions(prhs[0]) != 2)
    mexErrMsgTxt("Input must be one real double matrix.");
  const std::size_t rows = mxGetM(prhs[0]), cols = mxGetN(prhs[0]);
  std::size_t distinct = 0;
  mxArray* result = nullptr;
  {
    const std::vector<double> out = dyadfit::distinctSortedRows(mxGetPr(prhs[0]), rows, cols, &distinct);
    result = mxCreateDoubleMatrix(distinct, cols, mxREAL);
    std::copy(out.begin(), out.end(), mxGetPr(result));
  }
  plhs[0] = result;
}
