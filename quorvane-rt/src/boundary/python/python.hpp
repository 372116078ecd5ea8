// The one place that includes Python.h, and the ownership of Python references.
//
// `PyRef` owns one strong reference. It is released with the interpreter lock
// held; a release on a thread that does not hold the lock (as noted by the call
// entry's per-thread nesting count) is queued instead and performed by the next
// call entry, so no reference is ever dropped without the lock.
#pragma once

#ifndef Py_LIMITED_API
#error "_quorvane is built for the stable ABI; the build defines Py_LIMITED_API"
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quorvane::py {

// Number of call entries on this thread that currently hold the interpreter lock.
int& lock_depth() noexcept;

inline bool holds_lock() noexcept { return lock_depth() > 0; }

// Queues a release for the next call entry (thread-safe).
void defer_release(PyObject* object) noexcept;
// Performs the queued releases; the caller holds the lock.
void release_deferred() noexcept;

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

  void reset() noexcept {
    PyObject* object = std::exchange(object_, nullptr);
    if (object == nullptr) return;
    if (holds_lock()) {
      Py_DECREF(object);
    } else {
      defer_release(object);
    }
  }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

// Releases the interpreter lock for its lifetime (the parallel estimator's
// compute phase). While released, this thread's nesting count reads 0, so any
// reference dropped meanwhile is queued rather than released.
class UnlockedSection {
 public:
  UnlockedSection() noexcept : depth_(std::exchange(lock_depth(), 0)), state_(PyEval_SaveThread()) {}
  ~UnlockedSection() {
    PyEval_RestoreThread(state_);
    lock_depth() = depth_;
  }
  UnlockedSection(const UnlockedSection&) = delete;
  UnlockedSection& operator=(const UnlockedSection&) = delete;

 private:
  int depth_;
  PyThreadState* state_;
};

}  // namespace quorvane::py
