#include "boundary/entry/call.hpp"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "boundary/arrays/intake.hpp"
#include "core/support/buffer.hpp"
#include "core/support/failure.hpp"
#include "core/support/interrupt.hpp"

namespace quorvane::py {

namespace {

constexpr const char* kGenericPanic = "native code of quorvane panicked without a message";

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

// The poll of the serial loops: the lock is held, so ask the interpreter
// directly. Handlers run only on the main thread of the main interpreter;
// elsewhere this returns at once. A handler that raised leaves its exception
// pending, and the call returns with it. A handler that returned may have
// resized, reshaped or retyped an array the loops read through raw views:
// then the call ends with the ValueError that report_change raises.
bool poll_signals(void* call_arrays) {
  if (PyErr_CheckSignals() != 0) return true;
  return static_cast<const numpy::CallArrays*>(call_arrays)->report_change();
}

// Restores the per-thread lock count however the guard is left.
struct LockDepthScope {
  LockDepthScope() noexcept { ++lock_depth(); }
  ~LockDepthScope() { --lock_depth(); }
};

// Raises the outcome of a body; anything thrown while doing so cannot be reported.
// A forced unwind (the interpreter ending this thread) carries no exception
// object, so the reference its handler binds is null: the ABI's way, which the
// undefined-behaviour sanitizer's null check would otherwise stop.
template <class Run>
__attribute__((no_sanitize("null"))) PyObject* guarded(Run&& run) {
  LockDepthScope depth;
  numpy::CallArrays arrays;
  InterruptScope interrupts(&poll_signals, &arrays);
  PyObject* result = nullptr;
  try {
    try {
      Fallible<PyRef> outcome = run();
      if (outcome.ok()) {
        result = outcome.value().release();
      } else {
        raise_error(std::move(outcome).error());
      }
    } catch (abi::__forced_unwind&) {
      throw;  // the interpreter is ending this thread: let it
    } catch (const Interrupted&) {
      // The poll left the handler's exception (KeyboardInterrupt), or the
      // ValueError of an array a handler changed, pending.
      if (!PyErr_Occurred()) {
        raise_error(CallError::deferred(ErrorClass::system_error,
                                        "attempted to fetch exception but none was set"));
      }
    } catch (const AllocationFailure& failure) {
      raise_error(CallError::deferred(ErrorClass::memory_error, allocation_message(failure.count())));
    } catch (const InternalFailure& failure) {
      raise_error(panic_exception(failure.message()));
    } catch (const std::exception& failure) {
      // bad_alloc and other library exceptions: report them the same way,
      // including the diagnostic that `fail` writes for internal failures.
      raise_error(panic_exception(diagnosed(failure.what())));
    } catch (...) {
      raise_error(panic_exception(diagnosed(kGenericPanic)));
    }
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    abort_at_boundary();
  }
  return result;
}

}  // namespace

std::string allocation_message(std::size_t count) {
  // Binary units, as NumPy words its own allocation failures; the byte count is
  // formed in floating point, since it may not fit in a size_t.
  static constexpr const char* kUnits[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double amount = static_cast<double>(count) * static_cast<double>(sizeof(double));
  std::size_t unit = 0;
  while (amount >= 1024.0 && unit + 1 < std::size(kUnits)) {
    amount /= 1024.0;
    ++unit;
  }
  char size[64];
  if (unit == 0) {
    std::snprintf(size, sizeof size, "%.0f %s", amount, kUnits[unit]);
  } else {
    std::snprintf(size, sizeof size, "%.2f %s", amount, kUnits[unit]);
  }
  std::string m = "Unable to allocate ";
  m += size;
  m += " for an array with shape (";
  m += std::to_string(count);
  m += ",) and data type float64";
  return m;
}

PyObject* call_entry(Body body, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return body(args, nargs, kwnames); });
}

PyObject* init_entry(InitBody body) {
  return guarded([&] { return body(); });
}

}  // namespace quorvane::py
