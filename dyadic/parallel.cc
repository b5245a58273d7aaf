// SPDX-License-Identifier: BSD-3-Clause
#include "dyadic/parallel.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace dyadfit {

Isa isaLevel(const char* asked, Isa cpu) {
  if (!asked || !*asked) return cpu;
  const std::string_view name(asked);
  Isa level;
  if (name == "scalar") {
    level = Isa::Scalar;
  } else if (name == "avx2") {
    level = Isa::Avx2;
  } else if (name == "avx512") {
    level = Isa::Avx512;
  } else {
    std::fprintf(stderr, "%s\n", kMsgUnknownIsa);
    return cpu;
  }
  return level < cpu ? level : cpu;
}

Isa isaLevel() {
  static const Isa level = [] {
    Isa cpu = Isa::Scalar;
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f"))
      cpu = Isa::Avx512;
    else if (__builtin_cpu_supports("avx2"))
      cpu = Isa::Avx2;
#endif
    return isaLevel(std::getenv("DYADFIT_ISA"), cpu);
  }();
  return level;
}

bool avx2Enabled() { return isaLevel() >= Isa::Avx2; }

namespace {

// The call this thread works for, and whether it opened that call's scope
// (only that thread may ask the host: host APIs are not thread-safe).
thread_local InterruptScope::State* tState = nullptr;
thread_local bool tOwner = false;
// Whether this thread runs items of a parallelFor (as its caller or a
// helper): a call from inside one runs on this thread alone.
thread_local bool tInParallel = false;

std::atomic<int> gThreadOverride{0};

}  // namespace

InterruptScope::InterruptScope(InterruptPoll poll) : outer_(tState), outerOwner_(tOwner) {
  state_.poll = poll;
  tState = &state_;
  tOwner = true;
}

InterruptScope::~InterruptScope() {
  tState = outer_;
  tOwner = outerOwner_;
}

void interruptionPoint() {
  InterruptScope::State* s = tState;
  if (!s) return;
  if (s->stop.load(std::memory_order_relaxed)) throw Error(kMsgInterrupted);
  if (tOwner && s->poll && s->poll()) {
    s->stop.store(true, std::memory_order_relaxed);
    throw Error(kMsgInterrupted);
  }
}

int threadCount() {
  if (int n = gThreadOverride.load(std::memory_order_relaxed); n > 0) return n;
  if (const char* env = std::getenv("DYADFIT_THREADS")) {
    char* end = nullptr;
    const long n = std::strtol(env, &end, 10);
    if (end != env && *end == '\0' && n > 0) return n > 256 ? 256 : static_cast<int>(n);
  }
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : (cores > 256 ? 256 : static_cast<int>(cores));
}

void setThreadCount(int n) { gThreadOverride.store(n > 0 ? n : 0, std::memory_order_relaxed); }

