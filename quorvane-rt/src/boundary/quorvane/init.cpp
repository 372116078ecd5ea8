// The extension module _quorvane: six functions and a version string.
//
//   import _quorvane
//   _quorvane.__all__     # the six functions in table order, then '__version__'
//   _quorvane.__doc__     # ''
//
// Single-phase initialisation through the shared module builder; the function
// table is in functions.cpp.
#include "boundary/entry/module.hpp"
#include "boundary/quorvane/functions.hpp"

namespace quorvane::py {

namespace {

PyModuleDef module_definition = single_phase_definition("_quorvane", "");

ModuleCell cell;

Fallible<PyRef> initialise() {
  std::size_t count = 0;
  const FunctionRecord* functions = quorvane_functions(count);
  return initialise_module(ModuleDefinition{&module_definition, functions, count, kVersion}, cell);
}

}  // namespace

}  // namespace quorvane::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__quorvane(void) {
  return quorvane::py::init_entry(&quorvane::py::initialise);
}
