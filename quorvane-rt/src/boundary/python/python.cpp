#include "boundary/python/python.hpp"

#include "core/platform/platform.hpp"

namespace quorvane::py {

int& lock_depth() noexcept {
  thread_local int depth = 0;
  return depth;
}

bool on_signal_thread() noexcept { return platform::on_main_thread(); }

bool poll_signals_unlocked(PyThreadState*& state, bool (*locked)(void*), void* context) noexcept {
  PyEval_RestoreThread(state);
  const int depth = std::exchange(lock_depth(), 1);
  bool stop;
  try {
    stop = locked(context);
  } catch (...) {
    stop = true;
  }
  lock_depth() = depth;
  state = PyEval_SaveThread();
  return stop;
}

}  // namespace quorvane::py
