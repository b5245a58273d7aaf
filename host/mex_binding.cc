// SPDX-License-Identifier: BSD-3-Clause
#include "host/mex_binding.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "dyadic/parallel.h"

#if defined(DYADFIT_HOST_OCTAVE)
#include <octave/quit.h>

#include <csignal>
#elif defined(MATLAB_MEX_FILE)
// Undocumented but long-standing in libut: true once the user pressed Ctrl-C.
extern "C" bool utIsInterruptPending(void);
#endif

namespace dyadfit {
namespace {

#if defined(DYADFIT_HOST_OCTAVE)
// An exception of Octave's own that must go on once the call is unwound.
thread_local std::exception_ptr tHostException;

// Octave's signal handler counts Ctrl-C presses here (> 0: pending, < 0:
// being handled); another thread may write it, so read it afresh each time.
bool interruptStatePending() { return *static_cast<volatile std::sig_atomic_t*>(&octave_interrupt_state) > 0; }

// Other signals get Octave's own response, as in its built-in loops: SIGCHLD
// is handled and the call goes on; SIGTERM or SIGHUP throw Octave's exit
// through the call.
bool hostInterruptPending() {
  if (interruptStatePending()) return true;
  octave_quit();
  return false;
}

// The call turns the pending interrupt into its own error: left pending, it
// would also abort the statement after the one that catches that error.
void consumeHostInterrupt() {
  if (interruptStatePending()) octave_interrupt_state = 0;
}
#elif defined(MATLAB_MEX_FILE)
bool hostInterruptPending() { return utIsInterruptPending(); }
void consumeHostInterrupt() {}
#else
constexpr InterruptPoll hostInterruptPending = nullptr;
void consumeHostInterrupt() {}
#endif

class MexOutputs final : public Outputs {
 public:
  MexOutputs(int nlhs, mxArray* plhs[]) : kept_(std::max(nlhs, 1)), plhs_(plhs) {}
  MexOutputs(const MexOutputs&) = delete;
  MexOutputs& operator=(const MexOutputs&) = delete;
  ~MexOutputs() override {
    for (mxArray* a : scratch_) mxDestroyArray(a);
    if (!committed_)
      for (int k = 0; k < kept_; ++k)
        if (plhs_[k]) {
          mxDestroyArray(plhs_[k]);
          plhs_[k] = nullptr;
        }
  }

  double* create(int slot, std::size_t rows, std::size_t cols) override {
    // Only large results: a call into the interpreter costs more than
    // copying a small array.
    mxArray* a = slot < kept_ && rows * cols >= (std::size_t{1} << 16) ? hostZeros(rows, cols) : nullptr;
    if (!a) a = mxCreateDoubleMatrix(rows, cols, mxREAL);
    place(slot, a);
    return mxGetPr(a);
  }

  MatrixView distinctRows(int slot, const double* data, std::size_t rows, std::size_t cols) override {
    mxArray* in[2] = {mxCreateDoubleMatrix(rows, cols, mxREAL), mxCreateString("rows")};
    scratch_.push_back(in[0]);
    scratch_.push_back(in[1]);
    if (rows * cols > 0) std::memcpy(mxGetPr(in[0]), data, rows * cols * sizeof(double));
    mxArray* out[1] = {nullptr};
    // The trapping call hands a failure back instead of unwinding through
    // this frame past the destructors of the call.
    if (mxArray* failure = mexCallMATLABWithTrap(1, out, 2, in, "unique")) {
      scratch_.push_back(failure);
      throw Error("The host function unique failed.");
    }
    // Only a real full double matrix has rows x cols values behind mxGetPr.
    if (!out[0] || !mxIsDouble(out[0]) || mxIsComplex(out[0]) || mxIsSparse(out[0]) ||
        mxGetNumberOfDimensions(out[0]) != 2 || mxGetN(out[0]) != cols)
      throw Error("The host function unique returned an unexpected result.");
    place(slot, out[0]);
    return {mxGetPr(out[0]), mxGetM(out[0]), mxGetN(out[0])};
  }

  int requested() const override { return kept_; }

  void commit() { committed_ = true; }

