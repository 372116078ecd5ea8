// Native tests of the worker pool: fork-join results and exceptions, stealing,
// the sleep of an idle pool and its cost as the pool grows, wake-ups that must
// not be lost, interrupted waits, the caller's floating-point state, the
// thread-count rules, failed and stopped builds, and fork().
//
// Tests that need a fresh process-wide pool (the environment, a failed global
// build, fork handling) run in a forked child with a deadline in the parent;
// everything else builds its own WorkerPool.
#include "core/pool/pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cfenv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <new>

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "core/platform/platform.hpp"
#include "core/weights/tangent_flow.hpp"
#include "core/parallel/tangent_flow_parallel.hpp"
#include "core/support/failure.hpp"
#include "core/support/interrupt.hpp"

#if defined(__SANITIZE_THREAD__)
// The fork tests start threads in a child of a multi-threaded process, which
// ThreadSanitizer supports but refuses by default. The runtime looks this
// function up dynamically, so it must stay visible despite -fvisibility=hidden.
extern "C" __attribute__((visibility("default"), used)) const char* __tsan_default_options() {
  return "die_after_fork=0";
}
#endif

namespace {

using namespace std::chrono_literals;
namespace qp = quorvane::pool;
namespace qpl = quorvane::platform;

// Polls `condition` until it holds or `limit` passes, so that a scheduling bug
// fails a test instead of hanging it.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// Runs `body` in a forked child and returns its exit status: body's return
// value, 98 for an escaped exception, 128 + signal for a signal, -1 when the
// child had to be killed at the deadline.
int run_in_child(const std::function<int()>& body, std::chrono::seconds limit = 15s) {
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) return -2;
  if (pid == 0) {
    int code = 98;
    try {
      code = body();
    } catch (...) {
    }
    std::fflush(nullptr);
    ::_exit(code);
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      return 128 + WTERMSIG(status);
    }
    if (r < 0 && errno != EINTR) return -3;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(2ms);
  }
}

double process_cpu_seconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Sum of [lo, hi) by recursive halving down to `grain` elements; also counts
// the leaves that ran on a worker thread.
std::uint64_t range_sum(std::uint64_t lo, std::uint64_t hi, std::uint64_t grain,
                        std::atomic<std::uint64_t>& leaves_off_worker) {
  if (hi - lo <= grain) {
    if (!qp::on_worker_thread()) leaves_off_worker.fetch_add(1);
    std::uint64_t s = 0;
    for (std::uint64_t i = lo; i < hi; ++i) s += i;
    return s;
  }
  const std::uint64_t mid = lo + (hi - lo) / 2;
  auto [left, right] =
      qp::join([&] { return range_sum(lo, mid, grain, leaves_off_worker); },
               [&] { return range_sum(mid, hi, grain, leaves_off_worker); });
  return left + right;
}

// A spawner that records the order of the requests, fails the one at
// `fail_at`, and counts the started threads whose entry function returned.
// Instances live until the process ends, on purpose: a thread may count its
// exit after the test that made it has given up waiting. They stay reachable
// from `all()`, so the leak checker does not report them.
struct SpawnRecorder {
  // What the request at `fail_at` does instead of starting a thread.
  enum class Failure { error_code, throws, out_of_memory };

  static SpawnRecorder& make(std::size_t fail_at = SIZE_MAX, int error = EAGAIN,
                             Failure how = Failure::error_code) {
    auto* r = new SpawnRecorder;
    r->fail_at = fail_at;
    r->error = error;
    r->how = how;
    static std::mutex guard;
    std::lock_guard<std::mutex> lock(guard);
    all().push_back(r);
    return *r;
  }
  static std::vector<SpawnRecorder*>& all() {
    static auto* recorders = new std::vector<SpawnRecorder*>();
    return *recorders;
  }

  qp::ThreadSpawner spawner() {
    return [this](std::size_t index, void* (*entry)(void*), void* argument) -> int {
      {
        std::lock_guard<std::mutex> lock(mutex);
        order.push_back(index);
      }
      if (index == fail_at) {
        if (how == Failure::throws) throw std::runtime_error("spawner failed");
        if (how == Failure::out_of_memory) throw std::bad_alloc();
        return error;
      }
      auto* t = new Trampoline{entry, argument, this};
      int e = qp::spawn_detached_thread(&Trampoline::run, t);
      if (e != 0) {
        delete t;
        return e;
      }
      started.fetch_add(1);
      return 0;
    };
  }

  std::vector<std::size_t> spawn_order() {
    std::lock_guard<std::mutex> lock(mutex);
    return order;
  }

  struct Trampoline {
    void* (*entry)(void*);
    void* argument;
    SpawnRecorder* recorder;
    static void* run(void* p) {
      std::unique_ptr<Trampoline> t(static_cast<Trampoline*>(p));
      t->entry(t->argument);
      t->recorder->exited.fetch_add(1);
      return nullptr;
    }
  };

  std::size_t fail_at = SIZE_MAX;
  int error = EAGAIN;
  Failure how = Failure::error_code;
  std::mutex mutex;
  std::vector<std::size_t> order;
  std::atomic<int> started{0};
  std::atomic<int> exited{0};
};

// A pool test that hangs (a lost wake-up, a join that never sees its right
// half) ends the run with a message instead of hanging it.
class HangWatchdog : public ::testing::EmptyTestEventListener {
 public:
  static constexpr auto kLimit = 60s;

  void OnTestStart(const ::testing::TestInfo& info) override {
    if (std::string(info.test_suite_name()).find("Pool") == std::string::npos) return;
    std::lock_guard<std::mutex> lock(mutex_);
    name_ = std::string(info.test_suite_name()) + "." + info.name();
    deadline_ = std::chrono::steady_clock::now() + kLimit;
    armed_ = true;
    if (!started_) started_ = start_thread();
    changed_.notify_all();
  }
  void OnTestEnd(const ::testing::TestInfo&) override {
    std::lock_guard<std::mutex> lock(mutex_);
    armed_ = false;
    changed_.notify_all();
  }
  void OnTestProgramEnd(const ::testing::UnitTest&) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
      changed_.notify_all();
    }
    if (started_) ::pthread_join(thread_, nullptr);
  }

 private:
  // A stack size no other thread here uses: after fork() the C library hands
  // the stacks of the parent's vanished threads to new threads of the same
  // size, and ThreadSanitizer would take a child's thread reusing this one's
  // for a duplicate of a thread it still believes alive.
  static constexpr std::size_t kStackBytes = 384 * 1024;

  bool start_thread() {
    pthread_attr_t attr;
    if (::pthread_attr_init(&attr) != 0) return false;
    ::pthread_attr_setstacksize(&attr, kStackBytes);
    int e = ::pthread_create(
        &thread_, &attr, [](void* self) -> void* {
          static_cast<HangWatchdog*>(self)->watch();
          return nullptr;
        },
        this);
    ::pthread_attr_destroy(&attr);
    return e == 0;
  }

  void watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
      if (!armed_) {
        changed_.wait(lock);
      } else if (changed_.wait_until(lock, deadline_) == std::cv_status::timeout && armed_ &&
                 std::chrono::steady_clock::now() >= deadline_) {
        std::fprintf(stderr, "%s did not finish within %lld s: the pool hangs\n", name_.c_str(),
                     static_cast<long long>(kLimit.count()));
        std::fflush(stderr);
        ::_exit(3);
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  pthread_t thread_{};
  bool started_ = false;
  std::string name_;
  std::chrono::steady_clock::time_point deadline_;
  bool armed_ = false;
  bool stop_ = false;
};

