// SPDX-License-Identifier: BSD-3-Clause
// Threads and interruption for the long stages.
//
// A binding opens an InterruptScope around each entry call with the host's
// poll (Ctrl-C in Octave, a flag for C++ callers, SIGINT in the command-line
// tool). Stages call interruptionPoint() between units of work; the thread
// that opened the scope asks the host, the others only see the shared stop
// flag. Work split by parallelFor gives the same results for any thread count:
// each item writes only its own outputs.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>

#include "host/host.h"

namespace dyadfit {

inline constexpr const char* kMsgInterrupted = "Interrupted.";

// The instruction sets the kernels may use: the best the CPU has, capped by
// the environment variable DYADFIT_ISA ("scalar", "avx2" or "avx512") as it
// is when first asked. Every level gives the same bits; the parity tests run
// each one the machine has.
enum class Isa { Scalar, Avx2, Avx512 };
Isa isaLevel();
// The level for a DYADFIT_ISA value (null or empty: none) on a CPU whose
// best is `cpu`. An unknown value is ignored, with kMsgUnknownIsa on stderr.
Isa isaLevel(const char* asked, Isa cpu);
inline constexpr const char* kMsgUnknownIsa = "DYADFIT_ISA must be scalar, avx2 or avx512; ignoring it.";
bool avx2Enabled();  // isaLevel() >= Isa::Avx2

// Returns true when the user asked the running call to stop.
using InterruptPoll = bool (*)();

class InterruptScope {
 public:
  explicit InterruptScope(InterruptPoll poll);
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

  struct State {
    InterruptPoll poll = nullptr;
    std::atomic<bool> stop{false};
  };

 private:
  State state_;
  State* outer_;
  bool outerOwner_;
};

// Throws Error(kMsgInterrupted) once the user asked to stop. Cheap enough to
// call once per square or per level.
void interruptionPoint();

// Worker threads: DYADFIT_THREADS when it holds a positive integer, else the
// number of cores; setThreadCount(n > 0) overrides both, n = 0 restores them.
int threadCount();
void setThreadCount(int n);

// Runs body(k) for every k in [0, count) on up to threadCount() threads, the
// calling thread among them. The first exception of any item (an
// interruption included) stops the remaining items and is rethrown here once
// every thread has finished.
void parallelFor(std::size_t count, const std::function<void(std::size_t)>& body);

}  // namespace dyadfit
