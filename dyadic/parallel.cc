#include "dyadic/parallel.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace dyadfit {
namespace {

// The call this thread works for, and whether it opened that call's scope
// (only that thread may ask the host: host APIs are not thread-safe).
thread_local InterruptScope::State* tState = nullptr;
thread_local bool tOwner = false;

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

void parallelFor(std::size_t count, const std::function<void(std::size_t)>& body) {
  if (count == 0) return;
  const std::size_t threads = std::min<std::size_t>(static_cast<std::size_t>(threadCount()), count);
  if (threads <= 1) {
    for (std::size_t k = 0; k < count; ++k) {
      interruptionPoint();
      body(k);
    }
    return;
  }

  // Without a scope of its own the call still needs a shared stop flag.
  InterruptScope::State local;
  InterruptScope::State* state = tState ? tState : &local;
  std::atomic<std::size_t> next{0};
  std::size_t running = 0;  // helper threads not yet done, under doneLock
  std::mutex doneLock;
  std::condition_variable done;
  std::exception_ptr failure;
  std::mutex failureLock;
  auto fail = [&](std::exception_ptr e) {
    std::lock_guard<std::mutex> lock(failureLock);
    if (!failure) failure = e;
    state->stop.store(true, std::memory_order_relaxed);
  };
  auto work = [&] {
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

  std::vector<std::thread> pool;
  pool.reserve(threads - 1);
  for (std::size_t t = 1; t < threads; ++t) {
    std::unique_lock<std::mutex> lock(doneLock);
    ++running;
    lock.unlock();
    try {
      pool.emplace_back([&, state] {
        tState = state;
        tOwner = false;
        work();
        std::lock_guard<std::mutex> doneGuard(doneLock);
        if (--running == 0) done.notify_one();
      });
    } catch (...) {
      lock.lock();
      --running;  // fewer threads than asked: the rest still runs
      break;
    }
  }
  InterruptScope::State* const savedState = tState;
  tState = state;
  work();
  // Keep asking the host while the last items finish elsewhere, and go on
  // as soon as they have: short calls must not wait out a polling period.
  std::unique_lock<std::mutex> lock(doneLock);
  while (!done.wait_for(lock, std::chrono::milliseconds(5), [&] { return running == 0; })) {
    lock.unlock();
    try {
      interruptionPoint();
    } catch (...) {
      fail(std::current_exception());
    }
    lock.lock();
  }
  lock.unlock();
  for (std::thread& t : pool) t.join();
  tState = savedState;
  if (failure) std::rethrow_exception(failure);
}

}  // namespace dyadfit
