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
// _greeks, _localised and _average are installed inside the quorvane package,
// which re-exports their functions (the price_and_* ones wrapped so that they
// return named tuples); _chunks serves quorvane.dask, which combines chunks with
// the `*_sums` rows (each named as its estimator) and estimate_from_sums.
#include <algorithm>
#include <array>
#include <cstddef>

#include "boundary/entry/initialisers.hpp"
#include "boundary/entry/module.hpp"
#include "boundary/functions/average.hpp"
#include "boundary/functions/constant_flow.hpp"
#include "boundary/functions/samples.hpp"
#include "boundary/functions/table.hpp"
#include "boundary/functions/tangent_flow.hpp"

namespace quorvane::py {

namespace {

enum class Module : std::size_t { quorvane, greeks, chunks, localised, average };

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
    {"quorvane._average",
     "Path-dependent payoffs: BEL delta weights and estimates for payoffs of a\n"
     "weighted average A = sum_k a_k X_k of the path (arithmetic Asians, forward-start\n"
     "averages), exact for the Euler scheme of any scalar diffusion, and for GBM and\n"
     "ABM sampled exactly at the monitoring dates."},
};

namespace cf = constant_flow_table;
namespace tf = tangent_flow_table;
namespace av = average_table;

// Every module function: its module, then the record of its row in its family's
// table; a module's functions in its order.
struct Selection {
  Module module;
  FunctionRecord function;
};
constexpr Selection kSelections[] = {
    {Module::quorvane, record<cf::kBelWeightsConstantFlow>()},
    {Module::quorvane, record<tf::kBelWeightsTangentFlow>()},
    {Module::quorvane, record<tf::kBelWeightsTangentFlowParallel>()},
    {Module::quorvane, record<samples_table::kPriceFromSamples>()},
    {Module::quorvane, record<cf::kPriceAndDeltaConstantFlow>()},
    {Module::quorvane, record<tf::kPriceAndDeltaTangentFlow>()},
    {Module::greeks, record<cf::kBelWeightsGammaConstantFlow>()},
    {Module::greeks, record<cf::kBelWeightsVegaConstantFlow>()},
    {Module::greeks, record<tf::kBelWeightsGammaTangentFlow>()},
    {Module::greeks, record<tf::kBelWeightsGammaTangentFlowParallel>()},
    {Module::greeks, record<cf::kPriceAndGreeksConstantFlow>()},
    {Module::greeks, record<tf::kPriceAndGreeksTangentFlow>()},
    {Module::greeks, record<tf::kPriceAndDeltaTangentFlowParallel>()},
    {Module::greeks, record<tf::kPriceAndGreeksTangentFlowParallel>()},
    {Module::chunks, record<samples_table::kPriceFromSamplesSums>()},
    {Module::chunks, record<cf::kPriceAndDeltaConstantFlowSums>()},
    {Module::chunks, record<tf::kPriceAndDeltaTangentFlowSums>()},
    {Module::chunks, record<cf::kPriceAndGreeksConstantFlowSums>()},
    {Module::chunks, record<tf::kPriceAndGreeksTangentFlowSums>()},
    {Module::chunks, record<cf::kPriceAndGreeksConstantFlowLocalisedSums>()},
    {Module::chunks, record<tf::kPriceAndGreeksTangentFlowLocalisedSums>()},
    {Module::chunks, record<tf::kPriceAndDeltaTangentFlowParallelSums>()},
    {Module::chunks, record<tf::kPriceAndGreeksTangentFlowParallelSums>()},
    {Module::chunks, record<av::kPriceAndDeltaAverageTangentFlowSums>()},
    {Module::chunks, record<av::kPriceAndDeltaAverageConstantFlowSums>()},
    {Module::chunks, record<samples_table::kEstimateFromSums>()},
    {Module::localised, record<cf::kPriceAndGreeksConstantFlowLocalised>()},
    {Module::localised, record<tf::kPriceAndGreeksTangentFlowLocalised>()},
    {Module::localised, record<tf::kPriceAndGreeksTangentFlowLocalisedParallel>()},
    {Module::localised, record<tf::kBelWeightsAndVariationsTangentFlow>()},
    {Module::average, record<av::kBelWeightsAverageTangentFlow>()},
    {Module::average, record<av::kBelWeightsAverageTangentFlowParallel>()},
    {Module::average, record<av::kPriceAndDeltaAverageTangentFlow>()},
    {Module::average, record<av::kBelWeightsAverageConstantFlow>()},
    {Module::average, record<av::kPriceAndDeltaAverageConstantFlow>()},
};

// The module's functions in table order, at compile time.
template <Module m>
constexpr auto functions_of() {
  constexpr auto selected = [](const Selection& s) { return s.module == m; };
  std::array<const FunctionRecord*, std::ranges::count_if(kSelections, selected)> out{};
  std::size_t i = 0;
  for (const Selection& s : kSelections)
    if (selected(s)) out[i++] = &s.function;
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
PyObject* quorvane_rt_init__average(void) { return quorvane::py::init<Module::average>(); }
