// The local job queue of one worker: a Chase–Lev work-stealing deque.
//
// The owning worker pushes and pops at the bottom (LIFO, so a join finds its
// own right half first); other workers steal from the top (FIFO, so a thief
// takes the oldest and usually largest piece of work). The ring grows when
// full; old rings are kept until the deque dies because a thief may still be
// reading from one. The orderings follow Lê, Pop, Cohen and Zappa Nardelli,
// "Correct and Efficient Work-Stealing for Weak Memory Models" (PPoPP 2013),
// with two changes so that no hand-over of a job depends on a fence (fences are
// invisible to ThreadSanitizer, and the acquire load of `bottom` in steal may
// read a relaxed store of pop): slots are written with release and read with
// acquire, so a thief that wins an element synchronises with the push that
// wrote it; and the release fence in push is folded into a release store of
// `bottom`. The two seq_cst fences stay (see full_fence).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/pool/futex.hpp"

namespace quorvane::pool::detail {

struct Job;

class JobDeque {
 public:
  enum class Steal { taken, empty, lost_race };

  // initial_capacity must be a power of two.
  explicit JobDeque(std::int64_t initial_capacity = 64) {
    auto first = std::make_unique<Ring>(initial_capacity);
    ring_.store(first.get(), std::memory_order_relaxed);
    rings_.push_back(std::move(first));
  }
  JobDeque(const JobDeque&) = delete;
  JobDeque& operator=(const JobDeque&) = delete;

  // Owner only. Throws std::bad_alloc when the ring cannot grow.
  void push(Job* job) {
    std::int64_t b = bottom_.load(std::memory_order_relaxed);
    std::int64_t t = top_.load(std::memory_order_acquire);
    Ring* ring = ring_.load(std::memory_order_relaxed);
    if (b - t > ring->capacity - 1) ring = grow(ring, t, b);
    ring->put(b, job);
    // Publishes the slot (and, through it, the job's fields) to thieves, which
    // read `bottom` with acquire.
    bottom_.store(b + 1, std::memory_order_release);
  }

  // Owner only. The most recently pushed job, or nullptr when empty or when a
  // thief won the last element.
  Job* pop() noexcept {
    std::int64_t b = bottom_.load(std::memory_order_relaxed) - 1;
    Ring* ring = ring_.load(std::memory_order_relaxed);
    bottom_.store(b, std::memory_order_relaxed);
    // Orders the claim on slot b (the store above) before reading `top`; the
    // matching fence in steal orders its read of `top` before its read of
    // `bottom`. Without this pair owner and thief could both take the last job.
    full_fence();
    std::int64_t t = top_.load(std::memory_order_relaxed);
    if (t > b) {
      bottom_.store(b + 1, std::memory_order_relaxed);
      return nullptr;
    }
    Job* job = ring->get(b);
    if (t == b) {
      // The last element: race the thieves for it through `top`.
      if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst,
                                        std::memory_order_relaxed))
        job = nullptr;
      bottom_.store(b + 1, std::memory_order_relaxed);
    }
    return job;
  }

  // Any thread but the owner. On `taken`, *out is the oldest job.
  Steal steal(Job** out) noexcept {
    std::int64_t t = top_.load(std::memory_order_acquire);
    full_fence();
    std::int64_t b = bottom_.load(std::memory_order_acquire);
    if (t >= b) return Steal::empty;
    Ring* ring = ring_.load(std::memory_order_acquire);
    Job* job = ring->get(t);
    if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst,
                                      std::memory_order_relaxed))
      return Steal::lost_race;
    *out = job;
    return Steal::taken;
  }

  // Any thread: true when a job may be waiting here (relaxed; exact when read
  // after a fence that pairs with one after the push).
  bool maybe_nonempty() const noexcept {
    return top_.load(std::memory_order_relaxed) < bottom_.load(std::memory_order_relaxed);
  }

  // Owner only: true when the deque is certainly empty. Only the owner adds
  // jobs and `top` only grows, so a stale `top` can only make it look fuller.
  bool empty_for_owner() const noexcept {
    return bottom_.load(std::memory_order_relaxed) <= top_.load(std::memory_order_relaxed);
  }

 private:
  struct Ring {
    explicit Ring(std::int64_t cap)
        : capacity(cap), mask(cap - 1), slots(new std::atomic<Job*>[static_cast<std::size_t>(cap)]) {}
    void put(std::int64_t i, Job* job) noexcept {
      slots[static_cast<std::size_t>(i & mask)].store(job, std::memory_order_release);
    }
    Job* get(std::int64_t i) const noexcept {
      return slots[static_cast<std::size_t>(i & mask)].load(std::memory_order_acquire);
    }
    std::int64_t capacity;
    std::int64_t mask;
    std::unique_ptr<std::atomic<Job*>[]> slots;
  };

  Ring* grow(Ring* old, std::int64_t t, std::int64_t b) {
    auto bigger = std::make_unique<Ring>(old->capacity * 2);
    for (std::int64_t i = t; i < b; ++i) bigger->put(i, old->get(i));
    rings_.reserve(rings_.size() + 1);
    Ring* fresh = bigger.get();
    rings_.push_back(std::move(bigger));
    ring_.store(fresh, std::memory_order_release);
    return fresh;
  }

  alignas(64) std::atomic<std::int64_t> top_{0};
  alignas(64) std::atomic<std::int64_t> bottom_{0};
  std::atomic<Ring*> ring_{nullptr};
  // Every ring ever used, owned here (the owner alone appends).
  std::vector<std::unique_ptr<Ring>> rings_;
};

}  // namespace quorvane::pool::detail
