// The Linux form of the platform layer (x86-64 and arm64): futex system calls
// and the kernel thread id.
#include "core/platform/platform.hpp"

#if defined(QUORVANE_PLATFORM_LINUX)

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quorvane::platform {

namespace {

// A futex call that cannot fail did: the pool's state is lost, so one line to
// standard error and abort.
[[noreturn]] void fatal(const char* line) noexcept {
  ssize_t ignored = ::write(STDERR_FILENO, line, std::strlen(line));
  (void)ignored;
  std::abort();
}

}  // namespace

// All words are process-private. One system call per sleep and per wake-up; the
// pool does its own spinning before it sleeps.
void wait(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
  long r = ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE,
                     expected, nullptr, nullptr, 0);
  if (r != 0 && errno != EAGAIN && errno != EINTR)
    fatal("quorvane worker pool: futex wait failed; aborting\n");
}

bool wait_for(std::atomic<std::uint32_t>& word, std::uint32_t expected,
              long nanoseconds) noexcept {
  const timespec limit{nanoseconds / 1000000000L, nanoseconds % 1000000000L};
  long r = ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE,
                     expected, &limit, nullptr, 0);
  if (r == 0) return false;
  if (errno == ETIMEDOUT || errno == EINTR) return true;
  if (errno != EAGAIN) fatal("quorvane worker pool: futex wait failed; aborting\n");
  return false;
}

void wake(std::atomic<std::uint32_t>& word, int count) noexcept {
  long r = ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE,
                     count, nullptr, nullptr, 0);
  if (r < 0) fatal("quorvane worker pool: futex wake failed; aborting\n");
}

std::size_t l1_data_cache_bytes() noexcept {
  static const std::size_t bytes = [] {
    const long size = ::sysconf(_SC_LEVEL1_DCACHE_SIZE);  // 0 or -1 where glibc cannot tell
    return size > 0 ? static_cast<std::size_t>(size) : kDefaultL1DataCacheBytes;
  }();
  return bytes;
}

bool on_main_thread() noexcept { return static_cast<pid_t>(::syscall(SYS_gettid)) == ::getpid(); }

std::uint64_t thread_number() noexcept {
  return static_cast<std::uint64_t>(::syscall(SYS_gettid));
}

}  // namespace quorvane::platform

#endif
