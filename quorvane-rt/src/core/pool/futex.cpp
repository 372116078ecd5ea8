// The fatal-error exit of the pool.
#include "core/pool/futex.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

namespace quorvane::pool::detail {

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
