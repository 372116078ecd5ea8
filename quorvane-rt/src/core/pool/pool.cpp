// Workers, their search for work and their sleep, the injection queue, the
// process-wide slot with its fork handling, and the thread-count rules.
// README.md beside this file describes the protocol this code implements.
#include "core/pool/pool.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <string>

#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "core/pool/deque.hpp"
#include "core/pool/futex.hpp"
#include "core/support/failure.hpp"

namespace quorvane::pool {
namespace detail {

// ---------------------------------------------------------------------------
// Primitives

void futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
  long r = ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE,
                     expected, nullptr, nullptr, 0);
  if (r != 0 && errno != EAGAIN && errno != EINTR) fatal("futex wait failed");
}

void futex_wake(std::atomic<std::uint32_t>& word, int count) noexcept {
  long r = ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE,
                     count, nullptr, nullptr, 0);
  if (r < 0) fatal("futex wake failed");
}

void fatal(const char* what) noexcept {
  char line[256];
  int n = std::snprintf(line, sizeof line, "quorvane worker pool: %s; aborting\n", what);
  if (n > 0) {
    ssize_t ignored = ::write(STDERR_FILENO, line, std::min<std::size_t>(n, sizeof line - 1));
    (void)ignored;
  }
  std::abort();
}

namespace {

// How long an idle worker keeps looking before it sleeps: kSpinRounds searches
// separated by a short busy pause, then kYieldRounds searches separated by
// sched_yield. Together well under a millisecond, so calls in quick succession
// find the workers awake while a quiet pool is asleep almost at once.
constexpr unsigned kSpinRounds = 16;
constexpr unsigned kPausesPerSpin = 32;
constexpr unsigned kYieldRounds = 64;

// Sleep states of a worker (the futex word it sleeps on).
constexpr std::uint32_t kAwake = 0;     // running or searching
constexpr std::uint32_t kSleeping = 1;  // announced, about to sleep or asleep
constexpr std::uint32_t kNotified = 2;  // a waker claimed it; it will wake up

}  // namespace

// ---------------------------------------------------------------------------
// Injection queue: jobs from threads outside the pool. Few and coarse, so a
// mutex is cheap; the counter lets idle workers skip the lock when empty.

class Injector {
 public:
  void push(Job* job) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      jobs_.push_back(job);
    }
    count_.fetch_add(1, std::memory_order_release);
  }
  Job* pop() {
    if (count_.load(std::memory_order_acquire) == 0) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    if (jobs_.empty()) return nullptr;
    Job* job = jobs_.front();
    jobs_.pop_front();
    count_.fetch_sub(1, std::memory_order_relaxed);
    return job;
  }
  bool maybe_nonempty() const noexcept { return count_.load(std::memory_order_relaxed) != 0; }
  const std::atomic<std::size_t>& counter() const noexcept { return count_; }

 private:
  std::mutex mutex_;
  std::deque<Job*> jobs_;
  std::atomic<std::size_t> count_{0};
};

// ---------------------------------------------------------------------------
// Workers and their registry

class Worker {
 public:
  Registry* registry = nullptr;
  std::size_t index = 0;
  JobDeque deque;
  alignas(64) std::atomic<std::uint32_t> sleep_state{kAwake};
  std::uint64_t rng = 0;

  Job* find_work();
  void wait_until(const std::atomic<std::uint32_t>& flag) noexcept;

 private:
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
  explicit Registry(std::size_t n) : thread_count(n), workers(new Worker[n]) {
    for (std::size_t i = 0; i < n; ++i) {
      workers[i].registry = this;
      workers[i].index = i;
      workers[i].rng = 0x9E3779B97F4A7C15ull * (i + 1);
    }
  }

  // After publishing work (a push, an injection): wake one sleeper if any.
  void notify_new_work() noexcept {
    // Pairs with the fence in Worker::sleep: either this load sees the
    // sleeper's announcement, or the sleeper's re-check sees the new work.
    full_fence();
    if (sleepers.load(std::memory_order_relaxed) != 0) wake_one();
  }

  void wake_one() noexcept {
    std::size_t start = wake_cursor.fetch_add(1, std::memory_order_relaxed);
    for (std::size_t k = 0; k < thread_count; ++k) {
      if (wake(workers[(start + k) % thread_count])) return;
    }
  }

  // True when this call moved `w` from sleeping to notified (and woke it).
  static bool wake(Worker& w) noexcept {
    std::uint32_t expected = kSleeping;
    if (w.sleep_state.load(std::memory_order_relaxed) != kSleeping ||
        !w.sleep_state.compare_exchange_strong(expected, kNotified, std::memory_order_release,
                                               std::memory_order_relaxed))
      return false;
    futex_wake(w.sleep_state, 1);
    return true;
  }

  bool has_visible_work() const noexcept {
    if (injector.maybe_nonempty()) return true;
    for (std::size_t i = 0; i < thread_count; ++i)
      if (workers[i].deque.maybe_nonempty()) return true;
    return false;
  }