const bool g_watchdog_installed = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new HangWatchdog);
  return true;
}();

bool starts_with(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

bool contains(const std::string& s, const std::string& part) {
  return s.find(part) != std::string::npos;
}

// ---------------------------------------------------------------------------
// Fork-join results, over several pool sizes

class PoolJoinSizes : public ::testing::TestWithParam<std::size_t> {};

INSTANTIATE_TEST_SUITE_P(Threads, PoolJoinSizes, ::testing::Values(1, 2, 4),
                         [](const auto& info) { return std::to_string(info.param); });

int nested_chain(int depth, std::vector<int>& seen_depths) {
  if (depth == 0) return 0;
  auto [below, here] = qp::join([&] { return nested_chain(depth - 1, seen_depths); },
                                [&] {
                                  seen_depths[static_cast<std::size_t>(depth - 1)] = depth;
                                  return qp::on_worker_thread() ? 1 : 1000;
                                });
  return below + here;
}

TEST_P(PoolJoinSizes, NestedJoinToDepthTwenty) {
  qp::WorkerPool pool(GetParam());
  std::vector<int> seen(20, 0);
  int total = pool.run_in_pool([&] { return nested_chain(20, seen); });
  EXPECT_EQ(total, 20);  // twenty right halves, each on a worker
  for (int d = 1; d <= 20; ++d) EXPECT_EQ(seen[static_cast<std::size_t>(d - 1)], d);
}

std::uint64_t count_leaves(int depth) {
  if (depth == 0) return 1;
  auto [a, b] = qp::join([&] { return count_leaves(depth - 1); },
                         [&] { return count_leaves(depth - 1); });
  return a + b;
}

TEST_P(PoolJoinSizes, BinaryTreeOfJoinsCountsEveryLeaf) {
  qp::WorkerPool pool(GetParam());
  EXPECT_EQ(pool.run_in_pool([] { return count_leaves(12); }), std::uint64_t{1} << 12);
}

TEST_P(PoolJoinSizes, RecursiveSumMatchesClosedForm) {
  qp::WorkerPool pool(GetParam());
  for (std::uint64_t n : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{999},
                          std::uint64_t{1000}, std::uint64_t{1001}, std::uint64_t{1000003}}) {
    std::atomic<std::uint64_t> off_worker{0};
    std::uint64_t sum = pool.run_in_pool([&] { return range_sum(0, n, 1000, off_worker); });
    EXPECT_EQ(sum, n == 0 ? 0 : n * (n - 1) / 2) << "n = " << n;
    EXPECT_EQ(off_worker.load(), 0u);
  }
}

TEST_P(PoolJoinSizes, JoinFromOutsideEntersThePool) {
  qp::WorkerPool pool(GetParam());
  EXPECT_FALSE(pool.owns_current_thread());
  auto [a, b] = pool.join([&] { return pool.owns_current_thread(); },
                          [&] { return pool.owns_current_thread(); });
  EXPECT_TRUE(a);
  EXPECT_TRUE(b);
}

TEST_P(PoolJoinSizes, ManyExternalThreadsEachGetTheirOwnResult) {
  qp::WorkerPool pool(GetParam());
  constexpr int kThreads = 4;
  constexpr int kCalls = 150;
  std::atomic<int> wrong{0};
  std::vector<std::thread> submitters;
  for (int t = 0; t < kThreads; ++t) {
    submitters.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        const std::uint64_t key = static_cast<std::uint64_t>(t) * 100000 + static_cast<std::uint64_t>(i);
        auto [x, y] = pool.join([&] { return key * 3; }, [&] { return std::to_string(key); });
        std::uint64_t z = pool.run_in_pool([&] { return key + 7; });
        if (x != key * 3 || y != std::to_string(key) || z != key + 7) wrong.fetch_add(1);
      }
    });
  }
  for (auto& s : submitters) s.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST_P(PoolJoinSizes, MoveOnlyAndVoidResults) {
  qp::WorkerPool pool(GetParam());
  int side = 0;
  auto [p, nothing] = pool.join([] { return std::make_unique<int>(41); }, [&] { side = 5; });
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(*p, 41);
  EXPECT_EQ(side, 5);
  EXPECT_EQ(nothing, qp::NoResult{});

  auto owned = std::make_unique<std::string>("moved in");
  std::optional<std::string> text =
      pool.run_in_pool([o = std::move(owned)] { return std::optional<std::string>(*o); });
  EXPECT_EQ(text, std::optional<std::string>("moved in"));

  int ran = 0;
  pool.run_in_pool([&] { ++ran; });
  EXPECT_EQ(ran, 1);
}

// ---------------------------------------------------------------------------
// Where jobs run

TEST(PoolPlacement, RunInPoolOnAWorkerRunsInline) {
  qp::WorkerPool pool(3);
  EXPECT_FALSE(qp::on_worker_thread());
  struct Seen {
    std::thread::id outer, inner, free_inner;
    bool on_worker = false;
    std::size_t count_inside = 0;
  };
  Seen seen = pool.run_in_pool([&] {
    Seen s;
    s.outer = std::this_thread::get_id();
    s.inner = pool.run_in_pool([] { return std::this_thread::get_id(); });
    s.free_inner = qp::run_in_pool([] { return std::this_thread::get_id(); });
    s.on_worker = qp::on_worker_thread();
    s.count_inside = qp::thread_count();  // this pool's, not the global one's
    return s;
  });
  EXPECT_NE(seen.outer, std::this_thread::get_id());
  EXPECT_EQ(seen.inner, seen.outer);
  EXPECT_EQ(seen.free_inner, seen.outer);
  EXPECT_TRUE(seen.on_worker);
  EXPECT_EQ(seen.count_inside, 3u);
  EXPECT_EQ(pool.thread_count(), 3u);
}

TEST(PoolPlacement, StolenRightHalfRunsOnAnotherWorker) {
  for (std::size_t threads : {2, 4}) {
    qp::WorkerPool pool(threads);
    for (int round = 0; round < 5; ++round) {
      std::atomic<bool> right_started{false};
      std::thread::id right_thread;
      auto [left, nothing] = pool.join(
          [&] {
            // The right half can only start while this one waits if another
            // worker took it from this worker's queue.
            bool saw = eventually([&] { return right_started.load(); });
            return std::make_pair(saw, std::this_thread::get_id());
          },
          [&] {
            right_thread = std::this_thread::get_id();
            right_started = true;
          });
      (void)nothing;
      auto [left_saw_right, left_thread] = left;
      EXPECT_TRUE(left_saw_right) << threads << " threads, round " << round;
      EXPECT_NE(right_thread, left_thread);
    }
  }
}

TEST(PoolPlacement, WorkersHaveTheirStackAndAreDetached) {
  struct Attributes {
    std::size_t stack = 0;
    int detach = -1;
  };
  auto attributes = [] {
    Attributes a;
    pthread_attr_t attr;
    if (::pthread_getattr_np(::pthread_self(), &attr) == 0) {
      ::pthread_attr_getstacksize(&attr, &a.stack);
      ::pthread_attr_getdetachstate(&attr, &a.detach);
      ::pthread_attr_destroy(&attr);
    }
    return a;
  };
  Attributes global = qp::run_in_pool(attributes);
  EXPECT_EQ(global.stack, qp::kWorkerStackBytes);
  EXPECT_EQ(global.detach, PTHREAD_CREATE_DETACHED);
  qp::WorkerPool pool(2);
  Attributes own = pool.run_in_pool(attributes);
  EXPECT_EQ(own.stack, qp::kWorkerStackBytes);
  EXPECT_EQ(own.detach, PTHREAD_CREATE_DETACHED);
}

