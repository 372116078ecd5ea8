// The extension module quorvane._localised: localised Greeks, the BEL weight
// only where the payoff is not smooth.
//
//   from quorvane import _localised
//   _localised.__all__     # the four functions in this order, then '__version__'
//
// It is served by the same runtime as _quorvane and installed inside the
// quorvane package, which re-exports its functions (the two
// price_and_greeks_*_localised functions wrapped so that they return named
// tuples). Single-phase initialisation through the shared module builder; the
// functions are rows of the family tables (boundary/functions).
#include "boundary/entry/initialisers.hpp"
#include "boundary/entry/module.hpp"
#include "boundary/functions/functions.hpp"

namespace quorvane::py {

namespace {

PyModuleDef module_definition = single_phase_definition(
    "quorvane._localised",
    "Localised Greeks: the smooth part of the payoff differentiated along the path,\n"
    "the BEL (Malliavin) weight only near the strike; unbiased for any bandwidth, and\n"
    "the per-path variations Y_N, Z_N for localising payoffs of your own.");

constexpr const FunctionRecord* kFunctions[] = {
    &rows::price_and_greeks_constant_flow_localised,
    &rows::price_and_greeks_tangent_flow_localised,
    &rows::price_and_greeks_tangent_flow_localised_parallel,
    &rows::bel_weights_and_variations_tangent_flow,
};

}  // namespace

}  // namespace quorvane::py

PyObject* quorvane_rt_init__localised(void) {
  return quorvane::py::module_init<quorvane::py::module_definition, quorvane::py::kFunctions>();
}
