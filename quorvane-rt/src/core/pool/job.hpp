// Jobs, their latches, and the two ways work enters the pool: injected from a
// thread outside it (run_injected) and forked by a worker (join_on_worker).
// Internal to the pool; pool.hpp is the interface.
//
// Jobs are never allocated: a StackJob lives in the frame of the thread that
// waits for it, and that frame does not return before the job's latch is set,
// so the queues hold plain pointers.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

#include "core/pool/fp_control.hpp"

namespace quorvane::pool {

// The result of a job whose callable returns void.
struct NoResult {
  friend bool operator==(NoResult, NoResult) noexcept { return true; }
};

namespace detail {

class Registry;
class Worker;

// A unit of work as the queues see it, with the floating-point control state
// of the thread that created it (a worker that takes it from a queue runs it
// under that state).
struct Job {
  void (*execute)(Job*) noexcept;
  FpControl fp_control;
};

Worker* current_worker() noexcept;
Registry* registry_of(const Worker* worker) noexcept;

// Worker-side operations used by join (the caller is `worker` itself).
void push_local(Worker* worker, Job* job) noexcept;
Job* pop_local(Worker* worker) noexcept;
void execute_job(Worker* worker, Job* job) noexcept;
// Runs other jobs, then sleeps, until `flag` is non-zero.
void wait_on_worker(Worker* worker, const std::atomic<std::uint32_t>& flag) noexcept;
// Wakes `owner` if it sleeps; called after a join latch it waits for was set.
void wake_latch_owner(Worker* owner) noexcept;

// Outside-side operation used by run_in_pool.
void inject(Registry* registry, Job* job) noexcept;

template <class F>
using job_result_t = std::conditional_t<std::is_void_v<std::invoke_result_t<F&>>, NoResult,
                                        std::invoke_result_t<F&>>;

template <class F>
job_result_t<F> invoke_job(F& f) {
  if constexpr (std::is_void_v<std::invoke_result_t<F&>>) {
    std::invoke(f);
    return NoResult{};
  } else {
    return std::invoke(f);
  }
}

// The latch of a join's right half. Its waiter is a worker that keeps running
// other jobs while it waits and may fall asleep; set() wakes exactly it.
class JoinLatch {
 public:
  explicit JoinLatch(Worker* owner) noexcept : owner_(owner) {}
  bool probe() const noexcept { return state_.load(std::memory_order_acquire) != 0; }
  const std::atomic<std::uint32_t>& word() const noexcept { return state_; }
  void set() noexcept {
    // Once the state is set, the waiter may return and this latch vanish with
    // its frame, so the owner is read first.
    Worker* owner = owner_;
    state_.store(1, std::memory_order_release);
    wake_latch_owner(owner);
  }

 private:
  std::atomic<std::uint32_t> state_{0};
  Worker* owner_;
};

// The latch of a job injected from outside the pool; its waiter blocks.
class LockLatch {
 public:
  void set() noexcept {
    // The exchange is the last access to this latch's memory: the wake-up is a
    // system call on the address only, harmless if the waiter has moved on.
    if (state_.exchange(kSet, std::memory_order_acq_rel) == kWaiterAsleep) wake();
  }
  // Returns once the latch is set. The waiter sleeps in slices; after each
  // slice it asks interrupt_requested() (core/support/interrupt.hpp). When
  // that says stop, it sets *stop (if given), waits for the latch without time
  // limit, then throws Interrupted; when the poll throws, it does the same and
  // rethrows. A job that is done before the first slice ends never polls.
  void wait(std::atomic<bool>* stop);

 private:
  static constexpr std::uint32_t kUnset = 0, kSet = 1, kWaiterAsleep = 2;
  void wake() noexcept;
  void wait_without_limit() noexcept;
  std::atomic<std::uint32_t> state_{kUnset};
};

template <class F, class Latch>
class StackJob final : public Job {
 public:
  using Result = job_result_t<F>;
  static_assert(!std::is_reference_v<Result>, "pool jobs return values, not references");

  template <class... LatchArgs>
  explicit StackJob(F& f, LatchArgs... latch_args)
      : Job{&StackJob::execute_here, current_fp_control()}, latch(latch_args...), f_(&f) {}

  // Runs the job on the current thread without touching the latch.
  void run_inline() noexcept { capture(); }

  Latch latch;
  std::optional<Result> result;
  std::exception_ptr error;

 private:
  void capture() noexcept {
    try {
      result.emplace(invoke_job(*f_));
    } catch (...) {
      error = std::current_exception();
    }
  }
  static void execute_here(Job* job) noexcept {
    auto* self = static_cast<StackJob*>(job);
    self->capture();
    self->latch.set();  // the last access to *self
  }

  F* f_;
};

template <class F>
job_result_t<F> run_injected(Registry* registry, F& f, std::atomic<bool>* stop) {
  StackJob<F, LockLatch> job(f);
  inject(registry, &job);
  job.latch.wait(stop);  // throws only once the job has finished
  if (job.error) std::rethrow_exception(job.error);
  return std::move(*job.result);
}

template <class A, class B>
std::pair<job_result_t<A>, job_result_t<B>> join_on_worker(Worker* worker, A& a, B& b) {
  StackJob<B, JoinLatch> job_b(b, worker);
  push_local(worker, &job_b);

  std::optional<job_result_t<A>> result_a;
  std::exception_ptr error_a;
  try {
    result_a.emplace(invoke_job(a));
  } catch (...) {
    error_a = std::current_exception();
  }

  // b lives in this frame, so it must be finished before this frame unwinds,
  // whether a failed or not. Everything a pushed has been taken back by now,
  // so the bottom of the deque is b unless a thief took it; in that case the
  // jobs below belong to enclosing joins of this worker and are run here.
  while (!job_b.latch.probe()) {
    Job* job = pop_local(worker);
    if (job == &job_b) {
      job_b.run_inline();
      break;
    }
    if (job == nullptr) {
      wait_on_worker(worker, job_b.latch.word());
      break;
    }
    execute_job(worker, job);
  }

  if (error_a) std::rethrow_exception(error_a);
  if (job_b.error) std::rethrow_exception(job_b.error);
  return {std::move(*result_a), std::move(*job_b.result)};
}

}  // namespace detail
}  // namespace quorvane::pool
