// The portable C++20 form of the platform layer, wherever the Linux one is
// absent: std::atomic wait/notify and std::thread ids.
#include "core/platform/platform.hpp"

#if !defined(QUORVANE_PLATFORM_LINUX)

#include <chrono>
#include <functional>
#include <thread>

namespace quorvane::platform {

namespace {

// The thread that ran the core's static initialisers: the main thread of a
// program, the importing thread of an extension module.
const std::thread::id g_loading_thread = std::this_thread::get_id();

}  // namespace

void wait(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
  word.wait(expected, std::memory_order_acquire);
}

// std::atomic::wait has no time limit, so the timed wait polls: short sleeps,
// doubling from 1 us up to 1 ms, until the value differs or the time is up.
// Only a caller waiting for its job uses it, in slices between two polls of its
// interrupt check, so the cost of polling is bounded by those slices.
bool wait_for(std::atomic<std::uint32_t>& word, std::uint32_t expected,
              long nanoseconds) noexcept {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end = Clock::now() + std::chrono::nanoseconds(nanoseconds);
  std::chrono::microseconds nap(1);
  while (word.load(std::memory_order_acquire) == expected) {
    const Clock::time_point now = Clock::now();
    if (now >= end) return true;
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(end - now);
    std::this_thread::sleep_for(nap < left ? nap : left);
    if (nap < std::chrono::milliseconds(1)) nap *= 2;
  }
  return false;
}

void wake(std::atomic<std::uint32_t>& word, int count) noexcept {
  if (count == 1) {
    word.notify_one();
  } else {
    word.notify_all();
  }
}

std::size_t l1_data_cache_bytes() noexcept { return kDefaultL1DataCacheBytes; }

bool on_main_thread() noexcept { return std::this_thread::get_id() == g_loading_thread; }

std::uint64_t thread_number() noexcept {
  return static_cast<std::uint64_t>(std::hash<std::thread::id>{}(std::this_thread::get_id()));
}

}  // namespace quorvane::platform

#endif
