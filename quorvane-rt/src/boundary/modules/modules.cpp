// The wheel's extension modules, as one table: each module's name and
// docstring, and the rows it selects from the family tables (boundary/functions)
// in its own order, which is that of its __all__ (then '__version__').
// Single-phase initialisation through the shared module builder
// (boundary/entry/module.hpp); each initialiser is the one call of its
// extension's PyInit_*.
//
//   import _quorvane
//   _quorvane.__all__     # the six functions in this order, then '__version__'
//   _quorvane.__doc__     # ''
//   from quorvane import _chunks
//   row = _chunks.price_and_delta_constant_flow(x_t, w_t, 1.0, 20.0, "call", 100.0)
//   _chunks.estimate_from_sums(numpy.stack([row, ...]), "zero")
//
// _greeks and _localised are installed inside the quorvane package, which
// re-exports their functions (the price_and_greeks_* ones wrapped so that they
// return named tuples); _chunks serves quorvane.dask, which combines chunks with
// the `*_sums` rows (each named as its estimator) and estimate_from_sums.
#include <algorithm>
#include <array>
#include <cstddef>

#include "boundary/entry/initialisers.hpp"
#include "boundary/entry/module.hpp"
#include "boundary/functions/functions.hpp"

namespace quorvane::py {

namespace {

enum class Module : std::size_t { quorvane, greeks, chunks, localised };

// By Module: the module's name and docstring.
struct ModuleRow {
  const char* name;
  const char* doc;
};
constexpr ModuleRow kModules[] = {
    {"_quorvane", ""},
    {"quorvane._greeks",
     "Gamma and vega by BEL (Malliavin) weights from paths you simulate: constant-flow\n"
     "gamma and vega weights, tangent-flow gamma weights for any scalar diffusion, and\n"
     "price, delta, gamma (and vega) with standard errors in one pass."},
    {"quorvane._chunks",
     "Chunk sums of the estimators (the count, then S1 and S2 of each lane) and the\n"
     "statistics rule on the sums of several chunks: the native half of quorvane.dask."},
    {"quorvane._localised",
     "Localised Greeks: the smooth part of the payoff differentiated along the path,\n"
     "the BEL (Malliavin) weight only near the strike; unbiased for any bandwidth, and\n"
     "the per-path variations Y_N, Z_N for localising payoffs of your own."},
};

// Every module function: its module, then its row; a module's in its order.
struct Selection {
  Module module;
  const FunctionRecord* function;
};
constexpr Selection kSelections[] = {
    {Module::quorvane, &rows::bel_weights_constant_flow},
    {Module::quorvane, &rows::bel_weights_tangent_flow},
    {Module::quorvane, &rows::bel_weights_tangent_flow_parallel},
    {Module::quorvane, &rows::price_from_samples},
    {Module::quorvane, &rows::price_and_delta_constant_flow},
    {Module::quorvane, &rows::price_and_delta_tangent_flow},
    {Module::greeks, &rows::bel_weights_gamma_constant_flow},
    {Module::greeks, &rows::bel_weights_vega_constant_flow},
    {Module::greeks, &rows::bel_weights_gamma_tangent_flow},
    {Module::greeks, &rows::bel_weights_gamma_tangent_flow_parallel},
    {Module::greeks, &rows::price_and_greeks_constant_flow},
    {Module::greeks, &rows::price_and_greeks_tangent_flow},
    {Module::chunks, &rows::price_from_samples_sums},
    {Module::chunks, &rows::price_and_delta_constant_flow_sums},
    {Module::chunks, &rows::price_and_delta_tangent_flow_sums},
    {Module::chunks, &rows::price_and_greeks_constant_flow_sums},
    {Module::chunks, &rows::price_and_greeks_tangent_flow_sums},
    {Module::chunks, &rows::price_and_greeks_constant_flow_localised_sums},
    {Module::chunks, &rows::price_and_greeks_tangent_flow_localised_sums},
    {Module::chunks, &rows::estimate_from_sums},
    {Module::localised, &rows::price_and_greeks_constant_flow_localised},
    {Module::localised, &rows::price_and_greeks_tangent_flow_localised},
    {Module::localised, &rows::price_and_greeks_tangent_flow_localised_parallel},
    {Module::localised, &rows::bel_weights_and_variations_tangent_flow},
};

// The module's functions in table order, at compile time.
template <Module m>
constexpr auto functions_of() {
  constexpr auto selected = [](const Selection& s) { return s.module == m; };
  std::array<const FunctionRecord*, std::ranges::count_if(kSelections, selected)> out{};
  std::size_t i = 0;
  for (const Selection& s : kSelections)
    if (selected(s)) out[i++] = s.function;
  return out;
}
template <Module m>
constexpr auto kFunctions = functions_of<m>();

// The module's static definition (the interpreter fills in its base on import).
template <Module m>
PyModuleDef definition = single_phase_definition(kModules[static_cast<std::size_t>(m)].name,
                                                 kModules[static_cast<std::size_t>(m)].doc);

template <Module m>
PyObject* init() {
  return module_init<definition<m>, kFunctions<m>>();
}

}  // namespace

}  // namespace quorvane::py

using quorvane::py::Module;

PyObject* quorvane_rt_init__quorvane(void) { return quorvane::py::init<Module::quorvane>(); }
PyObject* quorvane_rt_init__greeks(void) { return quorvane::py::init<Module::greeks>(); }
PyObject* quorvane_rt_init__chunks(void) { return quorvane::py::init<Module::chunks>(); }
PyObject* quorvane_rt_init__localised(void) { return quorvane::py::init<Module::localised>(); }
