#include "boundary/entry/module.hpp"

#include <dlfcn.h>

#include <memory>
#include <string>

#include "boundary/errors/errors.hpp"

namespace quorvane::py {

namespace {

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
  // The function object points into this definition as long as it lives. Until
  // the module holds the function, a failure drops the only reference to it
  // (declared after the definition, so released first) and the definition with
  // it; once the module holds it, the definition is left to the function for
  // the life of the process: the function can outlive a failed initialisation
  // in a reference cycle with the module, and the collector reads the
  // definition's flags when it visits or frees the function.
  auto definition = std::make_unique<PyMethodDef>(
      PyMethodDef{record.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(record.entry)),
                  METH_FASTCALL | METH_KEYWORDS, record.doc});
  PyRef function = PyRef::steal(PyCMethod_New(definition.get(), module, module_name.get(), nullptr));
  if (!function) return false;
  PyObject* name_attr = interned("__name__", name_key);
  if (name_attr == nullptr) return false;
  PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), name_attr));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) {
    PyErr_SetString(PyExc_TypeError, "function __name__ must be a str");
    return false;
  }
  if (!add_to_module(module, name.get(), function.get())) return false;
  definition.release();  // now the function's, for the life of the process
  return true;
}

// CPython 3.12 refuses a single-phase module in a sub-interpreter that checks
// extension compatibility (an isolated one), but only after the initialiser has
// returned. Asking the same question first lets such an import fail before it
// claims the module. The check is private to 3.12 (3.13 runs single-phase
// initialisers in the main interpreter), so it is looked up, not linked.
bool single_phase_allowed_here(const char* name) {
  using Check = int (*)(const char*);
  static const Check check = reinterpret_cast<Check>(
      ::dlsym(RTLD_DEFAULT, "_PyImport_CheckSubinterpIncompatibleExtensionAllowed"));
  return check == nullptr || check(name) == 0;
}

CallError second_interpreter(const ModuleDefinition& module_def) {
  return CallError::deferred(ErrorClass::import_error,
                             std::string(module_def.definition->m_name) +
                                 " does not support sub-interpreters: it can only be "
                                 "imported by the first interpreter that imported it");
}

}  // namespace

Fallible<PyRef> initialise_module(const ModuleDefinition& module_def, ModuleCell& cell) {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1) return fetch_error();
  const std::int64_t owner = cell.owning_interpreter.load();
  if (owner != -1 && owner != id) return second_interpreter(module_def);
  if (owner == id && cell.module != nullptr) return PyRef::borrow(cell.module);
  if (!single_phase_allowed_here(module_def.definition->m_name)) return fetch_error();

  PyRef module = PyRef::steal(PyModule_Create2(module_def.definition, PYTHON_ABI_VERSION));
  if (!module) return fetch_error();
  for (const FunctionRecord* record : module_def.functions) {
    if (!register_function(module.get(), *record)) return fetch_error();
  }
  PyRef version_name = PyRef::steal(PyUnicode_FromString("__version__"));
  PyRef version = PyRef::steal(PyUnicode_FromString(module_def.version));
  if (!version_name || !version || !add_to_module(module.get(), version_name.get(), version.get())) {
    return fetch_error();
  }
  // Only an initialisation that succeeded claims the module for its interpreter;
  // a failed one leaves the guard as it was, so a later import may still own it.
  std::int64_t expected = -1;
  if (!cell.owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    return second_interpreter(module_def);
  }
  // Registration may have let another thread in; the first module stored wins.
  if (cell.module == nullptr) cell.module = module.release();
  return PyRef::borrow(cell.module);
}

}  // namespace quorvane::py
