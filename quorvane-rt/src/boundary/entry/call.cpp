#include "boundary/entry/call.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "core/support/failure.hpp"

namespace quorvane::py {

namespace {

constexpr const char* kGenericPanic = "native code of _quorvane panicked without a message";

[[noreturn]] void abort_at_boundary() noexcept {
  std::fputs("fatal: uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

// Writes the standard diagnostic for a failure that did not come through `fail`
// (an exception of the C++ library, such as std::bad_alloc) and returns its text.
std::string diagnosed(std::string message) {
  try {
    fail(message);
  } catch (...) {
    // fail always throws; with no memory left even the diagnostic may not be written
  }
  return message;
}

// Raises the outcome of a body; anything thrown while doing so cannot be reported.
template <class Run>
PyObject* guarded(Run&& run) noexcept {
  ++lock_depth();
  release_deferred();
  PyObject* result = nullptr;
  try {
    try {
      Fallible<PyRef> outcome = run();
      if (outcome.ok()) {
        result = outcome.value().release();
      } else {
        raise_error(std::move(outcome).error());
      }
    } catch (const InternalFailure& failure) {
      raise_error(panic_exception(failure.message()));
    } catch (const std::exception& failure) {
      // bad_alloc and other library exceptions: report them the same way,
      // including the diagnostic that `fail` writes for internal failures.
      raise_error(panic_exception(diagnosed(failure.what())));
    } catch (...) {
      raise_error(panic_exception(diagnosed(kGenericPanic)));
    }
  } catch (...) {
    abort_at_boundary();
  }
  --lock_depth();
  return result;
}

}  // namespace

PyObject* call_entry(Body body, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] { return body(args, nargs, kwnames); });
}

PyObject* init_entry(InitBody body) noexcept {
  return guarded([&] { return body(); });
}

}  // namespace quorvane::py
