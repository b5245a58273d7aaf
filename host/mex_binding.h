// SPDX-License-Identifier: BSD-3-Clause
// MEX binding: runs an entry inside GNU Octave or MATLAB. Include only from
// the gateways; it is the one place besides them that knows the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/standalone.h"
#include "mex.h"

namespace dyadfit {

constexpr std::size_t kMessageCapacity = 512;

// A host array seen as an entry input.
class MexInput final : public Input {
 public:
  explicit MexInput(const mxArray* a) : a_(a) {}
  std::size_t rows() const override { return mxGetM(a_); }
  std::size_t cols() const override { return mxGetN(a_); }
  std::size_t dims() const override { return mxGetNumberOfDimensions(a_); }
  ClassKind kind() const override {
    switch (mxGetClassID(a_)) {
      case mxDOUBLE_CLASS: return ClassKind::Double;
      case mxSINGLE_CLASS: return ClassKind::Single;
      case mxINT8_CLASS:
      case mxUINT8_CLASS:
      case mxINT16_CLASS:
      case mxUINT16_CLASS:
      case mxINT32_CLASS:
      case mxUINT32_CLASS:
      case mxINT64_CLASS:
      case mxUINT64_CLASS: return ClassKind::Integer;
      case mxLOGICAL_CLASS: return ClassKind::Logical;
      case mxCHAR_CLASS: return ClassKind::Char;
      case mxCELL_CLASS: return ClassKind::Cell;
      case mxSTRUCT_CLASS: return ClassKind::Struct;
      default: return ClassKind::Other;
    }
  }
  bool isComplex() const override { return mxIsComplex(a_); }
  bool isSparse() const override { return mxIsSparse(a_); }
  double scalar() const override { return mxGetNumberOfElements(a_) == 0 ? 0.0 : mxGetScalar(a_); }
  const double* doubles() const override {
    return (mxIsDouble(a_) && !mxIsComplex(a_) && !mxIsSparse(a_)) ? mxGetPr(a_) : nullptr;
  }
  void toDoubles(double* out) const override {
    const std::size_t n = mxGetNumberOfElements(a_);
    const void* p = mxGetData(a_);
    switch (mxGetClassID(a_)) {
      case mxDOUBLE_CLASS: convert(static_cast<const double*>(p), n, out); break;
      case mxSINGLE_CLASS: convert(static_cast<const float*>(p), n, out); break;
      case mxINT8_CLASS: convert(static_cast<const std::int8_t*>(p), n, out); break;
      case mxUINT8_CLASS: convert(static_cast<const std::uint8_t*>(p), n, out); break;
      case mxINT16_CLASS: convert(static_cast<const std::int16_t*>(p), n, out); break;
      case mxUINT16_CLASS: convert(static_cast<const std::uint16_t*>(p), n, out); break;
      case mxINT32_CLASS: convert(static_cast<const std::int32_t*>(p), n, out); break;
      case mxUINT32_CLASS: convert(static_cast<const std::uint32_t*>(p), n, out); break;
      case mxINT64_CLASS: convert(static_cast<const std::int64_t*>(p), n, out); break;
      case mxUINT64_CLASS: convert(static_cast<const std::uint64_t*>(p), n, out); break;
      case mxLOGICAL_CLASS: convert(static_cast<const mxLogical*>(p), n, out); break;
      default: throw Error("Input image must be a real numeric matrix.");
    }
  }
  std::string text() const override {
    if (!mxIsChar(a_)) return {};
    std::vector<char> buf(mxGetNumberOfElements(a_) + 1, '\0');
    mxGetString(a_, buf.data(), static_cast<mwSize>(buf.size()));
    return std::string(buf.data());
  }

 private:
  template <class T>
  static void convert(const T* p, std::size_t n, double* out) {
    for (std::size_t k = 0; k < n; ++k) out[k] = static_cast<double>(p[k]);
  }
  const mxArray* a_;
};

// Runs `entry` on the host's arguments. Returns true and fills `message` when
// the call failed; by then every C++ object of the call has been destroyed and
// no result slot is left half-filled, so the caller may raise the host error.
bool runMexEntry(EntryFn entry, int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[],
                 char (&message)[kMessageCapacity]) noexcept;

// Runs `body` as runMexEntry runs an entry: interruptible, every failure
// turned into `message` (returns true) once the body's objects are gone. For
// gateways that build their results themselves.
bool runMexCall(const std::function<void()>& body, char (&message)[kMessageCapacity]) noexcept;

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
