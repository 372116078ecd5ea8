// Errors of the module, as values, and how each becomes a Python exception.
//
// A `CallError` is either deferred (an exception class and a message, no Python
// object: the exception is built only when raised, so it may be made and moved
// without the interpreter lock) or fetched (the interpreter's own normalised
// exception triple). Only the call entry and module initialisation raise one.
//
// `PanicException` is the exception of internal failures. It derives from
// BaseException, so `except Exception` does not catch it, and it is not an
// attribute of _quorvane.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "boundary/python/python.hpp"

namespace quorvane::py {

enum class ErrorClass { value_error, type_error, import_error, system_error, panic };

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

// The PanicException type (created on first use; a borrowed reference).
PyObject* panic_exception_type();

// str() (or repr()) of an object as UTF-8, lone surrogates as U+FFFD; an object
// whose str() raises is reported as unraisable and rendered "<unprintable T object>".
std::string render(PyObject* object, bool use_repr = false);
// "PyErr { type: ..., value: ..., traceback: None | Some(...) }".
std::string debug_form(CallError& error);

// Results of boundary operations: a value, or the error that ends the call.
template <class T>
class [[nodiscard]] Fallible {
 public:
  Fallible(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Fallible(CallError error) : state_(std::in_place_index<1>, std::move(error)) {}
  bool ok() const noexcept { return state_.index() == 0; }
  T& value() & { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  CallError& error() & { return std::get<1>(state_); }
  CallError&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, CallError> state_;
};

// Prints the interpreter's pending error (if any) and fails internally with
// "Python API call failed": for objects the interpreter could not create.
[[noreturn]] void python_api_call_failed();

}  // namespace quorvane::py
