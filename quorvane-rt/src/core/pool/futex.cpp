// The futex system calls and the fatal-error exit of the pool.
#include "core/pool/futex.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quorvane::pool::detail {

void futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
  long r = ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE,
                     expected, nullptr, nullptr, 0);
  if (r != 0 && errno != EAGAIN && errno != EINTR) fatal("futex wait failed");
}

bool futex_wait_for(std::atomic<std::uint32_t>& word, std::uint32_t expected,
                    long nanoseconds) noexcept {
  const timespec limit{nanoseconds / 1000000000L, nanoseconds % 1000000000L};
  long r = ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE,
                     expected, &limit, nullptr, 0);
  if (r == 0) return false;
  if (errno == ETIMEDOUT || errno == EINTR) return true;
  if (errno != EAGAIN) fatal("futex wait failed");
  return false;
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

}  // namespace quorvane::pool::detail
