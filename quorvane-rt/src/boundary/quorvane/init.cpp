// The extension module _quorvane: six functions and a version string.
//
//   import _quorvane
//   _quorvane.__all__     # the six functions in table order, then '__version__'
//   _quorvane.__doc__     # ''
//
// Single-phase initialisation through the shared module builder; the function
// table is in functions.cpp.
#include "boundary/entry/initialisers.hpp"
#include "boundary/entry/module.hpp"
#include "boundary/quorvane/functions.hpp"

namespace quorvane::py {

namespace {

PyModuleDef module_definition = single_phase_definition("_quorvane", "");

}  // namespace

}  // namespace quorvane::py

PyObject* quorvane_rt_init__quorvane(void) {
  return quorvane::py::module_init<quorvane::py::module_definition, quorvane::py::quorvane_functions>();
}
