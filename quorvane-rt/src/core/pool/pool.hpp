// The process-wide work-stealing fork-join pool of worker threads.
//
// `bel_weights_tangent_flow_parallel` hands its blocks of paths to this pool
// with the interpreter lock released: `run_in_pool` enters the pool from the
// calling thread and blocks it until the work is done, `join` splits the work
// into two halves that may run on two workers. Nothing here knows about Python.
//
//   auto outcome = pool::run_in_pool([&] { return process_blocks(all, stop); });
//   ...inside process_blocks:
//   auto [left, right] = pool::join([&] { return process_blocks(lo, stop); },
//                                   [&] { return process_blocks(hi, stop); });
//
// The pool is built on first use (`global_pool`), sized from RAYON_NUM_THREADS,
// RAYON_RS_NUM_CPUS or the logical processor count, and never shut down. A
// child process made by fork() forgets its parent's pool and builds its own on
// first use. The protocol (deque, sleep and wake-up, join, failures, fork) is
// written up in README.md beside this file.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace quorvane::pool {

// The largest thread count a pool can have; larger requests are cut to it.
inline constexpr std::size_t kMaxThreads = 65535;
// Stack reservation of every worker thread.
inline constexpr std::size_t kWorkerStackBytes = 2097152;
// Prefix of the internal-failure message when the process-wide pool cannot be had.
inline constexpr const char* kNotInitializedPrefix =
    "The global thread pool has not been initialized.: ";

// Why a pool could not be built: a worker thread could not be started (then
// `os_error()` is the errno value), or the process-wide build already ran once
// and failed (then `os_error()` is 0).
class PoolBuildError final : public std::exception {
 public:
  PoolBuildError(std::string description, int os_error)
      : description_(std::move(description)), os_error_(os_error) {}
  const char* what() const noexcept override { return description_.c_str(); }
  const std::string& description() const noexcept { return description_; }
  int os_error() const noexcept { return os_error_; }

 private:
  std::string description_;
  int os_error_;
};

// Starts one detached operating-system thread running entry(argument). Returns
// 0, or the errno value when no thread was started; in that case entry is
// never called and the caller still owns argument. `index` is the worker's
// index. A pool calls it for worker 0 first, then 1, and so on.
using ThreadSpawner =
    std::function<int(std::size_t index, void* (*entry)(void*), void* argument)>;

// The spawner every pool uses unless given another: pthread_create with a
// detached attribute and a stack of kWorkerStackBytes; the thread is not named.
int spawn_detached_thread(void* (*entry)(void*), void* argument) noexcept;

// The result of a job whose callable returns void.
struct NoResult {
  friend bool operator==(NoResult, NoResult) noexcept { return true; }
};

namespace detail {

class Registry;
class Worker;

// A unit of work as the queues see it. The concrete job lives in the frame of
// the thread that waits for it, which does not return before the job is done.
struct Job {
  void (*execute)(Job*) noexcept;
};

Worker* current_worker() noexcept;
Registry* registry_of(const Worker* worker) noexcept;
std::size_t registry_thread_count(const Registry* registry) noexcept;

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
  void wait() noexcept;

 private:
  static constexpr std::uint32_t kUnset = 0, kSet = 1, kWaiterAsleep = 2;
  void wake() noexcept;
  std::atomic<std::uint32_t> state_{kUnset};
};

template <class F, class Latch>
class StackJob final : public Job {
 public:
  using Result = job_result_t<F>;
  static_assert(!std::is_reference_v<Result>, "pool jobs return values, not references");

