// Software prefetch for long sequential reads.
//
// On the machines this is tuned on, the hardware prefetcher runs only a short way
// ahead of a sequential stream, and a loop that reads two large arrays waits on
// memory at about half the bandwidth a single core can draw; asking for the data
// 8 KiB ahead roughly doubles the speed of such loops. A prefetch is only a hint:
// it never faults, so reaching past the end of an array is harmless (the address
// is formed as an integer for that reason).
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvane {

inline constexpr std::ptrdiff_t kPrefetchAheadBytes = 8192;

inline void prefetch_ahead(const void* p) noexcept {
  const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(p) + kPrefetchAheadBytes;
  __builtin_prefetch(reinterpret_cast<const void*>(at), 0, 3);
}

}  // namespace quorvane