// ---------------------------------------------------------------------------
// Failures inside jobs

enum class Failing { left, right, both };

struct FailureCase {
  Failing failing;
  std::size_t threads;  // 1: the right half is taken back and run inline; 2: it is stolen
};

class PoolJoinFailure : public ::testing::TestWithParam<FailureCase> {};

INSTANTIATE_TEST_SUITE_P(
    Cases, PoolJoinFailure,
    ::testing::Values(FailureCase{Failing::left, 1}, FailureCase{Failing::right, 1},
                      FailureCase{Failing::both, 1}, FailureCase{Failing::left, 2},
                      FailureCase{Failing::right, 2}, FailureCase{Failing::both, 2}),
    [](const auto& info) {
      const char* which = info.param.failing == Failing::left    ? "Left"
                          : info.param.failing == Failing::right ? "Right"
                                                                 : "Both";
      return std::string(which) + (info.param.threads == 1 ? "Inline" : "Stolen");
    });

TEST_P(PoolJoinFailure, BothHalvesFinishBeforeTheFailurePropagates) {
  const FailureCase c = GetParam();
  const bool stolen = c.threads > 1;
  qp::WorkerPool pool(c.threads);
  for (int round = 0; round < 3; ++round) {
    std::atomic<bool> right_started{false}, right_finished{false}, left_finished{false};
    std::atomic<bool> left_saw_right{!stolen};
    auto left = [&]() -> int {
      if (stolen) left_saw_right = eventually([&] { return right_started.load(); });
      left_finished = true;
      if (c.failing != Failing::right) throw std::runtime_error("left failed");
      return 1;
    };
    auto right = [&]() -> int {
      right_started = true;
      // Still busy when the left half fails, so a join that does not wait
      // for its right half is caught.
      if (stolen) std::this_thread::sleep_for(20ms);
      right_finished = true;
      if (c.failing != Failing::left) throw std::runtime_error("right failed");
      return 2;
    };
    std::string caught;
    bool finished_at_catch = false;
    try {
      pool.join(left, right);
    } catch (const std::runtime_error& e) {
      caught = e.what();
      finished_at_catch = left_finished.load() && right_finished.load();
    }
    EXPECT_EQ(caught, c.failing == Failing::right ? "right failed" : "left failed");
    EXPECT_TRUE(finished_at_catch);
    EXPECT_TRUE(left_saw_right.load());
  }
}

TEST(PoolJobFailure, RunInPoolRethrowsTheJobsOwnException) {
  struct Custom {
    int code;
  };
  qp::WorkerPool pool(2);
  int code = 0;
  try {
    pool.run_in_pool([]() -> int { throw Custom{17}; });
  } catch (const Custom& e) {
    code = e.code;
  }
  EXPECT_EQ(code, 17);
  // The pool is unharmed.
  EXPECT_EQ(pool.run_in_pool([] { return 3; }), 3);
}

TEST(PoolJobFailure, FailureDeepInsideNestedJoinsReachesTheCaller) {
  qp::WorkerPool pool(2);
  std::atomic<int> leaves{0};
  std::function<int(int, int)> tree = [&](int depth, int id) -> int {
    if (depth == 0) {
      leaves.fetch_add(1);
      // Leaves of tree(6, 1) have ids 64 to 127.
      if (id == 64 + 37) throw std::runtime_error("leaf 37");
      return 1;
    }
    auto [a, b] = qp::join([&] { return tree(depth - 1, 2 * id); },
                           [&] { return tree(depth - 1, 2 * id + 1); });
    return a + b;
  };
  std::string caught;
  try {
    pool.run_in_pool([&] { return tree(6, 1); });
  } catch (const std::runtime_error& e) {
    caught = e.what();
  }
  EXPECT_EQ(caught, "leaf 37");
  EXPECT_EQ(leaves.load(), 64);  // no half is abandoned
}

// ---------------------------------------------------------------------------
// Sleeping

TEST(PoolIdle, QuietPoolUsesNoProcessorTime) {
  qp::WorkerPool pool(2);
  std::atomic<std::uint64_t> off_worker{0};
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(pool.run_in_pool([&] { return range_sum(0, 10000, 100, off_worker); }),
              std::uint64_t{10000} * 9999 / 2);
    EXPECT_EQ(qp::run_in_pool([&] { return range_sum(0, 10000, 100, off_worker); }),
              std::uint64_t{10000} * 9999 / 2);
  }
  const double before = process_cpu_seconds();
  std::this_thread::sleep_for(1s);
  const double used = process_cpu_seconds() - before;
  // One worker that kept spinning or yielding would use about a second.
  EXPECT_LT(used, 0.2);
  // And the sleepers wake up for new work.
  EXPECT_EQ(pool.join([] { return 1; }, [] { return 2; }), std::make_pair(1, 2));
}

// A thief took the only job of a worker that is busy for a while: the
// worker's hint that its deque holds jobs is stale until it looks again. The
// idle workers must still fall asleep meanwhile instead of searching on.
TEST(PoolIdle, StolenLastJobOfABusyWorkerDoesNotKeepTheOthersAwake) {
  qp::WorkerPool pool(3);
  std::atomic<bool> b_ran{false};
  double used = -1;
  pool.join(
      [&] {
        eventually([&] { return b_ran.load(); });
        std::this_thread::sleep_for(100ms);  // the idle workers settle
        const double before = process_cpu_seconds();
        std::this_thread::sleep_for(500ms);
        used = process_cpu_seconds() - before;
      },
      [&] { b_ran = true; });
  // Two workers that kept searching would use up to a second; asleep, none.
  EXPECT_GE(used, 0.0);
  EXPECT_LT(used, 0.05);
}

// Submissions timed to land while workers are at every stage of going to sleep
// (spinning, yielding, announcing, asleep). A lost wake-up leaves a submitter
// blocked for ever; the child's deadline turns that into a failure.
TEST(PoolIdle, NoWakeUpIsLostWhileWorkersFallAsleep) {
  int status = run_in_child([]() -> int {
    qp::WorkerPool pool(2);
    std::atomic<int> wrong{0};
    std::vector<std::thread> submitters;
    for (int t = 0; t < 2; ++t) {
      submitters.emplace_back([&, t] {
        std::uint64_t rng = 0x2545F4914F6CDD1Dull + static_cast<std::uint64_t>(t);
        for (int i = 0; i < 300; ++i) {
          rng ^= rng << 13;
          rng ^= rng >> 7;
          rng ^= rng << 17;
          const auto gap = std::chrono::microseconds(rng % 1500);
          const auto until = std::chrono::steady_clock::now() + gap;
          while (std::chrono::steady_clock::now() < until) std::this_thread::yield();
          auto [a, b] = pool.join([i] { return i; }, [i] { return -i; });
          if (a + b != 0 || a != i) wrong.fetch_add(1);
        }
      });
    }
    for (auto& s : submitters) s.join();
    return wrong.load() == 0 ? 0 : 10;
  });
  EXPECT_EQ(status, 0);
}

