// The extension module quorvane._chunks: the sums of the estimators on one chunk
// of paths, and the statistics rule on the sums of several chunks, for
// quorvane.dask, which combines chunks with them.
//
//   from quorvane import _chunks
//   row = _chunks.price_and_delta_constant_flow(x_t, w_t, 1.0, 20.0, "call", 100.0)
//   _chunks.estimate_from_sums(numpy.stack([row, ...]), "zero")
//
// Single-phase initialisation through the shared module builder; the function
// table is in functions.cpp.
#include "boundary/chunks/functions.hpp"
#include "boundary/entry/initialisers.hpp"
#include "boundary/entry/module.hpp"

namespace quorvane::py {

namespace {

PyModuleDef module_definition = single_phase_definition(
    "quorvane._chunks",
    "Chunk sums of the estimators (the count, then S1 and S2 of each lane) and the\n"
    "statistics rule on the sums of several chunks: the native half of quorvane.dask.");

}  // namespace

}  // namespace quorvane::py

PyObject* quorvane_rt_init__chunks(void) {
  return quorvane::py::module_init<quorvane::py::module_definition, quorvane::py::chunks_functions>();
}