 private:
#if defined(DYADFIT_HOST_OCTAVE)
  // Octave copies an array made by mxCreateDoubleMatrix when it takes it
  // over as a result, but keeps one of its own as it is: a result made by its
  // builtin zeros costs the image once instead of twice. Anything but a
  // fresh real double matrix of that size is left, for the usual array.
  mxArray* hostZeros(std::size_t rows, std::size_t cols) {
    mxArray* in[3] = {mxCreateString("zeros"), mxCreateDoubleScalar(static_cast<double>(rows)),
                      mxCreateDoubleScalar(static_cast<double>(cols))};
    mxArray* out[1] = {nullptr};
    mxArray* failure = nullptr;
    bool tooLarge = false;
    try {
      failure = mexCallMATLABWithTrap(1, out, 3, in, "builtin");
    } catch (const std::bad_alloc&) {
      tooLarge = true;  // the usual array then fails with Octave's own message
    }
    for (mxArray* a : in) mxDestroyArray(a);
    if (failure) mxDestroyArray(failure);
    if (tooLarge || failure) return nullptr;
    mxArray* a = out[0];
    if (a && mxIsDouble(a) && !mxIsComplex(a) && !mxIsSparse(a) && mxGetNumberOfDimensions(a) == 2 &&
        mxGetM(a) == rows && mxGetN(a) == cols && (rows * cols == 0 || mxGetPr(a)))
      return a;
    if (a) mxDestroyArray(a);
    return nullptr;
  }
#else
  mxArray* hostZeros(std::size_t, std::size_t) { return nullptr; }
#endif

  void place(int slot, mxArray* a) {
    if (slot < kept_) {
      if (plhs_[slot]) mxDestroyArray(plhs_[slot]);
      plhs_[slot] = a;
    } else {
      scratch_.push_back(a);
    }
  }

  int kept_;
  mxArray** plhs_;
  std::vector<mxArray*> scratch_;
  bool committed_ = false;
};

void copyMessage(const char* text, char (&message)[kMessageCapacity]) {
  std::strncpy(message, text, kMessageCapacity - 1);
  message[kMessageCapacity - 1] = '\0';
}

// A message of the host's own (a failed allocation, say) may already begin
// with the module's name, which the host's error call adds once more.
void copyHostMessage(const char* text, char (&message)[kMessageCapacity]) {
  const char* name = mexFunctionName();
  const std::size_t n = name ? std::strlen(name) : 0;
  if (n > 0 && std::strncmp(text, name, n) == 0 && text[n] == ':' && text[n + 1] == ' ') text += n + 2;
  copyMessage(text, message);
}

}  // namespace

bool runMexCall(const std::function<void()>& body, char (&message)[kMessageCapacity]) noexcept {
  try {
    InterruptScope interruptible(hostInterruptPending);
    body();
    return false;
  } catch (const Error& e) {
    if (std::strcmp(e.what(), kMsgInterrupted) == 0) consumeHostInterrupt();
    copyMessage(e.what(), message);
#if defined(DYADFIT_HOST_OCTAVE)
  } catch (const octave::interrupt_exception&) {
    // Ctrl-C noticed by Octave itself while it ran unique for the call; it
    // marked the interrupt as being handled (< 0), which would swallow the
    // next Ctrl-C unless cleared here, where the exception ends.
    octave_interrupt_state = 0;
    copyMessage(kMsgInterrupted, message);
  } catch (const octave::exit_exception&) {
    tHostException = std::current_exception();
    copyMessage("Octave is exiting.", message);
#endif
  } catch (const std::bad_alloc&) {
    copyMessage("Out of memory.", message);
  } catch (const std::exception& e) {
    copyHostMessage(e.what(), message);
  } catch (...) {
    copyMessage("Unexpected failure.", message);
  }
  return true;
}

bool runMexEntry(EntryFn entry, int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[],
                 char (&message)[kMessageCapacity]) noexcept {
  return runMexCall(
      [&] {
        for (int k = 0; k < std::max(nlhs, 1); ++k) plhs[k] = nullptr;
        std::vector<MexInput> views;
        views.reserve(static_cast<std::size_t>(std::max(nrhs, 0)));
        for (int k = 0; k < nrhs; ++k) views.emplace_back(prhs[k]);
        std::vector<const Input*> ptrs;
        for (const MexInput& v : views) ptrs.push_back(&v);
        MexOutputs outs(nlhs, plhs);
        entry(Inputs(ptrs.data(), ptrs.size()), outs);
        outs.commit();
      },
      message);
}

void raiseMexError(const char* message) {
#if defined(DYADFIT_HOST_OCTAVE)
  if (tHostException) std::rethrow_exception(std::exchange(tHostException, nullptr));
#endif
  mexErrMsgTxt(message);
}

}  // namespace dyadfit
