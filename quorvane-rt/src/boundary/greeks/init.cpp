// The extension module quorvane._greeks: gamma and vega by BEL weights.
//
//   from quorvane import _greeks
//   _greeks.__all__     # the six functions in table order, then '__version__'
//
// It is built from the same core and boundary as _quorvane and installed inside
// the quorvane package, which re-exports its functions (the two price_and_greeks_*
// functions wrapped so that they return named tuples). Single-phase
// initialisation through the shared module builder; the function table is in
// functions.cpp.
#include "boundary/entry/initialisers.hpp"
#include "boundary/entry/module.hpp"
#include "boundary/greeks/functions.hpp"

namespace quorvane::py {

namespace {

PyModuleDef module_definition = single_phase_definition(
    "quorvane._greeks",
    "Gamma and vega by BEL (Malliavin) weights from paths you simulate: constant-flow\n"
    "gamma and vega weights, tangent-flow gamma weights for any scalar diffusion, and\n"
    "price, delta, gamma (and vega) with standard errors in one pass.");

}  // namespace

}  // namespace quorvane::py

PyObject* quorvane_rt_init__greeks(void) {
  return quorvane::py::module_init<quorvane::py::module_definition, quorvane::py::greeks_functions>();
}
