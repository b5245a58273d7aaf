// SPDX-License-Identifier: BSD-3-Clause
// The test host: loads a plug-in by path, makes one call of its mexFunction
// with the inputs of a call file, and writes the outcome (the results asked
// to be recorded, or the message of the error call). Fails when the plug-in
// cannot be loaded, leaves a requested result unset or an array alive.
//
//   mexhost PLUGIN CALL OUTCOME
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "mex.h"
#include "windows/case_file.h"

extern "C" {
typedef void (*MexFunction)(int, mxArray*[], int, const mxArray*[]);
long mexhostLiveArrays(void);
void mexhostSetName(const char* name);
const char* mexhostCall(MexFunction fn, int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
}

namespace {

int fail(const char* what, const char* detail) {
  std::fprintf(stderr, "mexhost: %s%s\n", what, detail);
  return 1;
}

mxArray* toArray(const casefile::Matrix& m) {
  if (m.kind == casefile::kChar) {
    std::string s;
    for (double v : m.values) s.push_back(static_cast<char>(v));
    return mxCreateString(s.c_str());
  }
  mxArray* a = mxCreateDoubleMatrix(static_cast<mwSize>(m.rows), static_cast<mwSize>(m.cols), mxREAL);
  if (!m.values.empty()) std::memcpy(mxGetPr(a), m.values.data(), m.values.size() * sizeof(double));
  return a;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return fail("usage: mexhost PLUGIN CALL OUTCOME", "");
  casefile::Call call;
  if (!casefile::readCall(argv[2], call)) return fail("cannot read ", argv[2]);
  HMODULE plugin = LoadLibraryA(argv[1]);
  if (!plugin) return fail("cannot load ", argv[1]);
  auto fn = reinterpret_cast<MexFunction>(reinterpret_cast<void*>(GetProcAddress(plugin, "mexFunction")));
  if (!fn) return fail("no mexFunction in ", argv[1]);
  // The host names the call after the file, without folder or extension.
  std::string name = argv[1];
  name = name.substr(name.find_last_of("/\\") + 1);
  name = name.substr(0, name.find('.'));
  mexhostSetName(name.c_str());

  std::vector<const mxArray*> prhs;
  for (const casefile::Matrix& m : call.inputs) prhs.push_back(toArray(m));
  const int slots = call.nlhs > 1 ? call.nlhs : 1;
  std::vector<mxArray*> plhs(static_cast<std::size_t>(slots), nullptr);
  const char* message = mexhostCall(fn, call.nlhs, plhs.data(), static_cast<int>(prhs.size()), prhs.data());

  casefile::Outcome outcome;
  int status = 0;
  if (message) {
    outcome.failed = true;
    outcome.message = message;
  } else {
    for (int k = 0; k < slots; ++k) {
      casefile::Matrix m{casefile::kOmitted, 0, 0, {}};
      const mxArray* a = plhs[static_cast<std::size_t>(k)];
      if (call.keep & (1u << k)) {
        if (!a) {
          std::fprintf(stderr, "mexhost: result %d not set\n", k + 1);
          status = 1;
          continue;
        }
        m.kind = mxIsDouble(a) ? casefile::kDouble : casefile::kOtherClass;
        m.rows = static_cast<int>(mxGetM(a));
        m.cols = static_cast<int>(mxGetN(a));
        if (m.kind == casefile::kDouble) m.values.assign(mxGetPr(a), mxGetPr(a) + mxGetNumberOfElements(a));
      }
      outcome.results.push_back(m);
    }
  }
  for (mxArray* a : plhs) mxDestroyArray(a);
  for (const mxArray* a : prhs) mxDestroyArray(const_cast<mxArray*>(a));
  if (const long live = mexhostLiveArrays(); live != 0) {
    std::fprintf(stderr, "mexhost: %ld arrays left alive by the call\n", live);
    status = 1;
  }
  FreeLibrary(plugin);
  if (!casefile::writeOutcome(argv[3], outcome)) return fail("cannot write ", argv[3]);
  return status;
}
