// The extension module quorvane._chunks: the sums of the estimators on one chunk
// of paths, and the statistics rule on the sums of several chunks, for
// quorvane.dask, which combines chunks with them.
//
//   from quorvane import _chunks
//   row = _chunks.price_and_delta_constant_flow(x_t, w_t, 1.0, 20.0, "call", 100.0)
//   _chunks.estimate_from_sums(numpy.stack([row, ...]), "zero")
//
// Single-phase initialisation through the shared module builder; the functions
// are the `*_sums` rows of the family tables (boundary/functions), each named
// as its estimator, and estimate_from_sums.
#include "boundary/entry/initialisers.hpp"
#include "boundary/entry/module.hpp"
#include "boundary/functions/functions.hpp"

namespace quorvane::py {

namespace {

PyModuleDef module_definition = single_phase_definition(
    "quorvane._chunks",
    "Chunk sums of the estimators (the count, then S1 and S2 of each lane) and the\n"
    "statistics rule on the sums of several chunks: the native half of quorvane.dask.");

constexpr const FunctionRecord* kFunctions[] = {
    &rows::price_from_samples_sums,
    &rows::price_and_delta_constant_flow_sums,
    &rows::price_and_delta_tangent_flow_sums,
    &rows::price_and_greeks_constant_flow_sums,
    &rows::price_and_greeks_tangent_flow_sums,
    &rows::price_and_delta_tangent_flow_parallel_sums,
    &rows::price_and_greeks_tangent_flow_parallel_sums,
    &rows::estimate_from_sums,
};

}  // namespace

}  // namespace quorvane::py

PyObject* quorvane_rt_init__chunks(void) {
  return quorvane::py::module_init<quorvane::py::module_definition, quorvane::py::kFunctions>();
}
