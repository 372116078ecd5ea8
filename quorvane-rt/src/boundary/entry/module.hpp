// Single-phase initialisation shared by the wheel's extension modules.
//
//   import _quorvane
//   _quorvane.__all__     # the functions in table order, then '__version__'
//
// A module's definition (boundary/modules) supplies its static PyModuleDef, the
// records of the functions it selects and its version; `initialise_module` (run under the call guard by the module's
// PyInit_*) creates the module once per process and keeps it: importing again
// (after deleting it from sys.modules) returns the same object. A second
// interpreter is refused, since the caches behind every module are process-wide.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

#include "boundary/entry/call.hpp"

namespace quorvane::py {

// One module function: its name, its fastcall entry point and its docstring
// (text-signature line, "--", a blank line, then the body).
struct FunctionRecord {
  const char* name;
  PyObject* (*entry)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
  const char* doc;
};

// The fastcall entry point of a body: every call runs through call_entry.
template <Body body>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_entry(body, args, nargs, kwnames);
}

// A single-phase definition: no per-module state, no method table (the
// functions are added by initialise_module), no slots and no hooks.
inline PyModuleDef single_phase_definition(const char* name, const char* doc) {
  return PyModuleDef{
      .m_base = PyModuleDef_HEAD_INIT,
      .m_name = name,
      .m_doc = doc,
      .m_size = 0,
      .m_methods = nullptr,
      .m_slots = nullptr,
      .m_traverse = nullptr,
      .m_clear = nullptr,
      .m_free = nullptr,
  };
}

// The version every module of the wheel reports as __version__.
inline constexpr const char* kVersion = "0.1.3";

struct ModuleDefinition {
  PyModuleDef* definition;  // static; m_methods empty, functions are added here
  std::span<const FunctionRecord* const> functions;  // in registration order
  const char* version;  // set as __version__, the last name in __all__
};

// Process-wide state of one module: the interpreter that owns it and the module
// object, both set once and never cleared.
struct ModuleCell {
  std::atomic<std::int64_t> owning_interpreter{-1};
  PyObject* module = nullptr;
};

// The body of a PyInit_*: a new reference to the module, created on the first
// successful call in the process.
Fallible<PyRef> initialise_module(const ModuleDefinition& module_def, ModuleCell& cell);

// A module's PyInit_*: initialise_module under the call guard, with the
// module's static definition, its array of function records and the wheel's
// version. The definition has internal linkage, so each module has its own cell.
template <PyModuleDef& definition, const auto& functions>
PyObject* module_init() {
  static ModuleCell cell;
  return init_entry([]() -> Fallible<PyRef> {
    return initialise_module(ModuleDefinition{&definition, functions, kVersion}, cell);
  });
}

}  // namespace quorvane::py