// A worker that found nothing is held just before it announces its sleep while
// work arrives (an injected job, or the latch of the join it waits in). The
// submitter sees no sleeper and wakes no one, so only the worker's re-check
// after announcing can find that work. Without it the worker sleeps for ever.
enum class LateArrival { injected_job, join_latch };

class PoolSleepReCheck : public ::testing::TestWithParam<LateArrival> {};

INSTANTIATE_TEST_SUITE_P(Arrivals, PoolSleepReCheck,
                         ::testing::Values(LateArrival::injected_job, LateArrival::join_latch),
                         [](const auto& info) {
                           return info.param == LateArrival::injected_job ? "InjectedJob"
                                                                          : "JoinLatch";
                         });

struct HeldSleeper {
  static inline std::atomic<bool> armed{false}, reached{false}, gate{false};
  static void probe() {
    if (!armed.exchange(false)) return;
    reached = true;
    eventually([] { return gate.load(); }, 10s);
  }
};

TEST_P(PoolSleepReCheck, WorkArrivingJustBeforeTheAnnouncementIsFound) {
  const LateArrival arrival = GetParam();
  int status = run_in_child([arrival]() -> int {
    qp::detail::set_sleep_probe(&HeldSleeper::probe);
    std::atomic<bool> done{false};
    if (arrival == LateArrival::injected_job) {
      HeldSleeper::armed = true;  // before the worker can first fall asleep
      qp::WorkerPool pool(1);
      if (!eventually([] { return HeldSleeper::reached.load(); }, 5s)) return 10;
      std::thread submitter([&] {
        pool.run_in_pool([] {});
        done = true;
      });
      std::this_thread::sleep_for(30ms);  // the job is queued; nobody was woken
      HeldSleeper::gate = true;
      if (!eventually([&] { return done.load(); }, 5s)) return 11;
      submitter.join();
      return 0;
    }
    qp::WorkerPool pool(2);
    std::atomic<bool> right_started{false}, right_returned{false};
    std::thread opener([&] {
      // Open the gate once the right half's latch has certainly been set.
      if (eventually([&] { return right_returned.load(); }, 10s))
        std::this_thread::sleep_for(30ms);
      HeldSleeper::gate = true;
    });
    std::thread submitter([&] {
      pool.join(
          [&] {
            // Once the other worker has taken the right half (and is busy
            // with it), this worker goes idle in the join and is held.
            eventually([&] { return right_started.load(); }, 5s);
            HeldSleeper::armed = true;
          },
          [&] {
            right_started = true;
            eventually([] { return HeldSleeper::reached.load(); }, 5s);
            right_returned = true;
          });
      done = true;
    });
    bool finished = eventually([&] { return done.load(); }, 8s);
    opener.join();
    if (!finished) return 12;
    submitter.join();
    return HeldSleeper::reached.load() ? 0 : 13;
  });
  EXPECT_EQ(status, 0);
}

// ---------------------------------------------------------------------------
// Large pools

// An idle worker that looked at every other worker's queue before it slept
// made a pool's build and its first sleep quadratic in its size (4,000
// workers took seconds). Processor time, not wall time, and a ratio, so that
// neither the machine's speed nor its load decides.
TEST(PoolScale, IdleWorkersDoNotScanEveryQueueBeforeTheySleep) {
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer's own bookkeeping per thread grows with the number of live
  // threads, which would decide the ratio here.
  GTEST_SKIP() << "thread creation cost is ThreadSanitizer's under it";
#endif
  int status = run_in_child([]() -> int {
    auto cost = [](std::size_t n) {
      const double before = process_cpu_seconds();
      {
        qp::WorkerPool pool(n);
        std::this_thread::sleep_for(300ms);  // every worker has gone to sleep
        if (pool.join([] { return 1; }, [] { return 2; }) != std::make_pair(1, 2)) return -1.0;
      }
      return process_cpu_seconds() - before;
    };
    // The least of three builds of each size: other load on the machine (page
    // faults, the kernel's thread bookkeeping) only ever adds processor time,
    // and one noisy build of either size could otherwise decide the ratio.
    auto least = [&](std::size_t n) {
      double best = cost(n);
      for (int r = 0; r < 2 && best >= 0; ++r) {
        const double again = cost(n);
        best = again < 0 ? again : std::min(best, again);
      }
      return best;
    };
    cost(64);
    const double small = least(400), large = least(1600);
    if (small < 0 || large < 0) return 10;
    std::printf("400 workers: %.3f s, 1600 workers: %.3f s of processor time\n", small, large);
    // Linear is about 4 times; a scan of every queue per idle worker is 16.
    return large < 8.0 * std::max(small, 0.005) ? 0 : 11;
  }, 120s);
  EXPECT_EQ(status, 0);
}

// ---------------------------------------------------------------------------
// Wake-ups passed on

