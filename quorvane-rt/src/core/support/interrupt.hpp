// Stopping a long computation when its caller asks (Ctrl-C from Python).
//
// The boundary installs a poll function on the calling thread for the duration
// of a call (`InterruptScope`); the core's long loops call `poll_interrupt`
// every so much work, and the waiting side of the parallel form asks
// `interrupt_requested` between slices of its wait. A poll that says "stop"
// ends the computation with `Interrupted`, which unwinds (releasing what each
// frame holds) to the call guard; the reason (a pending KeyboardInterrupt) is
// the poll function's to record. Worker threads have no poll installed: only
// the thread that may run signal handlers is ever asked. Nothing here knows
// about Python.
#pragma once

#include <cstddef>
#include <exception>

namespace quorvane {

// Thrown by a computation that stopped because its poll function said so.
class Interrupted final : public std::exception {
 public:
  const char* what() const noexcept override { return "interrupted"; }
};

// Returns true when the computation must stop. May throw.
using InterruptPoll = bool (*)(void* context);

// Installs `poll` on this thread for its lifetime (restoring the previous one).
class InterruptScope {
 public:
  InterruptScope(InterruptPoll poll, void* context) noexcept;
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  InterruptPoll previous_poll_;
  void* previous_context_;
};

// Work (path-steps, or elements of a sample loop) between two polls of a serial
// loop: a few milliseconds at the kernels' speed, so Ctrl-C is acted on at once
// while the cost of asking stays far below the noise of a benchmark.
inline constexpr std::size_t kInterruptPollWork = std::size_t{1} << 21;

// Elements per call of a one-dimensional kernel between two spends of its
// driver: small next to kInterruptPollWork, large enough that the calls cost
// nothing.
inline constexpr std::size_t kInterruptChunk = std::size_t{1} << 16;

// False when no poll is installed on this thread; else what the poll says.
bool interrupt_requested();

// Throws Interrupted when interrupt_requested().
void poll_interrupt();

// Counts work done and polls once every kInterruptPollWork of it.
class InterruptBudget {
 public:
  void spend(std::size_t work) {
    if (work >= left_) {
      left_ = kInterruptPollWork;
      poll_interrupt();
    } else {
      left_ -= work;
    }
  }

 private:
  std::size_t left_ = kInterruptPollWork;
};

}  // namespace quorvane
