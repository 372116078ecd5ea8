// Implementation of without_lock (included by python.hpp).
#pragma once

#include "core/support/interrupt.hpp"

namespace quorvane::py {

namespace detail {

// The released lock and the call's own poll, which needs the lock.
struct UnlockedPoll {
  PyThreadState* state;
  InterruptPoll locked;
  void* context;
};

inline bool poll_signals_trampoline(void* poll) {
  auto* p = static_cast<UnlockedPoll*>(poll);
  return poll_signals_unlocked(p->state, p->locked, p->context);
}

}  // namespace detail

// The handler of a forced unwind binds a null reference (it carries no
// exception object), hence no null check of the sanitizer here.
template <class Compute>
__attribute__((no_sanitize("null"))) auto without_lock(Compute&& compute) -> decltype(compute()) {
  using Value = decltype(compute());
  const int depth = std::exchange(lock_depth(), 0);
  detail::UnlockedPoll poll{nullptr, nullptr, nullptr};
  poll.locked = installed_interrupt_poll(poll.context);
  PyThreadState*& state = poll.state;
  state = PyEval_SaveThread();
  std::optional<Value> value;
  std::exception_ptr failure;
  try {
    // Only the signal thread polls: another thread has no handlers to run, and
    // taking the lock back there inside the wait is what a forced unwind at
    // interpreter exit could not get out of. Elsewhere the scope installs no
    // poll at all, so the wait never reaches the call's own poll, which asks the
    // interpreter directly and needs the lock this thread no longer holds.
    const bool polls = on_signal_thread() && poll.locked != nullptr;
    const InterruptScope scope(polls ? &detail::poll_signals_trampoline : nullptr, &poll);
    value.emplace(compute());
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    failure = std::current_exception();
  }
  PyEval_RestoreThread(state);
  lock_depth() = depth;
  if (failure) std::rethrow_exception(failure);
  return std::move(*value);
}

}  // namespace quorvane::py
