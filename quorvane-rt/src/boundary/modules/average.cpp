// The extension module quorvane._average: BEL delta weights and estimates for
// payoffs of a weighted average of the path.
//
//   from quorvane import _average
//   _average.__all__     # the five functions in this order, then '__version__'
//
// It is served by the same runtime as _quorvane and installed inside the
// quorvane package, which re-exports its functions (the two price_and_delta_*
// functions wrapped so that they return named tuples). Single-phase
// initialisation through the shared module builder; the functions are rows of
// the family table (boundary/functions/average.cpp).
#include "boundary/entry/initialisers.hpp"
#include "boundary/entry/module.hpp"
#include "boundary/functions/functions.hpp"

namespace quorvane::py {

namespace {

PyModuleDef module_definition = single_phase_definition(
    "quorvane._average",
    "Path-dependent payoffs: BEL delta weights and estimates for payoffs of a\n"
    "weighted average A = sum_k a_k X_k of the path (arithmetic Asians, forward-start\n"
    "averages), exact for the Euler scheme of any scalar diffusion, and for GBM and\n"
    "ABM sampled exactly at the monitoring dates.");

constexpr const FunctionRecord* kFunctions[] = {
    &rows::bel_weights_average_tangent_flow,
    &rows::bel_weights_average_tangent_flow_parallel,
    &rows::price_and_delta_average_tangent_flow,
    &rows::bel_weights_average_constant_flow,
    &rows::price_and_delta_average_constant_flow,
};

}  // namespace

}  // namespace quorvane::py

PyObject* quorvane_rt_init__average(void) {
  return quorvane::py::module_init<quorvane::py::module_definition, quorvane::py::kFunctions>();
}