// A worker asleep in a join is claimed for another caller's job at the very
// moment its latch is set. It goes back to its own job; the claim must then go
// on to an idle worker, or the other caller's job waits behind this one.
// As eventually(), but sleeping between the checks, so that the workers that
// wait meanwhile are not kept from falling asleep by a thread that yields.
template <class Condition>
bool napping_until(Condition condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

struct LatchWindow {
  static inline std::atomic<std::thread::id> joiner{};
  static inline std::atomic<bool> joiner_asleep{false}, armed{false};
  static inline std::function<void()>* action = nullptr;
  static void sleep_probe() {
    if (std::this_thread::get_id() == joiner.load()) joiner_asleep = true;
  }
  static void latch_probe() {
    if (armed.exchange(false)) (*action)();
  }
};

TEST(PoolWakeUp, WorkerClaimedForNewWorkWhileItsLatchIsSetPassesTheClaimOn) {
  int status = run_in_child([]() -> int {
    qp::detail::set_sleep_probe(&LatchWindow::sleep_probe);
    qp::detail::set_latch_probe(&LatchWindow::latch_probe);
    qp::WorkerPool pool(3);
    // The claim picks one of two sleepers (the joiner or the idle third
    // worker), the joiner in about one round of eight: rounds make it certain.
    for (int round = 0; round < 64; ++round) {
      std::atomic<bool> b_started{false}, other_done{false}, other_ran_meanwhile{false},
          window_closed{false};
      std::unique_ptr<std::thread> other;
      std::function<void()> submit_other = [&] {
        // On the worker that has just set the joiner's latch, before it wakes
        // the joiner: another caller's job arrives and claims a sleeper. This
        // worker stays busy meanwhile, and so does the joiner once back in
        // its job: only the third worker can run it.
        other = std::make_unique<std::thread>([&] { pool.run_in_pool([&] { other_done = true; }); });
        other_ran_meanwhile = napping_until([&] { return other_done.load(); }, 2s);
        window_closed = true;
      };
      LatchWindow::action = &submit_other;
      LatchWindow::joiner_asleep = false;
      const bool ran = pool.run_in_pool([&] {
        LatchWindow::joiner = std::this_thread::get_id();
        qp::join([&] { napping_until([&] { return b_started.load(); }, 5s); },
                 [&] {
                   b_started = true;
                   napping_until([] { return LatchWindow::joiner_asleep.load(); }, 5s);
                   std::this_thread::sleep_for(5ms);  // asleep in the futex
                   LatchWindow::armed = true;
                 });
        LatchWindow::joiner = std::thread::id{};
        // Back from the join: busy until the other caller's job has run.
        return napping_until([&] { return other_done.load() && window_closed.load(); }, 10s);
      });
      if (other) other->join();
      if (!ran) return 10;
      if (!other_ran_meanwhile.load()) return 20 + round;
    }
    return 0;
  }, 60s);
  EXPECT_EQ(status, 0);
}

// ---------------------------------------------------------------------------
// Interrupted waits

struct PollFailure {};

// An interrupt poll that says "go on" `go_on` times, then stops the call
// (returns true) or throws.
struct FakePoll {
  enum class Mode { stop, throws };
  Mode mode;
  int go_on;
  std::atomic<int> calls{0};
  static bool poll(void* self) {
    auto* p = static_cast<FakePoll*>(self);
    if (p->calls.fetch_add(1) < p->go_on) return false;
    if (p->mode == Mode::throws) throw PollFailure{};
    return true;
  }
};

class PoolInterrupt : public ::testing::TestWithParam<FakePoll::Mode> {};

INSTANTIATE_TEST_SUITE_P(Poll, PoolInterrupt,
                         ::testing::Values(FakePoll::Mode::stop, FakePoll::Mode::throws),
                         [](const auto& info) {
                           return info.param == FakePoll::Mode::stop ? "SaysStop" : "Throws";
                         });

// Leaves that run until the call is stopped: only the waiter's poll can end
// them. The waiter must stop them, wait until none runs, then throw.
TEST_P(PoolInterrupt, WaiterStopsTheJobWaitsForItThenThrows) {
  qp::WorkerPool pool(3);
  FakePoll poll{GetParam(), 1};
  std::atomic<bool> stop{false};
  std::atomic<int> finished{0};
  auto leaf = [&] {
    const bool stopped = eventually([&] { return stop.load(); }, 20s);
    finished.fetch_add(1);
    return stopped;
  };
  std::string caught;
  int finished_at_catch = -1;
  {
    quorvane::InterruptScope scope(&FakePoll::poll, &poll);
    try {
      pool.run_in_pool([&] { return qp::join(leaf, leaf); }, stop);
      caught = "nothing";
    } catch (const quorvane::Interrupted&) {
      caught = "Interrupted";
      finished_at_catch = finished.load();
    } catch (const PollFailure&) {
      caught = "PollFailure";
      finished_at_catch = finished.load();
    }
  }
  EXPECT_EQ(caught, GetParam() == FakePoll::Mode::stop ? "Interrupted" : "PollFailure");
  EXPECT_EQ(finished_at_catch, 2);  // no worker still runs the caller's code
  EXPECT_EQ(poll.calls.load(), 2);  // one slice went on; after the stop, no more polls
  // The pool is unharmed.
  EXPECT_EQ(pool.run_in_pool([] { return count_leaves(8); }), std::uint64_t{256});
}

// Without a stop flag (join from outside): the job runs to its end, then the
// waiter throws; the result is discarded.
TEST_P(PoolInterrupt, WaiterWithoutAStopFlagThrowsAfterTheJobEnds) {
  qp::WorkerPool pool(2);
  FakePoll poll{GetParam(), 0};
  std::atomic<int> finished{0};
  // The leaves end only once the waiter has polled: a job that outran a loaded
  // machine's first slice would otherwise end before any poll, and nothing throws.
  auto leaf = [&] {
    eventually([&] { return poll.calls.load() >= 1; }, 20s);
    return finished.fetch_add(1);
  };
  bool threw = false;
  {
    quorvane::InterruptScope scope(&FakePoll::poll, &poll);
    try {
      pool.join(leaf, leaf);
    } catch (const quorvane::Interrupted&) {
      threw = finished.load() == 2;
    } catch (const PollFailure&) {
      threw = finished.load() == 2;
    }
  }
  EXPECT_TRUE(threw);
  EXPECT_EQ(poll.calls.load(), 1);
}

TEST(PoolInterruptPoll, JobsDoneWithinASliceNeverPollAndLongOnesPollEverySlice) {
  qp::WorkerPool pool(2);
  FakePoll never{FakePoll::Mode::stop, 1 << 30};
  quorvane::InterruptScope scope(&FakePoll::poll, &never);
  // A waiter asks at most once per whole slice it waited, so the bound is read
  // off the clock: 0 on an idle machine, where every join ends within a slice,
  // and no false failure on a loaded one, where a worker may start late.
  constexpr auto slice = std::chrono::nanoseconds(qp::kInterruptSliceNanoseconds);
  long slices_waited = 0;
  for (int i = 0; i < 200; ++i) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(pool.join([] { return 1; }, [] { return 2; }).second, 2);
    slices_waited += (std::chrono::steady_clock::now() - start) / slice;
  }
  EXPECT_LE(never.calls.load(), slices_waited);  // a call's fast path never asks
  const int before = never.calls.load();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(pool.run_in_pool([] {
              std::this_thread::sleep_for(200ms);
              return 5;
            }),
            5);
  const long whole_slices = (std::chrono::steady_clock::now() - start) / slice;
  EXPECT_GE(never.calls.load() - before, 2);
  EXPECT_LE(never.calls.load() - before, whole_slices + 1);
}

// A batch whose rows overlap (row i is data[i ..]): many distinct paths in
// little memory.
struct OverlappingBatch {
  std::vector<double> dws, sigma, dmu, dsig;
  quorvane::TangentFlowInputs inputs;

  OverlappingBatch(std::size_t n_paths, std::size_t n_steps, bool denormal_paths = false) {
    const std::size_t n = n_paths + n_steps;
    std::uint64_t rng = 0x853C49E6748FEA9Bull;
    auto uniform = [&rng] {
      rng ^= rng << 13;
      rng ^= rng >> 7;
      rng ^= rng << 17;
      return static_cast<double>(rng >> 11) * 0x1.0p-53;
    };
    for (std::size_t k = 0; k < n; ++k) {
      dws.push_back(0.2 * uniform() - 0.1);
      sigma.push_back(0.1 + 0.4 * uniform());
      dmu.push_back(0.1 * uniform() - 0.05);
      dsig.push_back(0.2 * uniform() - 0.1);
    }
    const auto view = [n_paths, n_steps](const std::vector<double>& v) {
      return quorvane::MatrixView{reinterpret_cast<const std::byte*>(v.data()), n_paths, n_steps,
                                  sizeof(double), sizeof(double)};
    };
    if (denormal_paths) {
      // Separate rows (no overlap), every third one with denormal increments,
      // so that its weight is denormal, or zero under flush-to-zero.
      dws.assign(n_paths * n_steps, 0.0);
      for (std::size_t i = 0; i < n_paths; ++i)
        for (std::size_t j = 0; j < n_steps; ++j)
          dws[i * n_steps + j] = i % 3 == 0 ? 0x1.8p-1060 * (1.0 + uniform()) : 0.2 * uniform() - 0.1;
      quorvane::MatrixView d{reinterpret_cast<const std::byte*>(dws.data()), n_paths, n_steps,
                             static_cast<std::ptrdiff_t>(n_steps * sizeof(double)), sizeof(double)};
      inputs = quorvane::make_tangent_flow_inputs(d, view(sigma), view(dmu), view(dsig), n_paths,
                                                  n_steps, 1.25);
      return;
    }
    inputs = quorvane::make_tangent_flow_inputs(view(dws), view(sigma), view(dmu), view(dsig),
                                                n_paths, n_steps, 1.25);
  }