  template <class... LatchArgs>
  explicit StackJob(F& f, LatchArgs... latch_args)
      : Job{&StackJob::execute_here}, latch(latch_args...), f_(&f) {}

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
job_result_t<F> run_injected(Registry* registry, F& f) {
  StackJob<F, LockLatch> job(f);
  inject(registry, &job);
  job.latch.wait();
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

// A fork-join pool of `thread_count()` worker threads. The process-wide one is
// `global_pool()`; tests build their own.
class WorkerPool {
 public:
  // Starts `threads` workers (0 is taken as 1, more than kMaxThreads as
  // kMaxThreads), worker 0 first, through `spawner` (spawn_detached_thread when
  // empty). If a thread cannot be started, the threads already started are told
  // to terminate, have exited when this throws PoolBuildError with the OS error.
  explicit WorkerPool(std::size_t threads, ThreadSpawner spawner = {});
  // Stops and waits for every worker. No job may be running or be submitted;
  // the process-wide pool is never destroyed.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::size_t thread_count() const noexcept;
  // True when the calling thread is one of this pool's workers.
  bool owns_current_thread() const noexcept;

  // Runs `job` on this pool and returns its result or rethrows its exception.
  // On a worker of this pool the job runs at once on the calling thread.
  // Otherwise it is queued for the workers and the calling thread blocks, with
  // no time limit, until it is done.
  template <class F>
  auto run_in_pool(F&& job) -> std::invoke_result_t<F&> {
    detail::Worker* worker = detail::current_worker();
    if (worker != nullptr && detail::registry_of(worker) == registry_.get())
      return std::invoke(job);
    if constexpr (std::is_void_v<std::invoke_result_t<F&>>) {
      detail::run_injected(registry_.get(), job);
    } else {
      return detail::run_injected(registry_.get(), job);
    }
  }

  // Runs a and b, possibly in parallel, and returns both results (NoResult
  // for a void callable). If either throws, the exception is rethrown only
  // after both have finished; when both throw, a's exception wins.
  template <class A, class B>
  auto join(A&& a, B&& b) -> std::pair<detail::job_result_t<A>, detail::job_result_t<B>> {
    detail::Worker* worker = detail::current_worker();
    if (worker != nullptr && detail::registry_of(worker) == registry_.get())
      return detail::join_on_worker(worker, a, b);
    return run_in_pool(
        [&a, &b] { return detail::join_on_worker(detail::current_worker(), a, b); });
  }

 private:
  std::shared_ptr<detail::Registry> registry_;
};

// The process-wide pool, built by the first call (concurrent first callers wait
// for that build). If the build fails, this calls quorvane::fail with
// kNotInitializedPrefix and the PoolBuildError's description and does not
// return; every later call fails the same way, saying the build already ran.
WorkerPool& global_pool();

// The thread count of the current worker's pool on a worker, else that of
// global_pool() (which builds it if needed).
std::size_t thread_count();

// True on a worker thread of any pool.
bool on_worker_thread() noexcept;

// On a worker: runs `job` at once on this thread (it already is in its pool).
// Elsewhere: global_pool().run_in_pool(job).
template <class F>
auto run_in_pool(F&& job) -> std::invoke_result_t<F&> {
  if (detail::current_worker() != nullptr) return std::invoke(job);
  return global_pool().run_in_pool(job);
}

// On a worker: a fork-join pair in the worker's own pool. Elsewhere: enters
// global_pool() first. Results and exceptions as WorkerPool::join.
template <class A, class B>
auto join(A&& a, B&& b) -> std::pair<detail::job_result_t<A>, detail::job_result_t<B>> {
  if (detail::Worker* worker = detail::current_worker())
    return detail::join_on_worker(worker, a, b);
  return global_pool().join(a, b);
}

// The thread count for the given values of RAYON_NUM_THREADS and
// RAYON_RS_NUM_CPUS (nullptr when unset) and the logical processor count.
// A value is parsable when it is an optional single '+' followed by one or more
// ASCII digits and nothing else, and fits in 64 bits. A parsable
// RAYON_NUM_THREADS decides: 0 means the processor count. Otherwise a parsable
// RAYON_RS_NUM_CPUS of 1 or more decides; otherwise the processor count (taken
// as 1 when 0). The result is at most kMaxThreads.
std::size_t threads_from_environment(const char* rayon_num_threads,
                                     const char* rayon_rs_num_cpus,
                                     std::size_t logical_cpus) noexcept;

// The number of processors this process may run on (its affinity mask), else
// the number online; at least 1.
std::size_t logical_cpu_count() noexcept;

namespace detail {
// Test hook: the spawner the process-wide build will use (empty restores the
// default). Only meaningful before the build, e.g. in a freshly forked child.
void set_global_pool_spawner(ThreadSpawner spawner);
// Test hook: called by a worker that found no work and is about to announce
// that it sleeps (nullptr for none). Lets a test publish work in exactly that
// window.
using SleepProbe = void (*)();
void set_sleep_probe(SleepProbe probe) noexcept;
}  // namespace detail

}  // namespace quorvane::pool
