// Workers: their search for work, their sleep and wake-up, and the entry points
// that the templates of job.hpp call. README.md beside this file describes the
// protocol and why no wake-up is lost.
#include <algorithm>
#include <bit>
#include <cstdlib>

#include <sched.h>

#include "core/pool/pool.hpp"
#include "core/pool/registry.hpp"

namespace quorvane::pool::detail {

namespace {

// How long an idle worker keeps looking before it sleeps: kSpinRounds searches
// separated by a short busy pause, then kYieldRounds searches separated by
// sched_yield. Together well under a millisecond, so calls in quick succession
// find the workers awake while a quiet pool is asleep almost at once.
constexpr unsigned kSpinRounds = 16;
constexpr unsigned kPausesPerSpin = 32;
constexpr unsigned kYieldRounds = 64;

thread_local Worker* tls_worker = nullptr;
std::atomic<SleepProbe> g_sleep_probe{nullptr};
std::atomic<SleepProbe> g_latch_probe{nullptr};

}  // namespace

void set_sleep_probe(SleepProbe probe) noexcept {
  g_sleep_probe.store(probe, std::memory_order_release);
}

void set_latch_probe(SleepProbe probe) noexcept {
  g_latch_probe.store(probe, std::memory_order_release);
}

// ---------------------------------------------------------------------------
// The registry

Registry::Registry(std::size_t n)
    : thread_count(n),
      hint_words((n + 63) / 64),
      spinners(std::max<std::size_t>(logical_cpu_count(), 1)),
      workers(new Worker[n]),
      hints(new std::atomic<std::uint64_t>[(n + 63) / 64]) {
  for (std::size_t w = 0; w < hint_words; ++w) hints[w].store(0, std::memory_order_relaxed);
  for (std::size_t i = 0; i < n; ++i) {
    workers[i].registry = this;
    workers[i].index = i;
    workers[i].rng = 0x9E3779B97F4A7C15ull * (i + 1);
  }
}

void Registry::notify_new_work() noexcept {
  // Pairs with the fence of a sleeper (Worker::sleep) and of a searcher that
  // stops (leave_search): either this sees its announcement, or it sees this
  // work.
  full_fence();
  if (sleepers.load(std::memory_order_seq_cst) <= 0) return;
  if (searching.load(std::memory_order_seq_cst) > 0) return;
  wake_one_for_work();
}

void Registry::leave_search() noexcept {
  if (searching.fetch_sub(1, std::memory_order_seq_cst) > 1) return;
  full_fence();
  if (sleepers.load(std::memory_order_seq_cst) > 0 && has_visible_work()) wake_one_for_work();
}

bool Registry::wake_one_for_work() noexcept {
  // Counted as searching before it is claimed, so that a publisher that comes
  // next does not wake a second worker for what this one will find.
  searching.fetch_add(1, std::memory_order_seq_cst);
  const std::size_t start = wake_cursor.fetch_add(1, std::memory_order_relaxed);
  for (std::size_t k = 0; k < thread_count; ++k) {
    Worker& w = workers[(start + k) % thread_count];
    std::uint32_t expected = kSleeping;
    if (w.sleep_state.load(std::memory_order_relaxed) != kSleeping ||
        !w.sleep_state.compare_exchange_strong(expected, kWokenForWork, std::memory_order_acq_rel,
                                               std::memory_order_relaxed))
      continue;
    sleepers.fetch_sub(1, std::memory_order_seq_cst);
    futex_wake(w.sleep_state, 1);
    return true;
  }
  searching.fetch_sub(1, std::memory_order_seq_cst);
  return false;
}

bool Registry::wake_for_latch(Worker& w) noexcept {
  std::uint32_t expected = kSleeping;
  if (w.sleep_state.load(std::memory_order_relaxed) != kSleeping ||
      !w.sleep_state.compare_exchange_strong(expected, kWokenForLatch, std::memory_order_acq_rel,
                                             std::memory_order_relaxed))
    return false;
  w.registry->sleepers.fetch_sub(1, std::memory_order_seq_cst);
  futex_wake(w.sleep_state, 1);
  return true;
}

bool Registry::has_visible_work() const noexcept {
  if (injector.maybe_nonempty()) return true;
  // A set bit may be stale (a thief took the last job while its owner is
  // busy): the deque itself decides, or a stale bit would keep idle workers
  // from sleeping for as long as that owner's job runs.
  for (std::size_t w = 0; w < hint_words; ++w) {
    for (std::uint64_t bits = hints[w].load(std::memory_order_relaxed); bits != 0; bits &= bits - 1) {
      const std::size_t victim = w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
      if (workers[victim].deque.maybe_nonempty()) return true;
    }
  }
  return false;
}

void Registry::terminate_and_wait() noexcept {
  terminate.store(1, std::memory_order_release);
  full_fence();
  for (std::size_t i = 0; i < thread_count; ++i) wake_for_latch(workers[i]);
  for (std::uint32_t live; (live = live_threads.load(std::memory_order_acquire)) != 0;)
    futex_wait(live_threads, live);
}

// ---------------------------------------------------------------------------
// A worker

void Worker::push(Job* job) {
  if (!hinted) {
    // Before the job is visible: a thief or a sleeper that sees the job's
    // deque non-empty through the hints must not miss it.
    registry->set_hint(index);
    hinted = true;
  }
  deque.push(job);
}

Job* Worker::pop() noexcept {
  if (!hinted) return nullptr;  // certainly empty
  Job* job = deque.pop();
  if (deque.empty_for_owner()) {
    registry->clear_hint(index);
    hinted = false;
  }
  return job;
}

Job* Worker::find_work() {
  if (Job* job = pop()) return job;
  if (Job* job = steal_from_others()) return job;
  return registry->injector.pop();
}

Job* Worker::steal_from_others() {
  Registry& r = *registry;
  if (r.thread_count < 2) return nullptr;
  for (;;) {
    bool retry = false;
    // A random word to start at and a random rotation within each word, so
    // that thieves spread over the victims.
    const std::uint64_t random = next_random();
    const std::size_t first_word = static_cast<std::size_t>(random % r.hint_words);
    const int rotation = static_cast<int>((random >> 32) & 63);
    for (std::size_t k = 0; k < r.hint_words; ++k) {
      const std::size_t word = (first_word + k) % r.hint_words;
      std::uint64_t bits = r.hints[word].load(std::memory_order_relaxed);
      if (word == index / 64) bits &= ~(std::uint64_t{1} << (index % 64));
      bits = std::rotr(bits, rotation);
      while (bits != 0) {
        const int bit = std::countr_zero(bits);
        bits &= bits - 1;
        const std::size_t victim = word * 64 + static_cast<std::size_t>((bit + rotation) & 63);
        JobDeque& deque = r.workers[victim].deque;
        if (!deque.maybe_nonempty()) continue;  // a stale bit: no fence spent on it
        Job* job = nullptr;
        switch (deque.steal(&job)) {
          case JobDeque::Steal::taken: return job;
          case JobDeque::Steal::lost_race: retry = true; break;
          case JobDeque::Steal::empty: break;
        }
      }
    }
    if (!retry) return nullptr;
  }
}

void Worker::wait_until(const std::atomic<std::uint32_t>& flag, bool sleep_first) noexcept {
  Registry& r = *registry;
  try {
    r.searching.fetch_add(1, std::memory_order_seq_cst);
    unsigned idle = sleep_first ? kSpinRounds + kYieldRounds : 0;
    while (flag.load(std::memory_order_acquire) == 0) {
      if (Job* job = find_work()) {
        r.leave_search();
        run_job(job);
        r.searching.fetch_add(1, std::memory_order_seq_cst);
        idle = 0;
      } else if (idle < kSpinRounds + kYieldRounds &&
                 r.searching.load(std::memory_order_relaxed) > static_cast<std::int64_t>(r.spinners)) {
        // More searchers than processors: spinning would only take the
        // processor from the ones that have work.
        idle = kSpinRounds + kYieldRounds;
      } else if (idle < kSpinRounds) {
        for (unsigned i = 0; i < kPausesPerSpin; ++i) cpu_relax();
        ++idle;
      } else if (idle < kSpinRounds + kYieldRounds) {
        ::sched_yield();
        ++idle;
      } else {
        sleep(flag);
        idle = 0;
      }
    }
    r.leave_search();
  } catch (...) {
    // Jobs capture their own exceptions, so this is the queues' bookkeeping.
    fatal("worker bookkeeping failed");
  }
}

// Announce, re-check, commit (futex wait). A publisher of work or a latch
// setter either sees the announcement and claims this worker, or its work or
// latch is visible to the re-check; so no wake-up is lost between the
// re-check and the wait. On return the worker counts as searching again.
void Worker::sleep(const std::atomic<std::uint32_t>& flag) noexcept {
  Registry& r = *registry;
  if (SleepProbe probe = g_sleep_probe.load(std::memory_order_acquire)) probe();
  r.sleepers.fetch_add(1, std::memory_order_seq_cst);
  // Release: a waker that claims this state also sees the count above.
  sleep_state.store(kSleeping, std::memory_order_release);
  r.searching.fetch_sub(1, std::memory_order_seq_cst);
  full_fence();
  if (flag.load(std::memory_order_relaxed) != 0 || r.has_visible_work()) {
    const std::uint32_t previous = sleep_state.exchange(kAwake, std::memory_order_acquire);
    if (previous == kSleeping) r.sleepers.fetch_sub(1, std::memory_order_seq_cst);
    // A waker for work has counted this worker as searching already.
    if (previous != kWokenForWork) r.searching.fetch_add(1, std::memory_order_seq_cst);
    return;
  }
  std::uint32_t state;
  while ((state = sleep_state.load(std::memory_order_acquire)) == kSleeping)
    futex_wait(sleep_state, kSleeping);
  sleep_state.store(kAwake, std::memory_order_relaxed);
  if (state != kWokenForWork) r.searching.fetch_add(1, std::memory_order_seq_cst);
}

void run_job(Job* job) noexcept {
  // Read before the job runs: once its latch is set, it may be gone.
  const FpControl wanted = job->fp_control;
  const FpControl own = current_fp_control();
  if (wanted == own) {
    job->execute(job);
    return;
  }
  apply_fp_control(wanted);
  job->execute(job);
  apply_fp_control(own);
}

void* worker_main(void* argument) {
  std::shared_ptr<Registry> registry;
  std::size_t index;
  {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(argument));
    registry = std::move(start->registry);
    index = start->index;
  }
  Worker& self = registry->workers[index];
  tls_worker = &self;
  self.wait_until(registry->terminate, /*sleep_first=*/true);
  tls_worker = nullptr;
  if (registry->live_threads.fetch_sub(1, std::memory_order_acq_rel) == 1)
    futex_wake_all(registry->live_threads);
  return nullptr;  // the registry dies with the last reference
}

