// Errors of the module, as values, and how each becomes a Python exception.
//
// A `CallError` is either deferred (an exception class and a message, no Python
// object: the exception is built only when raised, so it may be made and moved
// without the interpreter lock) or fetched (the interpreter's own normalised
// exception triple). Only the call entry and module initialisation raise one.
//
// `PanicException` is the exception of internal failures. It derives from
// BaseException, so `except Exception` does not catch it, and it is not an
// attribute of the extension modules: the class lives in the pure-Python
// module `quorvane_runtime`, so that every extension module of the wheel raises
// the same class and pickle finds it by its dotted name (in a worker process
// too).
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "boundary/python/python.hpp"
#include "core/support/result.hpp"

namespace quorvane::py {

enum class ErrorClass { value_error, type_error, import_error, system_error, memory_error, panic };

class CallError {
 public:
  static CallError deferred(ErrorClass cls, std::string message) {
    CallError e;
    e.class_ = cls;
    e.message_ = std::move(message);
    return e;
  }
  static CallError fetched(PyRef type, PyRef value, PyRef traceback) {
    CallError e;
    e.fetched_ = true;
    e.type_ = std::move(type);
    e.value_ = std::move(value);
    e.traceback_ = std::move(traceback);
    return e;
  }

  bool is_fetched() const noexcept { return fetched_; }
  ErrorClass error_class() const noexcept { return class_; }
  const std::string& message() const noexcept { return message_; }
  PyObject* type() const noexcept { return type_.get(); }
  PyObject* value() const noexcept { return value_.get(); }
  PyObject* traceback() const noexcept { return traceback_.get(); }
  // The exception type object, for either form (a borrowed reference; may create
  // PanicException).
  PyObject* type_object() const;

 private:
  bool fetched_ = false;
  ErrorClass class_ = ErrorClass::system_error;
  std::string message_;
  PyRef type_, value_, traceback_;
};

inline CallError value_error(std::string message) {
  return CallError::deferred(ErrorClass::value_error, std::move(message));
}
inline CallError type_error(std::string message) {
  return CallError::deferred(ErrorClass::type_error, std::move(message));
}
inline CallError panic_exception(std::string message) {
  return CallError::deferred(ErrorClass::panic, std::move(message));
}

// Takes the interpreter's pending error, clearing it. A PanicException raised by
// Python code that called back into native code resumes that internal failure.
CallError fetch_error();
// Sets the interpreter's error indicator from the error.
void raise_error(CallError&& error);

// The PanicException class (a borrowed reference), looked up once per module
// copy: `quorvane_runtime.PanicException` when that module imports, else a
// class of the same name and dotted name created here. Every module copy finds
// the same class (the fallback is registered as `quorvane_runtime` in
// sys.modules).
PyObject* panic_exception_type();

// str() (or repr()) of an object as UTF-8, lone surrogates as U+FFFD; an object
// whose str() raises is reported as unraisable and rendered "<unprintable T object>".
std::string render(PyObject* object, bool use_repr = false);
// "PyErr { type: ..., value: ..., traceback: None | Some(...) }".
std::string debug_form(CallError& error);

// Results of boundary operations: a value, or the error that ends the call.
template <class T>
using Fallible = Result<T, CallError>;

// Prints the interpreter's pending error (if any) and fails internally with
// "Python API call failed": for objects the interpreter could not create.
[[noreturn]] void python_api_call_failed();

}  // namespace quorvane::py
