#include "boundary/errors/errors.hpp"

#include <cstdio>

#include "core/support/failure.hpp"

namespace quorvane::py {

namespace {

PyObject* cached_panic_type = nullptr;  // guarded by the interpreter lock; never released

constexpr const char* kRuntimeModule = "quorvane_runtime";
constexpr const char* kPanicDottedName = "quorvane_runtime.PanicException";

// The docstring of the class in quorvane_runtime, for the fallback class: the
// module's own string literals, copied at configure time (CMakeLists.txt).
constexpr const char* kPanicDoc =
#include "boundary/errors/panic_doc.inc"
    ;

void append_utf8(std::string& out, Py_UCS4 c) {
  if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;  // a lone surrogate cannot be encoded
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// UTF-8 of a str object, lossily: the fast path borrows the cached encoding; a
// str holding lone surrogates is re-encoded code point by code point.
std::string utf8_lossy(PyObject* text) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) return std::string(utf8, size);
  PyErr_Clear();
  std::string out;
  Py_UCS4* chars = PyUnicode_AsUCS4Copy(text);
  if (chars == nullptr) {
    PyErr_Clear();
    return out;
  }
  Py_ssize_t n = PyUnicode_GetLength(text);
  for (Py_ssize_t i = 0; i < n; ++i) append_utf8(out, chars[i]);
  PyMem_Free(chars);
  return out;
}

std::string type_name_of(PyObject* object) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return {};
  }
  return utf8_lossy(name.get());
}

// quorvane_runtime.PanicException (a new reference), or null with no error
// pending when that module cannot be imported or holds no such exception class.
PyObject* runtime_panic_class() {
  PyRef module = PyRef::steal(PyImport_ImportModule(kRuntimeModule));
  PyRef cls = module ? PyRef::steal(PyObject_GetAttrString(module.get(), "PanicException")) : PyRef();
  if (!cls || !PyExceptionClass_Check(cls.get())) {
    PyErr_Clear();
    return nullptr;
  }
  return cls.release();
}

// The class as the runtime module defines it, made here when that module is
// missing, and registered under the module's name so that every extension
// module of the process (and pickle) finds this one class.
PyObject* fallback_panic_class() {
  PyRef cls = PyRef::steal(PyErr_NewExceptionWithDoc(kPanicDottedName, kPanicDoc, PyExc_BaseException, nullptr));
  if (!cls) return nullptr;
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  PyObject* present = modules ? PyDict_GetItemString(modules, kRuntimeModule) : nullptr;  // borrowed
  if (modules != nullptr && present == nullptr) {
    PyRef module = PyRef::steal(PyModule_New(kRuntimeModule));
    if (!module || PyModule_AddObjectRef(module.get(), "PanicException", cls.get()) != 0 ||
        PyDict_SetItemString(modules, kRuntimeModule, module.get()) != 0) {
      PyErr_Clear();  // the class still works; only sharing it by name is lost
    }
  }
  return cls.release();
}

PyObject* builtin_class(ErrorClass cls) {
  switch (cls) {
    case ErrorClass::value_error: return PyExc_ValueError;
    case ErrorClass::type_error: return PyExc_TypeError;
    case ErrorClass::import_error: return PyExc_ImportError;
    case ErrorClass::system_error: return PyExc_SystemError;
    case ErrorClass::memory_error: return PyExc_MemoryError;
    case ErrorClass::panic: return panic_exception_type();
  }
  return PyExc_SystemError;
}

}  // namespace

PyObject* panic_exception_type() {
  if (cached_panic_type != nullptr) return cached_panic_type;
  PyObject* found = runtime_panic_class();
  if (found == nullptr) found = fallback_panic_class();
  if (found == nullptr) {
    PyErr_Print();
    fail("Failed to initialize new exception type.");
  }
  // Importing may have let another thread in; the first one stored wins.
  if (cached_panic_type != nullptr) {
    Py_DECREF(found);
  } else {
    cached_panic_type = found;
  }
  return cached_panic_type;
}

PyObject* CallError::type_object() const {
  return fetched_ ? type_.get() : builtin_class(class_);
}

CallError fetch_error() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return CallError::deferred(ErrorClass::system_error,
                               "attempted to fetch exception but none was set");
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  // PanicException derives from BaseException only: anything that is an
  // Exception needs no look-up of the class.
  if (value != nullptr && PyObject_IsInstance(value, PyExc_Exception) == 0 &&
      PyObject_IsInstance(value, panic_exception_type()) == 1) {
    // Python code inside this call (a __float__, say) met an internal failure of
    // this module: carry that failure on instead of wrapping it.
    PyObject* text = PyObject_Str(value);
    std::string message = "Unwrapped panic from Python code";
    if (text != nullptr) {
      message = utf8_lossy(text);
      Py_DECREF(text);
    } else {
      PyErr_Clear();
    }
    std::fputs("quorvane: internal error resumed: Python code called back into quorvane "
               "and raised its PanicException\n"
               "Python stack trace below:\n",
               stderr);
    PyErr_Restore(type, value, traceback);
    PyErr_PrintEx(0);
    fail(std::move(message));
  }
  PyErr_Clear();
  return CallError::fetched(PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback));
}

void raise_error(CallError&& error) {
  if (error.is_fetched()) {
    PyRef type = PyRef::borrow(error.type()), value = PyRef::borrow(error.value()),
          traceback = PyRef::borrow(error.traceback());
    PyErr_Restore(type.release(), value.release(), traceback.release());
    return;
  }
  PyObject* cls = error.type_object();
  PyRef message = PyRef::steal(
      PyUnicode_FromStringAndSize(error.message().data(), static_cast<Py_ssize_t>(error.message().size())));
  if (!message) return;  // the interpreter's own error (MemoryError) is pending
  if (PyExceptionClass_Check(cls)) {
    PyErr_SetObject(cls, message.get());
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
  // Normalise now, so the caller receives an exception instance, not a pair.
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyErr_Restore(type, value, traceback);
}

std::string render(PyObject* object, bool use_repr) {
  PyRef text = PyRef::steal(use_repr ? PyObject_Repr(object) : PyObject_Str(object));
  if (text && PyUnicode_Check(text.get())) return utf8_lossy(text.get());
  if (!text) PyErr_WriteUnraisable(object);
  std::string name = type_name_of(object);
  return name.empty() ? std::string("<unprintable object>") : "<unprintable " + name + " object>";
}

std::string debug_form(CallError& error) {
  PyRef type, value, traceback;
  if (error.is_fetched()) {
    type = PyRef::borrow(error.type());
    value = PyRef::borrow(error.value());
    traceback = PyRef::borrow(error.traceback());
  } else {
    type = PyRef::borrow(error.type_object());
    PyRef message = PyRef::steal(PyUnicode_FromStringAndSize(
        error.message().data(), static_cast<Py_ssize_t>(error.message().size())));
    if (message) value = PyRef::steal(PyObject_CallFunctionObjArgs(type.get(), message.get(), nullptr));
    if (!value) PyErr_Clear();
  }
  std::string out = "PyErr { type: ";
  out += render(type.get(), true);
  out += ", value: ";
  out += value ? render(value.get(), true) : std::string("None");
  out += ", traceback: ";
  if (traceback && traceback.get() != Py_None) {
    out += "Some(";
    out += render(traceback.get(), true);
    out += ")";
  } else {
    out += "None";
  }
  out += " }";
  return out;
}

void python_api_call_failed() {
  if (PyErr_Occurred()) PyErr_Print();
  fail("Python API call failed");
}

}  // namespace quorvane::py
