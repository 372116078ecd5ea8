// The wait of a thread outside the pool for the job it injected: short polls
// first, then sleep in slices, asking the thread's interrupt poll between two
// slices (core/support/interrupt.hpp).
#include <sched.h>

#include "core/pool/futex.hpp"
#include "core/pool/job.hpp"
#include "core/pool/pool.hpp"
#include "core/support/interrupt.hpp"

namespace quorvane::pool::detail {

namespace {

void request_stop(std::atomic<bool>* stop) noexcept {
  // The job only reads it to skip work: relaxed is enough.
  if (stop != nullptr) stop->store(true, std::memory_order_relaxed);
}

}  // namespace

void LockLatch::wait(std::atomic<bool>* stop) {
  // The job usually takes microseconds: poll first, then give the processor
  // away a few times, then sleep.
  for (unsigned i = 0; i < 256; ++i) {
    if (state_.load(std::memory_order_acquire) == kSet) return;
    cpu_relax();
  }
  for (unsigned i = 0; i < 16; ++i) {
    if (state_.load(std::memory_order_acquire) == kSet) return;
    ::sched_yield();
  }
  std::uint32_t expected = kUnset;
  if (!state_.compare_exchange_strong(expected, kWaiterAsleep, std::memory_order_acquire,
                                      std::memory_order_acquire))
    return;  // set meanwhile
  for (;;) {
    const bool slice_ended = futex_wait_for(state_, kWaiterAsleep, kInterruptSliceNanoseconds);
    if (state_.load(std::memory_order_acquire) == kSet) return;
    if (!slice_ended) continue;
    bool stop_now;
    try {
      stop_now = interrupt_requested();
    } catch (...) {
      // Also a forced unwind of this thread: the workers must be done with
      // the caller's memory before its frames go, and the unwind goes on.
      request_stop(stop);
      wait_without_limit();
      throw;
    }
    if (stop_now) {
      request_stop(stop);
      wait_without_limit();
      throw Interrupted();
    }
  }
}

void LockLatch::wait_without_limit() noexcept {
  while (state_.load(std::memory_order_acquire) != kSet) futex_wait(state_, kWaiterAsleep);
}

void LockLatch::wake() noexcept { futex_wake_all(state_); }

}  // namespace quorvane::pool::detail
