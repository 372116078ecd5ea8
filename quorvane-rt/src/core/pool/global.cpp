// The process-wide pool: its once-guard, the environment it is sized from, and
// what a child of fork() does with its parent's pool.
#include <cstdlib>
#include <new>
#include <string>

#include <pthread.h>

#include "core/pool/futex.hpp"
#include "core/pool/pool.hpp"
#include "core/pool/registry.hpp"
#include "core/support/failure.hpp"

namespace quorvane::pool {

namespace {

// The once-guard of the process-wide build, on a futex word so that a forked
// child can reset it (std::call_once cannot be reset and would leave a child
// forked during a build waiting forever).
constexpr std::uint32_t kUnbuilt = 0;
constexpr std::uint32_t kBuilding = 1;
constexpr std::uint32_t kBuildingWithWaiters = 2;
constexpr std::uint32_t kBuilt = 3;
constexpr std::uint32_t kFailed = 4;

std::atomic<std::uint32_t> g_slot_state{kUnbuilt};
WorkerPool* g_pool = nullptr;  // written before g_slot_state becomes kBuilt
ThreadSpawner* g_spawner = nullptr;
// The thread count read by prepare_global_pool_environment, 0 when none was.
std::atomic<std::size_t> g_prepared_threads{0};

std::size_t threads_from_this_environment() {
  return threads_from_environment(std::getenv("RAYON_NUM_THREADS"),
                                  std::getenv("RAYON_RS_NUM_CPUS"), logical_cpu_count());
}

// In the child of a fork only the forking thread exists: the parent's workers,
// and any thread that was building the pool, are gone. The child forgets the
// parent's pool without touching it (no destructor, no lock that a vanished
// thread may hold: it is simply leaked) and builds its own on first use, from
// its own environment.
void forget_pool_in_child() noexcept {
  g_pool = nullptr;
  g_prepared_threads.store(0, std::memory_order_relaxed);
  g_slot_state.store(kUnbuilt, std::memory_order_relaxed);
}

// Registered while the library is loaded, before any thread can build a pool.
const int g_atfork_registered = ::pthread_atfork(nullptr, nullptr, &forget_pool_in_child);

// Publishes the outcome of a build and wakes the callers waiting for it.
void finish_build(std::uint32_t outcome) noexcept {
  if (g_slot_state.exchange(outcome, std::memory_order_acq_rel) == kBuildingWithWaiters)
    detail::futex_wake_all(g_slot_state);
}

WorkerPool& build_global_pool() {
  std::string description;
  WorkerPool* built = nullptr;
  try {
    std::size_t n = g_prepared_threads.load(std::memory_order_acquire);
    if (n == 0) n = threads_from_this_environment();
    built = new WorkerPool(n, g_spawner != nullptr ? *g_spawner : ThreadSpawner{});
  } catch (const PoolBuildError& error) {
    description = error.description();
  } catch (const std::bad_alloc&) {
    description = "out of memory while building the pool";
  } catch (...) {
    // Stopped by the building thread's interrupt poll (or its thread being
    // unwound): that is no failed build. Its threads have exited; the slot is
    // empty again, and the next request, here or in a waiting thread, builds.
    finish_build(kUnbuilt);
    throw;
  }
  g_pool = built;
  finish_build(built != nullptr ? kBuilt : kFailed);
  if (built == nullptr) fail(kNotInitializedPrefix + description);
  return *built;
}

[[noreturn]] void fail_after_failed_build() {
  fail(std::string(kNotInitializedPrefix) +
       "the build of the global thread pool already ran in this process and failed; "
       "it is not attempted again");
}

}  // namespace

WorkerPool& global_pool() {
  std::uint32_t state = g_slot_state.load(std::memory_order_acquire);
  if (state == kBuilt) return *g_pool;
  (void)g_atfork_registered;
  for (;;) {
    switch (state) {
      case kBuilt:
        return *g_pool;
      case kFailed:
        fail_after_failed_build();
      case kUnbuilt:
        if (g_slot_state.compare_exchange_weak(state, kBuilding, std::memory_order_acquire,
                                               std::memory_order_acquire))
          return build_global_pool();
        continue;
      case kBuilding:
        if (!g_slot_state.compare_exchange_weak(state, kBuildingWithWaiters,
                                                std::memory_order_acquire,
                                                std::memory_order_acquire))
          continue;
        [[fallthrough]];
      case kBuildingWithWaiters:
        detail::futex_wait(g_slot_state, kBuildingWithWaiters);
        state = g_slot_state.load(std::memory_order_acquire);
        continue;
      default:
        detail::fatal("the pool's build state is corrupt");
    }
  }
}

void prepare_global_pool_environment() {
  const std::uint32_t state = g_slot_state.load(std::memory_order_acquire);
  if (state == kBuilt || state == kFailed) return;
  g_prepared_threads.store(threads_from_this_environment(), std::memory_order_release);
}

void detail::set_global_pool_spawner(ThreadSpawner spawner) {
  delete g_spawner;
  g_spawner = spawner ? new ThreadSpawner(std::move(spawner)) : nullptr;
}

std::size_t thread_count() {
  if (detail::Worker* worker = detail::current_worker()) return worker->registry->thread_count;
  return global_pool().thread_count();
}

bool on_worker_thread() noexcept { return detail::current_worker() != nullptr; }

}  // namespace quorvane::pool
