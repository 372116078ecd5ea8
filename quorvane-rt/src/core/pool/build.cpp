// Building a pool: its registry, then its threads, worker 0 first; and taking
// it down again when the build cannot finish or the pool is destroyed.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include <pthread.h>

#include "core/pool/pool.hpp"
#include "core/pool/registry.hpp"
#include "core/support/interrupt.hpp"

namespace quorvane::pool {

namespace {

// Threads started between two polls of the building thread's interrupt poll.
constexpr std::size_t kThreadsPerInterruptPoll = 256;

std::string errno_name(int error) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
  if (const char* name = ::strerrorname_np(error)) return name;
#endif
  return "errno " + std::to_string(error);
}

std::string spawn_failure_description(std::size_t index, std::size_t count, int error) {
  char text[256];
  const char* message = ::strerror_r(error, text, sizeof text);  // GNU variant
  return "failed to start worker thread " + std::to_string(index) + " of " +
         std::to_string(count) + ": " + errno_name(error) + " (os error " +
         std::to_string(error) + "): " + message;
}

}  // namespace

int spawn_detached_thread(void* (*entry)(void*), void* argument) noexcept {
  pthread_attr_t attr;
  int error = ::pthread_attr_init(&attr);
  if (error != 0) return error;
  error = ::pthread_attr_setstacksize(&attr, kWorkerStackBytes);
  if (error == 0) error = ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  if (error == 0) error = ::pthread_create(&thread, &attr, entry, argument);
  ::pthread_attr_destroy(&attr);
  return error;
}

WorkerPool::WorkerPool(std::size_t threads, ThreadSpawner spawner) {
  const std::size_t n = std::clamp<std::size_t>(threads, 1, kMaxThreads);
  try {
    registry_ = std::make_shared<detail::Registry>(n);
  } catch (const std::bad_alloc&) {
    throw PoolBuildError("cannot allocate the queues of " + std::to_string(n) + " workers",
                         ENOMEM);
  }
  // Whatever ends the build early, the threads started so far are stopped and
  // have exited before the exception leaves: none is left running for a pool
  // that does not exist.
  std::size_t i = 0;
  try {
    for (; i < n; ++i) {
      if (i % kThreadsPerInterruptPoll == kThreadsPerInterruptPoll - 1) poll_interrupt();
      auto start = std::make_unique<detail::ThreadStart>(detail::ThreadStart{registry_, i});
      registry_->live_threads.fetch_add(1, std::memory_order_relaxed);
      int error;
      try {
        error = spawner ? spawner(i, &detail::worker_main, start.get())
                        : spawn_detached_thread(&detail::worker_main, start.get());
      } catch (...) {
        // A spawner that throws has started no thread.
        registry_->live_threads.fetch_sub(1, std::memory_order_relaxed);
        throw;
      }
      if (error == 0) {
        start.release();  // the thread owns it now
        continue;
      }
      registry_->live_threads.fetch_sub(1, std::memory_order_relaxed);
      throw PoolBuildError(spawn_failure_description(i, n, error), error);
    }
  } catch (const std::bad_alloc&) {
    registry_->terminate_and_wait();
    registry_.reset();
    throw PoolBuildError("cannot allocate the start of worker thread " + std::to_string(i) +
                             " of " + std::to_string(n),
                         ENOMEM);
  } catch (...) {
    registry_->terminate_and_wait();
    registry_.reset();
    throw;
  }
}

WorkerPool::~WorkerPool() {
  if (!registry_) return;
  if (owns_current_thread()) detail::fatal("a pool was destroyed by one of its own workers");
  registry_->terminate_and_wait();
}

std::size_t WorkerPool::thread_count() const noexcept { return registry_->thread_count; }

bool WorkerPool::owns_current_thread() const noexcept {
  detail::Worker* worker = detail::current_worker();
  return worker != nullptr && worker->registry == registry_.get();
}

}  // namespace quorvane::pool
