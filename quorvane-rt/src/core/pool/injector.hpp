// The injection queue: jobs submitted from threads outside the pool. Few and
// coarse (one per call of run_in_pool), so a mutex is cheap; the counter lets
// an idle worker see that it is empty without taking the lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <mutex>

namespace quorvane::pool::detail {

struct Job;

class Injector {
 public:
  // Throws when it cannot grow.
  void push(Job* job) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      jobs_.push_back(job);
    }
    // A sequentially consistent read-modify-write: the sleep protocol orders
    // it, like every publication of work, before the waker's fence.
    count_.fetch_add(1, std::memory_order_seq_cst);
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

 private:
  std::mutex mutex_;
  std::deque<Job*> jobs_;
  std::atomic<std::size_t> count_{0};
};

}  // namespace quorvane::pool::detail
