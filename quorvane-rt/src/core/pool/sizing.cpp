// The thread count of the process-wide pool: the environment's rules and the
// number of processors this process may use.
#include <algorithm>
#include <cerrno>
#include <cstdint>

#include <sched.h>
#include <unistd.h>

#include "core/pool/pool.hpp"

namespace quorvane::pool {

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
