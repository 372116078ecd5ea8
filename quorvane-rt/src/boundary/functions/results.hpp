// What the rows' computations return: an estimator's outcome as the call's
// result, weights as a new NumPy array, a chunk's sums as a new NumPy array,
// and the parallel form's run with the interpreter lock released.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <utility>

#include "boundary/arrays/intake.hpp"
#include "boundary/arrays/output.hpp"
#include "boundary/errors/errors.hpp"
#include "core/parallel/tangent_flow_parallel.hpp"
#include "core/statistics/chunk_sums.hpp"
#include "core/support/outcome.hpp"

namespace quorvane::py {

// An estimator's outcome as the call's result: its validation failure as
// ValueError, else its value built into a Python object by `build`.
template <class T, class Build>
Fallible<PyRef> outcome_result(Outcome<T>&& outcome, Build&& build) {
  if (!outcome.ok()) return value_error(std::move(outcome.failure().message));
  return build(std::move(outcome).value());
}

inline Fallible<PyRef> weights_result(Outcome<DoubleBuffer>&& weights) {
  return outcome_result(std::move(weights), numpy::array_from_vector);
}

// A chunk's sums as the 1-D array [n, S1, S2 of each lane] (chunk_sums.hpp).
template <std::size_t K>
Fallible<PyRef> sums_result(Outcome<LaneSums<K>>&& sums) {
  return outcome_result(std::move(sums),
                        [](const LaneSums<K>& s) { return numpy::array_from_vector(chunk_sums_row(s)); });
}

// A serial computation on checked inputs: the validation failure as ValueError,
// else the outcome of `run` on the inputs, as outcome_result builds it.
template <class Inputs, class Run, class Build>
Fallible<PyRef> checked_result(Outcome<Inputs>&& inputs, Run&& run, Build&& build) {
  if (!inputs.ok()) return value_error(std::move(inputs.failure().message));
  return outcome_result(run(inputs.value()), std::forward<Build>(build));
}

// Several per-path arrays as one tuple of new NumPy arrays, in order.
template <std::size_t N>
PyRef tuple_of_arrays(std::array<DoubleBuffer, N>&& buffers) {
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(N)));
  if (!tuple) python_api_call_failed();
  for (std::size_t i = 0; i < N; ++i) {
    // The tuple drops the arrays set so far when a later one fails.
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i),
                    numpy::array_from_vector(std::move(buffers[i])).release());
  }
  return tuple;
}

// The parallel form: validates with the interpreter lock held (the pool is not
// touched when that fails), computes with it released, and builds the result
// (by `build`, as outcome_result does) or the error only after taking it back.
// The caller's array handles stay alive throughout, and none of the arrays can
// be resized meanwhile (by another thread, or by a signal handler that the
// waiting caller runs while the workers read): see CallArrays::SizeHold.
template <class Inputs, class T, class Build>
Fallible<PyRef> parallel_result(Outcome<Inputs>&& inputs, Outcome<T> (*run)(const Inputs&), Build&& build) {
  if (!inputs.ok()) return value_error(std::move(inputs.failure().message));
  prepare_parallel_run();  // reads the environment while the lock still guards it
  const numpy::CallArrays* arrays = numpy::CallArrays::current();
  std::optional<numpy::CallArrays::SizeHold> hold;
  if (arrays != nullptr) hold.emplace(*arrays);
  return outcome_result(without_lock([&] { return run(inputs.value()); }), std::forward<Build>(build));
}

template <class Inputs>
Fallible<PyRef> parallel_weights(Outcome<Inputs>&& inputs,
                                 Outcome<DoubleBuffer> (*run)(const Inputs&)) {
  return parallel_result(std::move(inputs), run, numpy::array_from_vector);
}

}  // namespace quorvane::py
