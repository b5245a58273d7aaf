// SPDX-License-Identifier: BSD-3-Clause
// libmx of the test host: real column-major arrays of double, char (16-bit
// codes) and logical, enough for the plug-ins' calls. Counts live arrays so
// that the host can tell a call that leaves one behind.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mex.h"

struct mxArray_tag {
  mxClassID cls = mxDOUBLE_CLASS;
  std::vector<mwSize> dims;
  std::vector<unsigned char> data;
  std::size_t elementSize = sizeof(double);
};

namespace {

long gLive = 0;

std::size_t count(const std::vector<mwSize>& dims) {
  std::size_t n = 1;
  for (mwSize d : dims) n *= static_cast<std::size_t>(d);
  return n;
}

std::size_t sizeOf(mxClassID cls) {
  switch (cls) {
    case mxCHAR_CLASS:
    case mxINT16_CLASS:
    case mxUINT16_CLASS: return 2;
    case mxLOGICAL_CLASS:
    case mxINT8_CLASS:
    case mxUINT8_CLASS: return 1;
    case mxSINGLE_CLASS:
    case mxINT32_CLASS:
    case mxUINT32_CLASS: return 4;
    default: return 8;
  }
}

mxArray* make(mxClassID cls, std::vector<mwSize> dims) {
  while (dims.size() > 2 && dims.back() == 1) dims.pop_back();
  mxArray* a = new mxArray_tag;
  a->cls = cls;
  a->dims = std::move(dims);
  a->elementSize = sizeOf(cls);
  a->data.assign(count(a->dims) * a->elementSize, 0);  // zero-filled, as the host's are
  ++gLive;
  return a;
}

}  // namespace

extern "C" {

long mexhostLiveArrays(void) { return gLive; }

void* mxCalloc(size_t n, size_t size) { return std::calloc(n ? n : 1, size ? size : 1); }
void mxFree(void* p) { std::free(p); }

size_t mxGetM(const mxArray* a) { return static_cast<size_t>(a->dims[0]); }
size_t mxGetN(const mxArray* a) {
  size_t n = 1;
  for (std::size_t k = 1; k < a->dims.size(); ++k) n *= static_cast<size_t>(a->dims[k]);
  return n;
}
size_t mxGetNumberOfElements(const mxArray* a) { return count(a->dims); }
mwSize mxGetNumberOfDimensions(const mxArray* a) { return static_cast<mwSize>(a->dims.size()); }
const mwSize* mxGetDimensions(const mxArray* a) { return a->dims.data(); }
int mxSetDimensions(mxArray* a, const mwSize* dims, mwSize ndim) {
  std::vector<mwSize> d(dims, dims + ndim);
  if (count(d) != count(a->dims)) return 1;
  a->dims = d;
  return 0;
}
mxClassID mxGetClassID(const mxArray* a) { return a->cls; }
bool mxIsDouble(const mxArray* a) { return a->cls == mxDOUBLE_CLASS; }
bool mxIsChar(const mxArray* a) { return a->cls == mxCHAR_CLASS; }
bool mxIsComplex(const mxArray*) { return false; }
bool mxIsSparse(const mxArray*) { return false; }
bool mxIsNumeric(const mxArray* a) { return a->cls >= mxDOUBLE_CLASS && a->cls <= mxUINT64_CLASS; }
bool mxIsLogicalScalarTrue(const mxArray* a) {
  return a->cls == mxLOGICAL_CLASS && count(a->dims) == 1 && a->data[0] != 0;
}
double mxGetScalar(const mxArray* a) {
  if (a->data.empty()) return 0.0;
  switch (a->cls) {
    case mxDOUBLE_CLASS: {
      double v;
      std::memcpy(&v, a->data.data(), sizeof v);
      return v;
    }
    case mxCHAR_CLASS: {
      std::uint16_t c;
      std::memcpy(&c, a->data.data(), sizeof c);
      return c;
    }
    case mxLOGICAL_CLASS: return a->data[0];
    default: return 0.0;
  }
}
double* mxGetPr(const mxArray* a) {
  return const_cast<double*>(reinterpret_cast<const double*>(a->data.data()));
}
void* mxGetData(const mxArray* a) { return const_cast<unsigned char*>(a->data.data()); }
mxLogical* mxGetLogicals(const mxArray* a) {
  return a->cls == mxLOGICAL_CLASS ? reinterpret_cast<mxLogical*>(const_cast<unsigned char*>(a->data.data())) : nullptr;
}
// The characters and a terminating NUL; 1 when they do not fit, as the host does.
int mxGetString(const mxArray* a, char* buf, mwSize buflen) {
  if (a->cls != mxCHAR_CLASS || buflen <= 0) return 1;
  const std::size_t n = count(a->dims);
  const std::size_t room = static_cast<std::size_t>(buflen) - 1;
  const std::size_t copied = n < room ? n : room;
  for (std::size_t k = 0; k < copied; ++k) {
    std::uint16_t c;
    std::memcpy(&c, a->data.data() + 2 * k, sizeof c);
    buf[k] = static_cast<char>(c);
  }
  buf[copied] = '\0';
  return copied == n ? 0 : 1;
}

mxArray* mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity) { return make(mxDOUBLE_CLASS, {m, n}); }
mxArray* mxCreateDoubleScalar(double value) {
  mxArray* a = make(mxDOUBLE_CLASS, {1, 1});
  std::memcpy(a->data.data(), &value, sizeof value);
  return a;
}
mxArray* mxCreateNumericArray(mwSize ndim, const mwSize* dims, mxClassID classid, mxComplexity) {
  return make(classid, std::vector<mwSize>(dims, dims + ndim));
}
mxArray* mxCreateLogicalMatrix(mwSize m, mwSize n) { return make(mxLOGICAL_CLASS, {m, n}); }
mxArray* mxCreateLogicalArray(mwSize ndim, const mwSize* dims) {
  return make(mxLOGICAL_CLASS, std::vector<mwSize>(dims, dims + ndim));
}
mxArray* mxCreateLogicalScalar(bool value) {
  mxArray* a = make(mxLOGICAL_CLASS, {1, 1});
  a->data[0] = value ? 1 : 0;
  return a;
}
mxArray* mxCreateString(const char* str) {
  const std::size_t n = std::strlen(str);
  mxArray* a = make(mxCHAR_CLASS, {static_cast<mwSize>(n ? 1 : 0), static_cast<mwSize>(n)});
  for (std::size_t k = 0; k < n; ++k) {
    const std::uint16_t c = static_cast<unsigned char>(str[k]);
    std::memcpy(a->data.data() + 2 * k, &c, sizeof c);
  }
  return a;
}
// Structs are not needed by the plug-ins the host runs.
mxArray* mxCreateStructMatrix(mwSize, mwSize, int, const char**) { return nullptr; }
void mxSetField(mxArray*, mwIndex, const char*, mxArray* value) { mxDestroyArray(value); }
void mxDestroyArray(mxArray* a) {
  if (!a) return;
  --gLive;
  delete a;
}

}  // extern "C"