// ---------------------------------------------------------------------------
// Entry points used by the templates in job.hpp and pool.hpp

Worker* current_worker() noexcept { return tls_worker; }

Registry* registry_of(const Worker* worker) noexcept { return worker->registry; }

void push_local(Worker* worker, Job* job) noexcept {
  try {
    worker->push(job);
  } catch (...) {
    fatal("cannot grow a worker's job queue");
  }
  worker->registry->notify_new_work();
}

Job* pop_local(Worker* worker) noexcept { return worker->pop(); }

void execute_job(Worker*, Job* job) noexcept { run_job(job); }

void wait_on_worker(Worker* worker, const std::atomic<std::uint32_t>& flag) noexcept {
  worker->wait_until(flag, /*sleep_first=*/false);
}

void wake_latch_owner(Worker* owner) noexcept {
  if (SleepProbe probe = g_latch_probe.load(std::memory_order_acquire)) probe();
  // Pairs with the fence in Worker::sleep, whose re-check reads the latch.
  full_fence();
  Registry::wake_for_latch(*owner);
}

void inject(Registry* registry, Job* job) noexcept {
  try {
    registry->injector.push(job);
  } catch (...) {
    fatal("cannot queue a job for the pool");
  }
  registry->notify_new_work();
}

}  // namespace quorvane::pool::detail
