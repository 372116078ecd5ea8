// The extension module quorvane._greeks: gamma and vega by BEL weights.
//
//   from quorvane import _greeks
//   _greeks.__all__     # the eight functions in this order, then '__version__'
//
// It is served by the same runtime as _quorvane and installed inside the
// quorvane package, which re-exports its functions (the price_and_* functions
// wrapped so that they return named tuples). Single-phase initialisation
// through the shared module builder; the functions are rows of the family
// tables (boundary/functions).
#include "boundary/entry/initialisers.hpp"
#include "boundary/entry/module.hpp"
#include "boundary/functions/functions.hpp"

namespace quorvane::py {

namespace {

PyModuleDef module_definition = single_phase_definition(
    "quorvane._greeks",
    "Gamma and vega by BEL (Malliavin) weights from paths you simulate: constant-flow\n"
    "gamma and vega weights, tangent-flow gamma weights for any scalar diffusion, and\n"
    "price, delta, gamma (and vega) with standard errors in one pass.");

constexpr const FunctionRecord* kFunctions[] = {
    &rows::bel_weights_gamma_constant_flow,         &rows::bel_weights_vega_constant_flow,
    &rows::bel_weights_gamma_tangent_flow,          &rows::bel_weights_gamma_tangent_flow_parallel,
    &rows::price_and_greeks_constant_flow,          &rows::price_and_greeks_tangent_flow,
    &rows::price_and_delta_tangent_flow_parallel,   &rows::price_and_greeks_tangent_flow_parallel,
};

}  // namespace

}  // namespace quorvane::py

PyObject* quorvane_rt_init__greeks(void) {
  return quorvane::py::module_init<quorvane::py::module_definition, quorvane::py::kFunctions>();
}