namespace {

// One parallelFor's shared state. Helpers join it while it is open; the
// caller closes it and waits until every helper that joined has left.
struct Job {
  const std::function<void()>* work = nullptr;
  InterruptScope::State* state = nullptr;
  std::size_t slots = 0;    // helpers that may still join
  std::size_t running = 0;  // helpers inside work()
};

// Worker threads kept for the life of the process (or of the module that
// holds this code): a call wakes them instead of starting threads of its own.
// One call uses them at a time; a call made meanwhile (from another thread,
// or from inside an item) runs on its own thread alone. Items never depend
// on which thread runs them, so the results are the same either way.
class Pool {
 public:
  ~Pool() {
    {
      std::lock_guard<std::mutex> lock(m_);
      quit_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
  }

  std::mutex& callLock() { return call_; }

  // Starts helpers up to `helpers` in all; returns how many there are.
  std::size_t grow(std::size_t helpers) {
    while (workers_.size() < helpers) {
      try {
        workers_.emplace_back([this] { serve(); });
      } catch (...) {
        break;  // fewer threads than asked: the rest still runs
      }
    }
    return workers_.size();
  }

  void open(Job& job) {
    {
      std::lock_guard<std::mutex> lock(m_);
      job_ = &job;
      ++generation_;
    }
    if (job.slots >= workers_.size())
      wake_.notify_all();
    else
      for (std::size_t k = 0; k < job.slots; ++k) wake_.notify_one();
  }

  // Closes the job to late helpers and waits for those inside, asking the
  // host in between: short calls must not wait out a polling period.
  void close(Job& job, const std::function<void(std::exception_ptr)>& fail) {
    std::unique_lock<std::mutex> lock(m_);
    job_ = nullptr;
    while (!done_.wait_for(lock, std::chrono::milliseconds(5), [&] { return job.running == 0; })) {
      lock.unlock();
      try {
        interruptionPoint();
      } catch (...) {
        fail(std::current_exception());
      }
      lock.lock();
    }
  }

 private:
  void serve() {
    std::uint64_t seen = 0;
    std::unique_lock<std::mutex> lock(m_);
    for (;;) {
      wake_.wait(lock, [&] { return quit_ || generation_ != seen; });
      if (quit_) return;
      seen = generation_;
      Job* job = job_;
      if (!job || job->slots == 0) continue;
      --job->slots;
      ++job->running;
      lock.unlock();
      tState = job->state;
      tOwner = false;
      tInParallel = true;
      (*job->work)();
      tState = nullptr;
      lock.lock();
      if (--job->running == 0) done_.notify_all();
    }
  }

  std::mutex call_;
  std::mutex m_;
  std::condition_variable wake_, done_;
  std::vector<std::thread> workers_;
  Job* job_ = nullptr;
  std::uint64_t generation_ = 0;
  bool quit_ = false;
};

#ifndef _WIN32
Pool& pool() {
  static Pool p;
  return p;
}
#endif

void serial(std::size_t count, const std::function<void(std::size_t)>& body) {
  for (std::size_t k = 0; k < count; ++k) {
    interruptionPoint();
    body(k);
  }
}

}  // namespace

void parallelFor(std::size_t count, const std::function<void(std::size_t)>& body) {
  if (count == 0) return;
  const std::size_t threads = std::min<std::size_t>(static_cast<std::size_t>(threadCount()), count);
  if (threads <= 1 || tInParallel) return serial(count, body);
#ifdef _WIN32
  // A Windows plug-in's threads must not outlive the call: the host may
  // unload the DLL, and threads cannot be joined while a DLL is unloaded or
  // the process ends (the pool's destructor would wait for ever). Each call
  // starts and joins its own.
  Pool own;
  Pool& p = own;
#else
  Pool& p = pool();
#endif
  std::unique_lock<std::mutex> call(p.callLock(), std::try_to_lock);
  if (!call.owns_lock()) return serial(count, body);
  const std::size_t helpers = std::min(threads - 1, p.grow(threads - 1));
  if (helpers == 0) return serial(count, body);

  // Without a scope of its own the call still needs a shared stop flag.
  InterruptScope::State local;
  InterruptScope::State* state = tState ? tState : &local;
  std::atomic<std::size_t> next{0};
  std::exception_ptr failure;
  std::mutex failureLock;
  const std::function<void(std::exception_ptr)> fail = [&](std::exception_ptr e) {
    std::lock_guard<std::mutex> lock(failureLock);
    if (!failure) failure = e;
    state->stop.store(true, std::memory_order_relaxed);
  };
  const std::function<void()> work = [&] {
    try {
      for (;;) {
        if (state->stop.load(std::memory_order_relaxed)) break;
        const std::size_t k = next.fetch_add(1, std::memory_order_relaxed);
        if (k >= count) break;
        interruptionPoint();
        body(k);
      }
    } catch (...) {
      fail(std::current_exception());
    }
  };

  Job job;
  job.work = &work;
  job.state = state;
  job.slots = helpers;
  p.open(job);
  InterruptScope::State* const savedState = tState;
  tState = state;
  tInParallel = true;
  work();
  tInParallel = false;
  p.close(job, fail);
  tState = savedState;
  if (failure) std::rethrow_exception(failure);
}

}  // namespace dyadfit