  std::vector<double> serial() const {
    std::vector<double> out(inputs.n_paths);
    if (quorvane::tangent_flow_weights(inputs, 0, inputs.n_paths, out.data())) out.clear();
    return out;
  }
  std::vector<double> parallel() const {
    quorvane::Outcome<quorvane::DoubleBuffer> out = quorvane::tangent_flow_weights_parallel(inputs);
    if (!out.ok()) return {};
    return std::vector<double>(out.value().data(), out.value().data() + inputs.n_paths);
  }
};

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// The parallel weights of a long batch, stopped by the caller's poll: the
// call throws, and the next call on the same pool gives the serial bits.
TEST_P(PoolInterrupt, StoppedParallelWeightsLeaveThePoolGivingTheSameBits) {
  // 2^38 path-steps in 32 MiB: many 25 ms slices long whatever the processor's
  // speed and number of cores (2^28, under a second of one core's work, can end
  // within the first slice on a few dozen cores); only about a slice of it is
  // ever computed.
  const OverlappingBatch long_batch(1 << 19, 1 << 19);
  FakePoll poll{GetParam(), 0};
  std::string caught = "nothing";
  {
    quorvane::InterruptScope scope(&FakePoll::poll, &poll);
    try {
      (void)long_batch.parallel();
    } catch (const quorvane::Interrupted&) {
      caught = "Interrupted";
    } catch (const PollFailure&) {
      caught = "PollFailure";
    }
  }
  EXPECT_EQ(caught, GetParam() == FakePoll::Mode::stop ? "Interrupted" : "PollFailure");
  EXPECT_EQ(poll.calls.load(), 1);
  const OverlappingBatch batch(1 << 12, 1 << 9);
  const std::vector<double> serial = batch.serial();
  ASSERT_EQ(serial.size(), batch.inputs.n_paths);
  EXPECT_TRUE(same_bits(batch.parallel(), serial));
}

// ---------------------------------------------------------------------------
// The caller's floating-point control state

// Control states of the calling thread: flush-to-zero (with denormals-are-zero
// on x86-64; carried by the x86-64 and arm64 layers only), or one of the
// directed rounding modes (the control register's bits there, <cfenv> in the
// portable layer).
struct FpState {
  const char* name;
  unsigned mxcsr;  // x86-64
  unsigned fpcr;   // arm64
  int round;       // <cfenv>; -1 for no rounding mode
};

void PrintTo(const FpState& state, std::ostream* os) { *os << state.name; }

class PoolFpControl : public ::testing::TestWithParam<FpState> {};

INSTANTIATE_TEST_SUITE_P(
    States, PoolFpControl,
    ::testing::Values(FpState{"FlushToZeroDenormalsAreZero", 0x8040, 1u << 24, -1},
                      FpState{"RoundUp", 0x4000, 1u << 22, FE_UPWARD},
                      FpState{"RoundDown", 0x2000, 2u << 22, FE_DOWNWARD},
                      FpState{"RoundTowardZero", 0x6000, 3u << 22, FE_TOWARDZERO}),
    [](const auto& info) { return std::string(info.param.name); });

// Sets the calling thread's state to `state` and returns the state it had.
qpl::FpControl enter(const FpState& state) {
  const qpl::FpControl saved = qpl::current_fp_control();
#if defined(QUORVANE_PLATFORM_X86_64)
  qpl::apply_fp_control(state.mxcsr);
#elif defined(QUORVANE_PLATFORM_ARM64)
  qpl::apply_fp_control(state.fpcr);
#else
  qpl::apply_fp_control(static_cast<qpl::FpControl>(state.round));
#endif
  return saved;
}

// The layer's control bits were placed wrongly for this processor (a state
// set but not in force, or read back as another): the state set through
// apply_fp_control must be the one read back and must decide this thread's
// own arithmetic, in this process, without the pool.
TEST_P(PoolFpControl, StateSetIsReadBackAndDecidesArithmetic) {
  const FpState state = GetParam();
  if (state.round < 0 && !qpl::kCarriesFlushToZero)
    GTEST_SKIP() << "flush-to-zero has no portable spelling; this platform layer does not carry it";
  // 1/3 and -1/3 and 1/10 round differently upward, downward and toward zero;
  // the product is subnormal, so flush-to-zero gives 0.
  const auto compute = [] {
    volatile double one = 1.0, three = 3.0, ten = 10.0, tiny = 1e-300, small = 1e-10;
    return std::vector<double>{one / three, -one / three, one / ten, tiny * small};
  };
  const std::vector<double> nearest = compute();
  const qpl::FpControl saved = enter(state);
  const qpl::FpControl now = qpl::current_fp_control();
  const std::vector<double> in_state = compute();
  qpl::apply_fp_control(saved);
  EXPECT_NE(now, saved);
  EXPECT_FALSE(same_bits(in_state, nearest));
  EXPECT_TRUE(same_bits(compute(), nearest));
}

// Workers took their state from the thread that built the pool, so a caller
// in another state got other bits from the parallel form than from the serial.
TEST_P(PoolFpControl, ParallelWeightsHaveTheSerialBitsInTheCallersState) {
  const FpState state = GetParam();
  if (state.round < 0 && !qpl::kCarriesFlushToZero)
    GTEST_SKIP() << "flush-to-zero has no portable spelling; this platform layer does not carry it";
  int status = run_in_child([state]() -> int {
    ::setenv("RAYON_NUM_THREADS", "3", 1);
    qp::global_pool();  // built in the default state
    const OverlappingBatch batch(301, 17, /*denormal_paths=*/true);
    const std::vector<double> nearest = batch.serial();
    const qpl::FpControl saved = enter(state);
    const std::vector<double> serial = batch.serial();
    const std::vector<double> parallel = batch.parallel();
    qpl::apply_fp_control(saved);
    if (nearest.size() != 301 || serial.size() != 301) return 10;
    if (same_bits(serial, nearest)) return 11;  // this state must matter for the data
    if (!same_bits(parallel, serial)) return 12;
    // The workers are back in their own state.
    return same_bits(batch.parallel(), nearest) ? 0 : 13;
  });
  EXPECT_EQ(status, 0);
}

// ---------------------------------------------------------------------------
// Thread count from the environment

struct SizingCase {
  std::optional<std::string> num_threads;
  std::optional<std::string> rs_num_cpus;
  std::size_t logical_cpus;
  std::size_t expected;
};

std::string show(const std::optional<std::string>& v) { return v ? '"' + *v + '"' : "unset"; }

void PrintTo(const SizingCase& c, std::ostream* os) {
  *os << "RAYON_NUM_THREADS=" << show(c.num_threads) << " RAYON_RS_NUM_CPUS="
      << show(c.rs_num_cpus) << " cpus=" << c.logical_cpus << " -> " << c.expected;
}

