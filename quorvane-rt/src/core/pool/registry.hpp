// The workers of a pool and their registry: the state that the search for
// work, the sleep protocol and the build share. Internal to the pool
// (workers.cpp, build.cpp); README.md describes the protocol.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/pool/deque.hpp"
#include "core/pool/futex.hpp"
#include "core/pool/injector.hpp"
#include "core/pool/job.hpp"

namespace quorvane::pool::detail {

// Sleep states of a worker (the futex word it sleeps on).
inline constexpr std::uint32_t kAwake = 0;           // running or searching
inline constexpr std::uint32_t kSleeping = 1;        // announced, about to sleep or asleep
inline constexpr std::uint32_t kWokenForWork = 2;    // claimed by a publisher of new work
inline constexpr std::uint32_t kWokenForLatch = 3;   // claimed by the setter of its latch

class Worker {
 public:
  Registry* registry = nullptr;
  std::size_t index = 0;
  JobDeque deque;
  alignas(64) std::atomic<std::uint32_t> sleep_state{kAwake};
  std::uint64_t rng = 0;
  // Owner only: this worker's bit in the registry's work hints is set. Clear
  // means the deque is certainly empty.
  bool hinted = false;

  // Owner only.
  void push(Job* job);
  Job* pop() noexcept;
  // Its own deque, then the other workers' (through the hints), then the
  // injection queue.
  Job* find_work();
  // Searches, runs what it finds, and sleeps when idle, until `flag` is
  // non-zero. A new worker starts with `sleep_first`: there is no work yet.
  void wait_until(const std::atomic<std::uint32_t>& flag, bool sleep_first) noexcept;

 private:
  Job* steal_from_others();
  void sleep(const std::atomic<std::uint32_t>& flag) noexcept;
  std::uint64_t next_random() noexcept {
    // xorshift64: only to spread the victims of different thieves.
    rng ^= rng << 13;
    rng ^= rng >> 7;
    rng ^= rng << 17;
    return rng;
  }
};

class Registry {
 public:
  explicit Registry(std::size_t n);

  // After publishing work (a push, an injection): wakes a sleeper unless a
  // worker is searching, which will find the work or pass it on.
  void notify_new_work() noexcept;
  // A searching worker stops searching (it found a job or leaves its wait).
  // When it was the last searcher and work is still visible, it wakes a
  // sleeper for it, so that no job waits while workers sleep.
  void leave_search() noexcept;
  // Claims one sleeping worker for new work and wakes it. False if none.
  bool wake_one_for_work() noexcept;
  // Claims `w` for its latch (or for termination) if it sleeps, and wakes it.
  static bool wake_for_latch(Worker& w) noexcept;
  // A job in some deque (by the hints) or in the injection queue.
  bool has_visible_work() const noexcept;

  void set_hint(std::size_t worker) noexcept {
    hints[worker / 64].fetch_or(std::uint64_t{1} << (worker % 64), std::memory_order_seq_cst);
  }
  void clear_hint(std::size_t worker) noexcept {
    hints[worker / 64].fetch_and(~(std::uint64_t{1} << (worker % 64)), std::memory_order_relaxed);
  }

  // Tells every worker to leave its loop and waits until all have exited.
  void terminate_and_wait() noexcept;

  const std::size_t thread_count;
  const std::size_t hint_words;
  // Searching workers beyond this many go to sleep without spinning first.
  const std::size_t spinners;
  std::unique_ptr<Worker[]> workers;
  // One bit per worker, set while its deque may hold jobs (set by the owner
  // before it pushes, cleared by the owner once it sees the deque empty): a
  // thief reads a word per 64 workers instead of every deque.
  std::unique_ptr<std::atomic<std::uint64_t>[]> hints;
  Injector injector;
  alignas(64) std::atomic<std::int64_t> sleepers{0};
  // Workers looking for work, counting those claimed by a waker and on their
  // way up (the waker counts them as it claims them).
  alignas(64) std::atomic<std::int64_t> searching{0};
  alignas(64) std::atomic<std::size_t> wake_cursor{0};
  std::atomic<std::uint32_t> terminate{0};
  std::atomic<std::uint32_t> live_threads{0};
};

// Runs `job` under the floating-point control state it carries, then restores
// the worker's own.
void run_job(Job* job) noexcept;

// The entry function of a worker thread; `argument` is a ThreadStart.
struct ThreadStart {
  std::shared_ptr<Registry> registry;
  std::size_t index;
};
void* worker_main(void* argument);

}  // namespace quorvane::pool::detail
