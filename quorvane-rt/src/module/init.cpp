// Module initialisation of _quorvane (single-phase).
//
//   import _quorvane
//   _quorvane.__all__     # the functions in table order, then '__version__'
//   _quorvane.__doc__     # ''
//
// The module object is created once per process and kept: importing again
// (after deleting it from sys.modules) returns the same object. A second
// interpreter is refused, since the module's caches are process-wide.
#include <atomic>
#include <cstdint>

#include "module/call.hpp"
#include "module/errors.hpp"
#include "module/functions.hpp"

namespace quorvane::py {

namespace {

constexpr const char* kVersion = "0.1.3";

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_quorvane",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<std::int64_t> owning_interpreter{-1};
PyObject* module_cell = nullptr;  // set once, never cleared

PyObject* interned(const char* text, PyObject*& cache) {
  if (cache == nullptr) cache = PyUnicode_InternFromString(text);
  return cache;
}
PyObject* name_key = nullptr;
PyObject* all_key = nullptr;

// Appends `name` to the module's __all__ (creating it) and sets the attribute.
bool add_to_module(PyObject* module, PyObject* name, PyObject* value) {
  PyObject* all_name = interned("__all__", all_key);
  if (all_name == nullptr) return false;
  PyRef all = PyRef::steal(PyObject_GetAttr(module, all_name));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttr(module, all_name, all.get()) != 0) return false;
  }
  if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return false;
  }
  return PyList_Append(all.get(), name) == 0 && PyObject_SetAttr(module, name, value) == 0;
}

bool register_function(PyObject* module, const FunctionRecord& record) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  // The function object points into this definition for the life of the process.
  auto* definition = new PyMethodDef{record.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(record.entry)),
                                     METH_FASTCALL | METH_KEYWORDS, record.doc};
  PyRef function = PyRef::steal(PyCMethod_New(definition, module, module_name.get(), nullptr));
  if (!function) return false;
  PyObject* name_attr = interned("__name__", name_key);
  if (name_attr == nullptr) return false;
  PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), name_attr));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) {
    PyErr_SetString(PyExc_TypeError, "function __name__ must be a str");
    return false;
  }
  return add_to_module(module, name.get(), function.get());
}

Fallible<PyRef> initialise() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1) return fetch_error();
  std::int64_t expected = -1;
  if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    return CallError::deferred(ErrorClass::import_error,
                               "_quorvane does not support sub-interpreters: it can only be "
                               "imported by the first interpreter that imported it");
  }
  if (module_cell != nullptr) return PyRef::borrow(module_cell);

  PyRef module = PyRef::steal(PyModule_Create2(&module_definition, 3));
  if (!module) return fetch_error();
  std::size_t count = 0;
  const FunctionRecord* table = function_table(count);
  for (std::size_t i = 0; i < count; ++i) {
    if (!register_function(module.get(), table[i])) return fetch_error();
  }
  PyRef version_name = PyRef::steal(PyUnicode_FromString("__version__"));
  PyRef version = PyRef::steal(PyUnicode_FromString(kVersion));
  if (!version_name || !version || !add_to_module(module.get(), version_name.get(), version.get())) {
    return fetch_error();
  }
  // Registration may have let another thread in; the first module stored wins.
  if (module_cell == nullptr) module_cell = module.release();
  return PyRef::borrow(module_cell);
}

}  // namespace

}  // namespace quorvane::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__quorvane(void) {
  return quorvane::py::init_entry(&quorvane::py::initialise);
}