std::vector<SizingCase> sizing_cases() {
  const std::size_t cpus = 6;
  std::vector<SizingCase> cases = {
      {"4", "2", cpus, 4},
      {"4", std::nullopt, cpus, 4},
      {"+8", std::nullopt, cpus, 8},
      {"+8", "3", cpus, 8},
      {"1", "5", cpus, 1},
      {"0004", std::nullopt, cpus, 4},
      {"0", "2", cpus, cpus},  // 0 means the processor count; RS is not consulted
      {"0", std::nullopt, cpus, cpus},
      {"+0", "2", cpus, cpus},
      {std::nullopt, std::nullopt, cpus, cpus},
      {std::nullopt, std::nullopt, 0, 1},
      {"0", "0", 0, 1},
      {std::nullopt, "3", cpus, 3},
      {std::nullopt, "+3", cpus, 3},
      {std::nullopt, "0", cpus, cpus},
      {"100000", std::nullopt, cpus, 65535},
      {std::nullopt, "100000", cpus, 65535},
      {"65535", std::nullopt, cpus, 65535},
      {"65536", std::nullopt, cpus, 65535},
      {std::nullopt, std::nullopt, 100000, 65535},
      {"18446744073709551615", std::nullopt, cpus, 65535},  // the largest u64
      {"18446744073709551616", "3", cpus, 3},               // one more: unparsable
      {"99999999999999999999", std::nullopt, cpus, cpus},
      {std::nullopt, "18446744073709551616", cpus, cpus},
  };
  // Unparsable RAYON_NUM_THREADS values fall through to RAYON_RS_NUM_CPUS.
  for (const char* bad : {"abc", " 4", "4 ", "-1", "", "+", "-", "++1", "+-1", "4x", "0x10",
                          "\xd9\xa3", "1_000", "4\t"}) {
    cases.push_back({bad, "3", cpus, 3});
    cases.push_back({bad, std::nullopt, cpus, cpus});
    cases.push_back({bad, "0", cpus, cpus});
    cases.push_back({bad, bad, cpus, cpus});
  }
  return cases;
}

class PoolSizing : public ::testing::TestWithParam<SizingCase> {};

INSTANTIATE_TEST_SUITE_P(Rules, PoolSizing, ::testing::ValuesIn(sizing_cases()));

TEST_P(PoolSizing, ThreadsFromEnvironment) {
  const SizingCase& c = GetParam();
  EXPECT_EQ(qp::threads_from_environment(c.num_threads ? c.num_threads->c_str() : nullptr,
                                         c.rs_num_cpus ? c.rs_num_cpus->c_str() : nullptr,
                                         c.logical_cpus),
            c.expected);
}

TEST(PoolSizingProcessors, CountFollowsTheAffinityMask) {
  const std::size_t all = qp::logical_cpu_count();
  EXPECT_GE(all, 1u);
  EXPECT_LE(all, static_cast<std::size_t>(::sysconf(_SC_NPROCESSORS_CONF)));
  // Restricting the mask in a child must change the count to match it.
  for (std::size_t want = 1; want <= std::min<std::size_t>(all, 2); ++want) {
    int status = run_in_child([want]() -> int {
      cpu_set_t mine;
      CPU_ZERO(&mine);
      if (::sched_getaffinity(0, sizeof mine, &mine) != 0) return 10;
      cpu_set_t fewer;
      CPU_ZERO(&fewer);
      std::size_t taken = 0;
      for (int cpu = 0; cpu < CPU_SETSIZE && taken < want; ++cpu) {
        if (CPU_ISSET(cpu, &mine)) {
          CPU_SET(cpu, &fewer);
          ++taken;
        }
      }
      if (::sched_setaffinity(0, sizeof fewer, &fewer) != 0) return 11;
      return qp::logical_cpu_count() == want ? 0 : 12;
    });
    EXPECT_EQ(status, 0) << want << " processors";
  }
}

// The environment is read when the process-wide pool is built, and only then.
TEST(PoolSizingGlobal, BuiltOnceFromTheEnvironment) {
  int status = run_in_child([]() -> int {
    ::setenv("RAYON_NUM_THREADS", "3", 1);
    ::setenv("RAYON_RS_NUM_CPUS", "5", 1);
    // Concurrent first callers all get the one pool.
    std::vector<qp::WorkerPool*> seen(4, nullptr);
    std::vector<std::thread> callers;
    for (std::size_t i = 0; i < seen.size(); ++i)
      callers.emplace_back([&seen, i] { seen[i] = &qp::global_pool(); });
    for (auto& t : callers) t.join();
    for (auto* p : seen)
      if (p != seen[0]) return 10;
    if (qp::global_pool().thread_count() != 3) return 11;
    if (qp::thread_count() != 3) return 12;
    ::setenv("RAYON_NUM_THREADS", "7", 1);
    if (qp::thread_count() != 3 || &qp::global_pool() != seen[0]) return 13;
    std::atomic<std::uint64_t> off_worker{0};
    if (range_sum(0, 100000, 1000, off_worker) != std::uint64_t{100000} * 99999 / 2) return 14;
    return 0;
  });
  EXPECT_EQ(status, 0);
}

// The parallel call reads the environment while it still holds the
// interpreter lock (a getenv while another thread's os.environ write runs
// setenv is a data race); the build, later and without the lock, must use
// what was read then, and not read the environment again.
TEST(PoolSizingGlobal, BuildUsesTheEnvironmentReadBeforeTheLockWasReleased) {
  int status = run_in_child([]() -> int {
    ::setenv("RAYON_NUM_THREADS", "3", 1);
    qp::prepare_global_pool_environment();
    ::setenv("RAYON_NUM_THREADS", "7", 1);
    if (qp::thread_count() != 3) return 10;
    // Once built, the environment counts no more.
    ::setenv("RAYON_NUM_THREADS", "5", 1);
    qp::prepare_global_pool_environment();
    if (qp::thread_count() != 3) return 11;
    return 0;
  });
  EXPECT_EQ(status, 0);
}

// ---------------------------------------------------------------------------
// Failed builds

class PoolBuildFailure : public ::testing::TestWithParam<std::size_t> {};

INSTANTIATE_TEST_SUITE_P(FailingThread, PoolBuildFailure, ::testing::Values(0, 1, 3),
                         [](const auto& info) { return std::to_string(info.param); });

TEST_P(PoolBuildFailure, ReportsTheOsErrorAndStartedThreadsExit) {
  const std::size_t fail_at = GetParam();
  SpawnRecorder& recorder = SpawnRecorder::make(fail_at, EAGAIN);
  std::optional<qp::PoolBuildError> error;
  try {
    qp::WorkerPool pool(4, recorder.spawner());
  } catch (const qp::PoolBuildError& e) {
    error = e;
  }
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->os_error(), EAGAIN);
  EXPECT_TRUE(contains(error->description(), "EAGAIN")) << error->description();
  EXPECT_TRUE(contains(error->description(), std::strerror(EAGAIN))) << error->description();
  std::vector<std::size_t> expected_order;
  for (std::size_t i = 0; i <= fail_at; ++i) expected_order.push_back(i);
  EXPECT_EQ(recorder.spawn_order(), expected_order);  // worker 0 first, none after the failure
  EXPECT_EQ(recorder.started.load(), static_cast<int>(fail_at));
  EXPECT_TRUE(eventually([&] { return recorder.exited.load() == static_cast<int>(fail_at); }, 5s))
      << recorder.exited.load() << " of " << fail_at << " threads exited";
}

TEST(PoolBuildFailureLifecycle, DestroyedPoolsThreadsExit) {
  SpawnRecorder& recorder = SpawnRecorder::make();
  {
    qp::WorkerPool pool(3, recorder.spawner());
    EXPECT_EQ(recorder.spawn_order(), (std::vector<std::size_t>{0, 1, 2}));
    EXPECT_EQ(pool.join([] { return 1; }, [] { return 2; }), std::make_pair(1, 2));
  }
  EXPECT_TRUE(eventually([&] { return recorder.exited.load() == 3; }, 5s));
}

