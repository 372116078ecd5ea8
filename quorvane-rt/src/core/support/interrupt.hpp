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

#include <algorithm>
#include <atomic>
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

// Returns the poll installed on this thread (null when none) and its context.
InterruptPoll installed_interrupt_poll(void*& context) noexcept;

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

// Calls chunk(first, last) for [0, n) in consecutive runs of kInterruptChunk
// elements, in index order, spending each run, so that a long one-dimensional
// loop can be interrupted between two runs. Whatever the chunk accumulates
// carries on from run to run in index order, so the bits are those of one pass.
template <class Chunk>
void for_each_interrupt_chunk(std::size_t n, Chunk&& chunk) {
  InterruptBudget budget;
  for (std::size_t first = 0; first < n; first += kInterruptChunk) {
    const std::size_t last = std::min(n, first + kInterruptChunk);
    chunk(first, last);
    budget.spend(last - first);
  }
}

// ---------------------------------------------------------------------------
// Inside a kernel: one group of paths can be a long piece of work (one path of
// 2^31 steps is seconds), longer than any driver can wait between two spends.
// The kernels run a group's steps in runs of kKernelPaceSteps, and between two
// runs call `kernel_pace`, which counts the work, polls once every
// kInterruptPollWork of it, and reads the stop flag of a parallel run. The
// kernels cannot throw, so a stop is recorded: the kernel returns early (its
// results unspecified) and the driver, after the kernel call, asks its
// KernelPace to throw what stopped it.
//
//   KernelPace pace;                       // this thread's kernel calls report here
//   raw(in, first, count, out);            // may return early
//   pace.check();                          // throws Interrupted (or what the poll threw)
//
// A group no longer than kKernelPaceSteps never calls kernel_pace; its driver's
// own spends keep polling as before. With no KernelPace installed (kernels
// called directly) kernel_pace never stops.

// Steps of a group between two calls of kernel_pace (even, so that kernels
// that take two steps at a time keep their pairs).
inline constexpr std::size_t kKernelPaceSteps = 1024;

class KernelPace {
 public:
  // Installs this pace on the thread for its lifetime, with the stop flag of
  // the pace it nests in (if any).
  KernelPace() noexcept;
  // The same, with the stop flag of a parallel run: a kernel stops once it is set.
  explicit KernelPace(const std::atomic<bool>& stop) noexcept;
  ~KernelPace();
  KernelPace(const KernelPace&) = delete;
  KernelPace& operator=(const KernelPace&) = delete;

  // Throws when a kernel stopped under this pace: what the poll threw, else
  // Interrupted (also for a stop flag that was set).
  void check() const {
    if (stopped_) rethrow();
  }

 private:
  friend bool kernel_pace(std::size_t work) noexcept;
  [[noreturn]] void rethrow() const;

  KernelPace* previous_;
  const std::atomic<bool>* stop_;
  std::size_t left_ = kInterruptPollWork;
  bool stopped_ = false;
  std::exception_ptr failure_;
};

// Called by a kernel after `work` units (lanes times steps) of a group: true
// when it must stop (and from then on, until its KernelPace is left).
[[gnu::cold]] bool kernel_pace(std::size_t work) noexcept;

}  // namespace quorvane