  // Tells every worker to leave its loop and waits until all have exited.
  void terminate_and_wait() noexcept {
    terminate.store(1, std::memory_order_release);
    full_fence();
    for (std::size_t i = 0; i < thread_count; ++i) wake(workers[i]);
    for (std::uint32_t live; (live = live_threads.load(std::memory_order_acquire)) != 0;)
      futex_wait(live_threads, live);
  }

  const std::size_t thread_count;
  std::unique_ptr<Worker[]> workers;
  Injector injector;
  alignas(64) std::atomic<std::uint32_t> sleepers{0};
  std::atomic<std::size_t> wake_cursor{0};
  std::atomic<std::uint32_t> terminate{0};
  std::atomic<std::uint32_t> live_threads{0};
};

namespace {

thread_local Worker* tls_worker = nullptr;
std::atomic<SleepProbe> g_sleep_probe{nullptr};

}  // namespace

void set_sleep_probe(SleepProbe probe) noexcept {
  g_sleep_probe.store(probe, std::memory_order_release);
}

Job* Worker::find_work() {
  if (Job* job = deque.pop()) return job;
  const std::size_t n = registry->thread_count;
  if (n > 1) {
    bool retry;
    do {
      retry = false;
      std::size_t start = static_cast<std::size_t>(next_random() % n);
      for (std::size_t k = 0; k < n; ++k) {
        std::size_t victim = (start + k) % n;
        if (victim == index) continue;
        Job* job = nullptr;
        switch (registry->workers[victim].deque.steal(&job)) {
          case JobDeque::Steal::taken: return job;
          case JobDeque::Steal::lost_race: retry = true; break;
          case JobDeque::Steal::empty: break;
        }
      }
    } while (retry);
  }
  return registry->injector.pop();
}

