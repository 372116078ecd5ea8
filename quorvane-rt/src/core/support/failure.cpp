#include "core/support/failure.hpp"

#include <cstdio>
#include <string>

#include <unistd.h>

#include "core/platform/platform.hpp"

namespace quorvane {

namespace {

// The interpreter's main thread is the process's first thread, which goes
// unnamed; any other thread (Python threads and pool workers alike) is named by
// its number (the kernel thread id on Linux).
std::string thread_note() {
  if (platform::on_main_thread()) return {};
  return " (thread " + std::to_string(platform::thread_number()) + ")";
}

const char* file_tail(const char* path) {
  // Keep the path from the source root on, so diagnostics do not carry build paths.
  std::string_view p(path);
  auto at = p.rfind("/src/");
  return at == std::string_view::npos ? path : path + at + 1;
}

}  // namespace

void fail(std::string message, std::source_location where) {
  std::string line = "quorvane: internal error at ";
  line += file_tail(where.file_name());
  line += ':';
  line += std::to_string(where.line());
  line += thread_note();
  line += ": ";
  for (const char c : message) line += (c == '\n' || c == '\r') ? ' ' : c;
  line += '\n';
  // One write, so concurrent diagnostics do not interleave mid-line.
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  throw InternalFailure(std::move(message));
}

}  // namespace quorvane
