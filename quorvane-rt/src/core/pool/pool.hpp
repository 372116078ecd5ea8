// The process-wide work-stealing fork-join pool of worker threads.
//
// `bel_weights_tangent_flow_parallel` hands its blocks of paths to this pool
// with the interpreter lock released: `run_in_pool` enters the pool from the
// calling thread and blocks it until the work is done, `join` splits the work
// into two halves that may run on two workers. Nothing here knows about Python.
//
//   std::atomic<bool> stop{false};
//   auto failure = pool::run_in_pool([&] { return process_blocks(run, all); }, stop);
//   ...inside process_blocks, which returns at once when `stop` is set:
//   auto [left, right] = pool::join([&] { return process_blocks(run, lower); },
//                                   [&] { return process_blocks(run, upper); });
//
// The pool is built on first use (`global_pool`), sized from RAYON_NUM_THREADS,
// RAYON_RS_NUM_CPUS or the logical processor count, and never shut down. A
// child process made by fork() forgets its parent's pool and builds its own on
// first use. A caller outside the pool waits in slices and can be interrupted
// (core/support/interrupt.hpp); every job runs under the floating-point control
// state of the thread that submitted it. The protocol is written up in
// README.md beside this file; the code is split by concern:
//
//   futex.hpp, futex.cpp   waiting on and waking an address, fences, fatal()
//   deque.hpp              a worker's own job queue (Chase-Lev)
//   injector.hpp           the queue of jobs from threads outside the pool
//   fp_control.hpp         the floating-point control state a job carries
//   job.hpp                jobs, latches, run_injected and join_on_worker
//   registry.hpp           workers and their registry (internal)
//   workers.cpp            the search for work, sleep and wake-up
//   build.cpp              starting a pool's threads, and stopping them
//   latch.cpp              the outside caller's wait, sliced for interrupts
//   global.cpp             the process-wide slot, its environment, fork
//   sizing.cpp             the thread count from the environment and the CPUs
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

#include "core/pool/job.hpp"

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

// A fork-join pool of `thread_count()` worker threads. The process-wide one is
// `global_pool()`; tests build their own.
class WorkerPool {
 public:
  // Starts `threads` workers (0 is taken as 1, more than kMaxThreads as
  // kMaxThreads), worker 0 first, through `spawner` (spawn_detached_thread when
  // empty). If a thread cannot be started, the threads already started are told
  // to terminate, have exited when this throws PoolBuildError with the OS error.
  // Any other failure on the way (an allocation, a spawner that throws, an
  // interrupt asked for by the calling thread's poll, which is consulted every
  // few hundred threads) ends the build the same way, with that exception.
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
  // Otherwise it is queued for the workers and the calling thread blocks until
  // it is done. While it blocks it asks its interrupt poll every kInterruptSlice
  // (core/support/interrupt.hpp; with none installed it just waits): when the
  // poll says stop, it sets `stop` (the job should then finish early), waits
  // without time limit until the job has finished, so that no worker still uses
  // the caller's memory, and throws Interrupted; when the poll throws, it waits
  // the same way and rethrows. The job's result is then discarded.
  template <class F>
  auto run_in_pool(F&& job, std::atomic<bool>& stop) -> std::invoke_result_t<F&> {
    return run(job, &stop);
  }
  template <class F>
  auto run_in_pool(F&& job) -> std::invoke_result_t<F&> {
    return run(job, nullptr);
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
  template <class F>
  auto run(F& job, std::atomic<bool>* stop) -> std::invoke_result_t<F&> {
    detail::Worker* worker = detail::current_worker();
    if (worker != nullptr && detail::registry_of(worker) == registry_.get())
      return std::invoke(job);
    if constexpr (std::is_void_v<std::invoke_result_t<F&>>) {
      detail::run_injected(registry_.get(), job, stop);
    } else {
      return detail::run_injected(registry_.get(), job, stop);
    }
  }

  std::shared_ptr<detail::Registry> registry_;
};

// How long a caller outside the pool sleeps between two polls of its interrupt
// poll while it waits for its job.
inline constexpr long kInterruptSliceNanoseconds = 25'000'000;

// The process-wide pool, built by the first call (concurrent first callers wait
// for that build). If the build fails, this calls quorvane::fail with
// kNotInitializedPrefix and the PoolBuildError's description and does not
// return; every later call fails the same way, saying the build already ran.
// A build that the calling thread's interrupt poll stopped is not a failed
// build: it throws Interrupted (or what the poll threw), its threads have
// exited, and the next call builds the pool afresh.
WorkerPool& global_pool();

// Reads what the process-wide build will need from the environment
// (RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS and the processor count) if the pool is
// not built yet, so that a caller can do it while it still holds a lock that
// guards the environment (the interpreter lock: os.environ writes call setenv).
// The build then uses these values instead of reading the environment again.
// Once the pool is built it does nothing: the variables count only at the build.
void prepare_global_pool_environment();

// The thread count of the current worker's pool on a worker, else that of
// global_pool() (which builds it if needed).
std::size_t thread_count();

// True on a worker thread of any pool.
bool on_worker_thread() noexcept;

// On a worker: runs `job` at once on this thread (it already is in its pool).
// Elsewhere: global_pool().run_in_pool(job[, stop]).
template <class F>
auto run_in_pool(F&& job, std::atomic<bool>& stop) -> std::invoke_result_t<F&> {
  if (detail::current_worker() != nullptr) return std::invoke(job);
  return global_pool().run_in_pool(job, stop);
}
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
// Test hook: called on the worker that has just set a join latch, before it
// wakes the latch's owner (nullptr for none). Lets a test give the owner new
// work in exactly that window.
void set_latch_probe(SleepProbe probe) noexcept;
}  // namespace detail

}  // namespace quorvane::pool
