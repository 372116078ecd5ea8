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

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_quorvane",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

ModuleCell cell;

Fallible<PyRef> initialise() {
  std::size_t count = 0;
  const FunctionRecord* functions = quorvane_functions(count);
  return initialise_module(ModuleDefinition{&module_definition, functions, count, "0.1.3"}, cell);
}

}  // namespace

}  // namespace quorvane::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__quorvane(void) {
  return quorvane::py::init_entry(&quorvane::py::initialise);
}
