// Waiting on and waking an address, for the pool's sleep states, its per-job
// latches and its once-guard; the fatal-error exit of the pool's bookkeeping;
// fences and spin hints.
//
// The waits are the platform layer's (core/platform): futexes on Linux x86-64,
// std::atomic wait/notify elsewhere. The pool uses futexes directly instead of
// std::atomic::wait where it can because it does its own spinning before it
// sleeps, wants exactly one system call per sleep and per wake-up, and needs a
// wait with a time limit. All words are process-private.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/platform/platform.hpp"

namespace quorvane::pool::detail {

// Sleeps while *word == expected. Returns on a wake-up, a spurious wake-up or
// at once when the value differs; callers re-check their condition in a loop.
inline void futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
  platform::wait(word, expected);
}

// As futex_wait, for at most `nanoseconds`. Returns true when the wait ended by
// the time limit or by a signal handler that ran on this thread, false on a
// wake-up (or at once when the value differs).
inline bool futex_wait_for(std::atomic<std::uint32_t>& word, std::uint32_t expected,
                           long nanoseconds) noexcept {
  return platform::wait_for(word, expected, nanoseconds);
}

// Wakes up to `count` threads sleeping on `word`. Waking needs no access to the
// word's memory, so it may be called after the word's owner has moved on.
inline void futex_wake(std::atomic<std::uint32_t>& word, int count) noexcept {
  platform::wake(word, count);
}

inline void futex_wake_all(std::atomic<std::uint32_t>& word) noexcept {
  futex_wake(word, 0x7fffffff);
}

// A failure of the pool's own bookkeeping: prints one line to standard error
// and aborts the process.
[[noreturn]] void fatal(const char* what) noexcept;

#if defined(__SANITIZE_THREAD__)
inline std::atomic<std::uint32_t> sanitizer_fence_word{0};
#endif

// A sequentially consistent fence. ThreadSanitizer does not model fences, so
// under it every fence is a read-modify-write of one shared word instead: all
// of them are then totally ordered and each synchronises with the previous,
// which orders every pair a fence pair orders (and more).
inline void full_fence() noexcept {
#if defined(__SANITIZE_THREAD__)
  sanitizer_fence_word.fetch_add(0, std::memory_order_seq_cst);
#else
  std::atomic_thread_fence(std::memory_order_seq_cst);
#endif
}

// One processor hint for a spin-wait loop.
inline void cpu_relax() noexcept { platform::cpu_relax(); }

}  // namespace quorvane::pool::detail