void Worker::wait_until(const std::atomic<std::uint32_t>& flag) noexcept {
  try {
    unsigned idle = 0;
    while (flag.load(std::memory_order_acquire) == 0) {
      if (Job* job = find_work()) {
        job->execute(job);
        idle = 0;
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
  } catch (...) {
    // Jobs capture their own exceptions, so this is the queues' bookkeeping.
    fatal("worker bookkeeping failed");
  }
}

// Prepare (announce), re-check, commit (futex wait). A waker either sees the
// announcement and claims this worker, or its work / latch is visible to the
// re-check; so a wake-up cannot be lost between the re-check and the wait.
void Worker::sleep(const std::atomic<std::uint32_t>& flag) noexcept {
  if (SleepProbe probe = g_sleep_probe.load(std::memory_order_acquire)) probe();
  sleep_state.store(kSleeping, std::memory_order_relaxed);
  registry->sleepers.fetch_add(1, std::memory_order_relaxed);
  full_fence();
  if (flag.load(std::memory_order_relaxed) != 0 || registry->has_visible_work()) {
    std::uint32_t previous = sleep_state.exchange(kAwake, std::memory_order_acquire);
    registry->sleepers.fetch_sub(1, std::memory_order_relaxed);
    // A waker picked this worker for new work that it may not be the one to
    // run (it may be leaving for its own latch); hand the wake-up on.
    if (previous == kNotified) registry->wake_one();
    return;
  }
  while (sleep_state.load(std::memory_order_acquire) == kSleeping)
    futex_wait(sleep_state, kSleeping);
  sleep_state.store(kAwake, std::memory_order_relaxed);
  registry->sleepers.fetch_sub(1, std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------
// Entry points used by the templates in pool.hpp

Worker* current_worker() noexcept { return tls_worker; }

Registry* registry_of(const Worker* worker) noexcept { return worker->registry; }

std::size_t registry_thread_count(const Registry* registry) noexcept {
  return registry->thread_count;
}

void push_local(Worker* worker, Job* job) noexcept {
  try {
    worker->deque.push(job);
  } catch (...) {
    fatal("cannot grow a worker's job queue");
  }
  worker->registry->notify_new_work();
}

Job* pop_local(Worker* worker) noexcept { return worker->deque.pop(); }

void execute_job(Worker*, Job* job) noexcept { job->execute(job); }

void wait_on_worker(Worker* worker, const std::atomic<std::uint32_t>& flag) noexcept {
  worker->wait_until(flag);
}

void wake_latch_owner(Worker* owner) noexcept {
  // Pairs with the fence in Worker::sleep, whose re-check reads the latch.
  full_fence();
  Registry::wake(*owner);
}

void inject(Registry* registry, Job* job) noexcept {
  try {
    registry->injector.push(job);
  } catch (...) {
    fatal("cannot queue a job for the pool");
  }
  registry->notify_new_work();
}

void LockLatch::wait() noexcept {
  // The job usually takes microseconds: poll first, then give the processor
  // away a few times, then sleep.
  for (unsigned i = 0; i < 256; ++i) {
    if (state_.load(std::memory_order_acquire) == kSet) return;
    cpu_relax();
  }
  for (unsigned i = 0; i < 16; ++i) {
    if (state_.load(std::memory_order_acquire) == kSet) return;
    ::sched_yield();
  }
  std::uint32_t expected = kUnset;
  if (!state_.compare_exchange_strong(expected, kWaiterAsleep, std::memory_order_acquire,
                                      std::memory_order_acquire))
    return;  // set meanwhile
  while (state_.load(std::memory_order_acquire) != kSet) futex_wait(state_, kWaiterAsleep);
}

void LockLatch::wake() noexcept { futex_wake_all(state_); }

namespace {

struct ThreadStart {
  std::shared_ptr<Registry> registry;
  std::size_t index;
};

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
  self.wait_until(registry->terminate);
  tls_worker = nullptr;
  if (registry->live_threads.fetch_sub(1, std::memory_order_acq_rel) == 1)
    futex_wake_all(registry->live_threads);
  return nullptr;  // the registry dies with the last reference
}

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
}  // namespace detail

// ---------------------------------------------------------------------------
// WorkerPool

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
  for (std::size_t i = 0; i < n; ++i) {
    auto start = std::make_unique<detail::ThreadStart>(detail::ThreadStart{registry_, i});
    registry_->live_threads.fetch_add(1, std::memory_order_relaxed);
    int error = spawner ? spawner(i, &detail::worker_main, start.get())
                        : spawn_detached_thread(&detail::worker_main, start.get());
    if (error == 0) {
      start.release();  // the thread owns it now
      continue;
    }
    registry_->live_threads.fetch_sub(1, std::memory_order_relaxed);
    start.reset();
    registry_->terminate_and_wait();
    registry_.reset();
    throw PoolBuildError(detail::spawn_failure_description(i, n, error), error);
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

// ---------------------------------------------------------------------------
// The process-wide pool

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

// In the child of a fork only the forking thread exists: the parent's workers,
// and any thread that was building the pool, are gone. The child forgets the
// parent's pool without touching it (no destructor, no lock that a vanished
// thread may hold: it is simply leaked) and builds its own on first use.
void forget_pool_in_child() noexcept {
  g_pool = nullptr;
  g_slot_state.store(kUnbuilt, std::memory_order_relaxed);
}

// Registered while the library is loaded, before any thread can build a pool.
const int g_atfork_registered = ::pthread_atfork(nullptr, nullptr, &forget_pool_in_child);

WorkerPool& build_global_pool() {
  std::string description;
  WorkerPool* built = nullptr;
  try {
    // The environment is read here and nowhere else.
    std::size_t n = threads_from_environment(std::getenv("RAYON_NUM_THREADS"),
                                             std::getenv("RAYON_RS_NUM_CPUS"),
                                             logical_cpu_count());
    built = new WorkerPool(n, g_spawner != nullptr ? *g_spawner : ThreadSpawner{});
  } catch (const PoolBuildError& error) {
    description = error.description();
  } catch (const std::bad_alloc&) {
    description = "out of memory while building the pool";
  }
  g_pool = built;
  std::uint32_t previous =
      g_slot_state.exchange(built != nullptr ? kBuilt : kFailed, std::memory_order_acq_rel);
  if (previous == kBuildingWithWaiters) detail::futex_wake_all(g_slot_state);
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

void detail::set_global_pool_spawner(ThreadSpawner spawner) {
  delete g_spawner;
  g_spawner = spawner ? new ThreadSpawner(std::move(spawner)) : nullptr;
}

std::size_t thread_count() {
  if (detail::Worker* worker = detail::current_worker()) return worker->registry->thread_count;
  return global_pool().thread_count();
}

bool on_worker_thread() noexcept { return detail::current_worker() != nullptr; }

// ---------------------------------------------------------------------------
// Thread count

namespace {

// An optional single '+', then one or more ASCII digits and nothing else,
// fitting in 64 bits.
bool parse_count(const char* text, std::uint64_t& value) noexcept {
  if (text == nullptr) return false;
  const char* p = text;
  if (*p == '+') ++p;
  if (*p == '\0') return false;
  std::uint64_t v = 0;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    auto digit = static_cast<std::uint64_t>(*p - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  value = v;
  return true;
}

}  // namespace

std::size_t threads_from_environment(const char* rayon_num_threads,
                                     const char* rayon_rs_num_cpus,
                                     std::size_t logical_cpus) noexcept {
  const std::uint64_t cpus = std::max<std::size_t>(logical_cpus, 1);
  std::uint64_t count = cpus;
  std::uint64_t value = 0;
  if (parse_count(rayon_num_threads, value)) {
    count = value == 0 ? cpus : value;
  } else if (parse_count(rayon_rs_num_cpus, value) && value >= 1) {
    count = value;
  }
  return static_cast<std::size_t>(std::min<std::uint64_t>(count, kMaxThreads));
}

std::size_t logical_cpu_count() noexcept {
  // The affinity mask may be wider than cpu_set_t: grow the set until the
  // kernel accepts its size.
  for (std::size_t cpus = 1024; cpus <= (std::size_t{1} << 22); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) break;
    const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(bytes, set);
    if (::sched_getaffinity(0, bytes, set) == 0) {
      int count = CPU_COUNT_S(bytes, set);
      CPU_FREE(set);
      if (count > 0) return static_cast<std::size_t>(count);
      break;
    }
    const int error = errno;
    CPU_FREE(set);
    if (error != EINVAL) break;
  }
  long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::size_t>(online) : 1;
}

}  // namespace quorvane::pool