TEST(PoolBuildFailureGlobal, FirstRequestNamesTheOsErrorLaterOnesSayItAlreadyRan) {
  int status = run_in_child([]() -> int {
    SpawnRecorder& recorder = SpawnRecorder::make(1, EAGAIN);
    qp::detail::set_global_pool_spawner(recorder.spawner());
    ::setenv("RAYON_NUM_THREADS", "3", 1);
    const std::string prefix = "The global thread pool has not been initialized.: ";
    std::string first, second, third;
    try {
      qp::global_pool();
      return 10;
    } catch (const quorvane::InternalFailure& e) {
      first = e.message();
    }
    if (!starts_with(first, prefix) || !contains(first, "EAGAIN") ||
        !contains(first, std::strerror(EAGAIN)))
      return 11;
    if (!eventually([&] { return recorder.exited.load() == 1; }, 5s)) return 12;
    // No second attempt, even with a spawner that would work.
    qp::detail::set_global_pool_spawner({});
    try {
      qp::global_pool();
      return 13;
    } catch (const quorvane::InternalFailure& e) {
      second = e.message();
    }
    try {
      qp::join([] { return 1; }, [] { return 2; });
      return 14;
    } catch (const quorvane::InternalFailure& e) {
      third = e.message();
    }
    if (!starts_with(second, prefix) || !contains(second, "already ran") ||
        contains(second, "EAGAIN"))
      return 15;
    if (third != second) return 16;
    if (recorder.spawn_order() != std::vector<std::size_t>{0, 1}) return 17;
    return 0;
  });
  EXPECT_EQ(status, 0);
}

// Whatever stops a build after some threads have started (a spawner that
// throws, an allocation that fails, the building thread's interrupt poll),
// those threads are told to stop and have exited: none keeps running for a
// pool that does not exist.
enum class BuildStop { spawner_throws, out_of_memory, interrupted };

class PoolBuildStopped : public ::testing::TestWithParam<BuildStop> {};

INSTANTIATE_TEST_SUITE_P(How, PoolBuildStopped,
                         ::testing::Values(BuildStop::spawner_throws, BuildStop::out_of_memory,
                                           BuildStop::interrupted),
                         [](const auto& info) {
                           switch (info.param) {
                             case BuildStop::spawner_throws: return "SpawnerThrows";
                             case BuildStop::out_of_memory: return "OutOfMemory";
                             case BuildStop::interrupted: return "Interrupted";
                           }
                           return "";
                         });

TEST_P(PoolBuildStopped, ThreadsStartedBeforeTheStopExit) {
  const BuildStop how = GetParam();
  // The interrupt poll is asked every 256 threads: the first time before
  // thread 255 starts.
  const std::size_t stop_at = how == BuildStop::interrupted ? 255 : 3;
  SpawnRecorder& recorder = SpawnRecorder::make(
      how == BuildStop::interrupted ? SIZE_MAX : stop_at, 0,
      how == BuildStop::spawner_throws ? SpawnRecorder::Failure::throws
                                       : SpawnRecorder::Failure::out_of_memory);
  FakePoll poll{FakePoll::Mode::stop, 0};
  std::string caught = "nothing";
  {
    quorvane::InterruptScope scope(&FakePoll::poll, &poll);
    try {
      qp::WorkerPool pool(how == BuildStop::interrupted ? 600 : 6, recorder.spawner());
    } catch (const std::runtime_error& e) {
      caught = e.what();
    } catch (const qp::PoolBuildError& e) {
      caught = e.os_error() == ENOMEM ? "ENOMEM" : e.description();
    } catch (const quorvane::Interrupted&) {
      caught = "Interrupted";
    }
  }
  const char* expected = how == BuildStop::spawner_throws ? "spawner failed"
                         : how == BuildStop::out_of_memory ? "ENOMEM"
                                                           : "Interrupted";
  EXPECT_EQ(caught, expected);
  EXPECT_EQ(recorder.started.load(), static_cast<int>(stop_at));
  EXPECT_TRUE(eventually([&] { return recorder.exited.load() == static_cast<int>(stop_at); }, 10s))
      << recorder.exited.load() << " of " << stop_at << " threads exited";
}

// A process-wide build stopped by an interrupt is no failed build: the next
// request builds the pool.
TEST(PoolBuildFailureGlobal, InterruptedBuildIsBuiltByTheNextRequest) {
  int status = run_in_child([]() -> int {
    ::setenv("RAYON_NUM_THREADS", "300", 1);
    FakePoll poll{FakePoll::Mode::stop, 0};
    try {
      quorvane::InterruptScope scope(&FakePoll::poll, &poll);
      qp::global_pool();
      return 10;
    } catch (const quorvane::Interrupted&) {
    }
    if (poll.calls.load() != 1) return 11;
    if (qp::thread_count() != 300) return 12;
    std::atomic<std::uint64_t> off_worker{0};
    return range_sum(0, 100000, 1000, off_worker) == std::uint64_t{100000} * 99999 / 2 ? 0 : 13;
  }, 60s);
  EXPECT_EQ(status, 0);
}

// ---------------------------------------------------------------------------
// fork()

TEST(PoolFork, ChildOfABuiltPoolBuildsItsOwn) {
  std::atomic<std::uint64_t> off_worker{0};
  ASSERT_EQ(qp::run_in_pool([&] { return range_sum(0, 50000, 500, off_worker); }),
            std::uint64_t{50000} * 49999 / 2);
  for (int child = 0; child < 3; ++child) {
    int status = run_in_child([]() -> int {
      std::atomic<std::uint64_t> off{0};
      // From outside: enters the child's (new) pool through run_in_pool.
      if (range_sum(0, 200000, 1000, off) != std::uint64_t{200000} * 199999 / 2) return 10;
      if (off.load() != 0) return 11;
      auto [a, b] = qp::join([] { return qp::on_worker_thread(); },
                             [] { return std::this_thread::get_id(); });
      if (!a) return 12;
      (void)b;
      return 0;
    });
    EXPECT_EQ(status, 0) << "child " << child;
  }
  // The parent's pool is unaffected.
  EXPECT_EQ(qp::run_in_pool([&] { return range_sum(0, 50000, 500, off_worker); }),
            std::uint64_t{50000} * 49999 / 2);
}

TEST(PoolFork, ForkDuringABuildLeavesTheChildUsable) {
  int status = run_in_child([]() -> int {
    // In this child the process-wide pool is unbuilt. Hold a build in the
    // middle (inside the spawner of worker 1), fork, and use the pool in the
    // grandchild.
    static std::atomic<bool> inside{false}, release{false};
    qp::detail::set_global_pool_spawner(
        [](std::size_t index, void* (*entry)(void*), void* argument) -> int {
          if (index == 1) {
            inside = true;
            while (!release.load()) std::this_thread::sleep_for(1ms);
          }
          return qp::spawn_detached_thread(entry, argument);
        });
    ::setenv("RAYON_NUM_THREADS", "2", 1);
    std::thread builder([] { qp::global_pool(); });
    if (!eventually([] { return inside.load(); }, 5s)) {
      release = true;
      builder.join();
      return 20;
    }
    int grandchild = run_in_child([]() -> int {
      qp::detail::set_global_pool_spawner({});
      std::atomic<std::uint64_t> off{0};
      if (range_sum(0, 100000, 1000, off) != std::uint64_t{100000} * 99999 / 2) return 10;
      return qp::thread_count() == 2 ? 0 : 11;
    }, 10s);
    release = true;
    builder.join();
    if (grandchild != 0) return 30 + (grandchild < 0 ? 0 : grandchild % 50);
    // The interrupted build finished normally in this process.
    return qp::thread_count() == 2 ? 0 : 21;
  });
  EXPECT_EQ(status, 0);
}

}  // namespace
