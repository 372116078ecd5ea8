// The one place that includes Python.h, and the ownership of Python references.
//
// `PyRef` owns one strong reference and releases it with the interpreter lock
// held. The call entry counts, per thread, how many calls hold the lock; the
// only way to leave a frame without it is a thread that the interpreter ends
// while it waits for the lock (a daemon thread at interpreter exit, which
// CPython ends with a forced unwind). A reference dropped then is left alone:
// the interpreter is shutting down, and touching the object without the lock
// could corrupt it.
#pragma once

#ifndef Py_LIMITED_API
#error "quorvane's extension modules are built for the stable ABI; the build defines Py_LIMITED_API"
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <exception>
#include <optional>
#include <utility>

namespace quorvane::py {

// Number of call entries on this thread that currently hold the interpreter lock.
int& lock_depth() noexcept;

inline bool holds_lock() noexcept { return lock_depth() > 0; }

class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a new reference (which may be null).
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Takes a new reference to a borrowed object.
  static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { reset(); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Gives the reference to the caller.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  PyRef clone() const noexcept { return borrow(object_); }

  // Without the lock (a thread being ended at interpreter exit) the reference
  // is deliberately leaked.
  void reset() noexcept {
    PyObject* object = std::exchange(object_, nullptr);
    if (object != nullptr && holds_lock()) Py_DECREF(object);
  }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

// True on the thread that runs Python's signal handlers (the process's first
// thread, which is also the forking thread in a child after fork).
bool on_signal_thread() noexcept;

// Runs the call's own poll `locked` (which needs the interpreter lock: it runs
// the signal handlers, then checks the call's arrays) with the lock released:
// takes the lock back for the moment of the poll and releases it again. What
// the poll raised (KeyboardInterrupt, or the ValueError of a changed array)
// stays pending on the thread and makes this say "stop"; so does a poll that
// threw.
bool poll_signals_unlocked(PyThreadState*& state, bool (*locked)(void*), void* context) noexcept;

// Runs `compute()` with the interpreter lock released (the parallel
// estimator's compute phase) and returns its result after taking the lock
// back. On the thread that runs signal handlers, long waits inside `compute`
// can ask for pending signals (interrupt_requested).
//
// The lock is taken back in this frame, on the normal path only: a failure of
// `compute` is held until the lock is back and then rethrown, so taking the
// lock never happens during unwinding. When the interpreter ends this thread
// instead of giving it the lock (pthread_exit, a forced unwind), the unwind
// passes through here, and through every frame up to the interpreter, with the
// lock not held.
template <class Compute>
auto without_lock(Compute&& compute) -> decltype(compute());

}  // namespace quorvane::py

#include "boundary/python/unlocked.inl"
