#include "boundary/python/python.hpp"

#include <atomic>
#include <mutex>
#include <vector>

namespace quorvane::py {

namespace {

std::mutex& deferred_mutex() {
  static std::mutex m;
  return m;
}

// Never destroyed: releases may be requested during interpreter shutdown.
std::vector<PyObject*>& deferred() {
  static auto* v = new std::vector<PyObject*>();
  return *v;
}

// Lets every call entry skip the mutex when nothing is queued (the usual case).
std::atomic<bool> any_deferred{false};

}  // namespace

int& lock_depth() noexcept {
  thread_local int depth = 0;
  return depth;
}

void defer_release(PyObject* object) noexcept {
  std::lock_guard<std::mutex> guard(deferred_mutex());
  try {
    deferred().push_back(object);
    any_deferred.store(true, std::memory_order_release);
  } catch (...) {
    // Out of memory while queueing: leaking one reference is the only safe choice.
  }
}

void release_deferred() noexcept {
  if (!any_deferred.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> pending;
  {
    std::lock_guard<std::mutex> guard(deferred_mutex());
    pending.swap(deferred());
    any_deferred.store(false, std::memory_order_relaxed);
  }
  for (PyObject* object : pending) Py_DECREF(object);
}

}  // namespace quorvane::py
