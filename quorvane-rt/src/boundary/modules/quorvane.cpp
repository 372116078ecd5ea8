// The extension module _quorvane: six functions and a version string.
//
//   import _quorvane
//   _quorvane.__all__     # the six functions in this order, then '__version__'
//   _quorvane.__doc__     # ''
//
// Single-phase initialisation through the shared module builder; the functions
// are rows of the family tables (boundary/functions).
#include "boundary/entry/initialisers.hpp"
#include "boundary/entry/module.hpp"
#include "boundary/functions/functions.hpp"

namespace quorvane::py {

namespace {

PyModuleDef module_definition = single_phase_definition("_quorvane", "");

constexpr const FunctionRecord* kFunctions[] = {
    &rows::bel_weights_constant_flow,    &rows::bel_weights_tangent_flow,
    &rows::bel_weights_tangent_flow_parallel, &rows::price_from_samples,
    &rows::price_and_delta_constant_flow, &rows::price_and_delta_tangent_flow,
};

}  // namespace

}  // namespace quorvane::py

PyObject* quorvane_rt_init__quorvane(void) {
  return quorvane::py::module_init<quorvane::py::module_definition, quorvane::py::kFunctions>();
}
