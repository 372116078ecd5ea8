// The bodies of the module functions: bind, convert (arrays first, then the
// scalars in parameter order), run the estimator on views, build the result.
// Array handles are locals, so they are dropped in reverse order of intake on
// every path out of a body.
#include "boundary/quorvane/functions.hpp"

#include <array>

#include "boundary/arrays/intake.hpp"
#include "boundary/arrays/output.hpp"
#include "core/estimators/constant_flow.hpp"
#include "core/estimators/samples.hpp"
#include "core/estimators/tangent_flow.hpp"
#include "core/estimators/tangent_flow_parallel.hpp"
#include "core/from_paths/constant_flow_price.hpp"
#include "core/from_paths/tangent_flow_price.hpp"
#include "boundary/binding/binding.hpp"
#include "boundary/entry/call.hpp"
#include "boundary/quorvane/docstrings.hpp"

namespace quorvane::py {

namespace {

using numpy::extract_readonly_array;
using numpy::ReadonlyArray;

constexpr ArgumentDescriptor kBelWeightsConstantFlowArgs{
    "bel_weights_constant_flow", {"w_terminals", "horizon", "sigma_at_x0"}, 3, 3};
constexpr ArgumentDescriptor kBelWeightsTangentFlowArgs{
    "bel_weights_tangent_flow", {"states", "dws", "sigma", "d_mu_dx", "d_sigma_dx", "horizon"}, 6, 6};
constexpr ArgumentDescriptor kBelWeightsTangentFlowParallelArgs{
    "bel_weights_tangent_flow_parallel", {"states", "dws", "sigma", "d_mu_dx", "d_sigma_dx", "horizon"}, 6, 6};
constexpr ArgumentDescriptor kPriceFromSamplesArgs{"price_from_samples", {"samples"}, 1, 1};
constexpr ArgumentDescriptor kPriceAndDeltaConstantFlowArgs{
    "price_and_delta_constant_flow",
    {"terminal_states", "w_terminals", "horizon", "sigma_at_x0", "payoff", "strike"},
    6,
    5};
constexpr ArgumentDescriptor kPriceAndDeltaTangentFlowArgs{
    "price_and_delta_tangent_flow",
    {"states", "dws", "sigma_field", "d_mu_dx_field", "d_sigma_dx_field", "horizon", "payoff", "strike"},
    8,
    7};

PyRef estimate_tuple(const Estimate& e) {
  return tuple_of_floats<4>({e.price, e.delta, e.price_stderr, e.delta_stderr});
}

Fallible<PyRef> bel_weights_constant_flow_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto bound = bind_arguments(kBelWeightsConstantFlowArgs, args, nargs, kwnames);
  if (!bound.ok()) return std::move(bound).error();
  const ArgumentSlots& slot = bound.value();
  auto w_terminals = extract_readonly_array(slot[0], "w_terminals", 1);
  if (!w_terminals.ok()) return std::move(w_terminals).error();
  auto horizon = extract_float(slot[1], "horizon");
  if (!horizon.ok()) return std::move(horizon).error();
  auto sigma_at_x0 = extract_float(slot[2], "sigma_at_x0");
  if (!sigma_at_x0.ok()) return std::move(sigma_at_x0).error();
  auto weights = bel_weights_constant_flow(w_terminals.value().vector(), horizon.value(), sigma_at_x0.value());
  if (!weights.ok()) return value_error(std::move(weights.failure().message));
  return numpy::array_from_vector(std::move(weights).value());
}

Fallible<PyRef> bel_weights_tangent_flow_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto bound = bind_arguments(kBelWeightsTangentFlowArgs, args, nargs, kwnames);
  if (!bound.ok()) return std::move(bound).error();
  const ArgumentSlots& slot = bound.value();
  auto batch = numpy::take_path_batch(slot, kBelWeightsTangentFlowArgs);
  if (!batch.ok()) return std::move(batch).error();
  auto horizon = extract_float(slot[5], "horizon");
  if (!horizon.ok()) return std::move(horizon).error();
  const numpy::PathBatch& b = batch.value();
  auto weights = bel_weights_tangent_flow(b.view(0), b.view(1), b.view(2), b.view(3), b.view(4), horizon.value());
  if (!weights.ok()) return value_error(std::move(weights.failure().message));
  return numpy::array_from_vector(std::move(weights).value());
}

// Validates with the interpreter lock held (the pool is not touched when that
// fails), computes with it released, and builds the result or the error only
// after taking it back. The array handles stay alive throughout.
Fallible<PyRef> bel_weights_tangent_flow_parallel_body(PyObject* const* args, Py_ssize_t nargs,
                                                       PyObject* kwnames) {
  auto bound = bind_arguments(kBelWeightsTangentFlowParallelArgs, args, nargs, kwnames);
  if (!bound.ok()) return std::move(bound).error();
  const ArgumentSlots& slot = bound.value();
  auto batch = numpy::take_path_batch(slot, kBelWeightsTangentFlowParallelArgs);
  if (!batch.ok()) return std::move(batch).error();
  auto horizon = extract_float(slot[5], "horizon");
  if (!horizon.ok()) return std::move(horizon).error();
  const numpy::PathBatch& b = batch.value();
  auto inputs = validate_tangent_flow_inputs(b.view(0), b.view(1), b.view(2), b.view(3), b.view(4),
                                             horizon.value());
  if (!inputs.ok()) return value_error(std::move(inputs.failure().message));
  prepare_parallel_run();  // reads the environment while the lock still guards it
  auto weights = without_lock([&] { return tangent_flow_weights_parallel(inputs.value()); });
  if (!weights.ok()) return value_error(std::move(weights.failure().message));
  return numpy::array_from_vector(std::move(weights).value());
}

Fallible<PyRef> price_from_samples_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto bound = bind_arguments(kPriceFromSamplesArgs, args, nargs, kwnames);
  if (!bound.ok()) return std::move(bound).error();
  auto samples = extract_readonly_array(bound.value()[0], "samples", 1);
  if (!samples.ok()) return std::move(samples).error();
  const MeanStderr result = price_from_samples(samples.value().vector());
  return tuple_of_floats<2>({result.mean, result.stderr_});
}

Fallible<PyRef> price_and_delta_constant_flow_body(PyObject* const* args, Py_ssize_t nargs,
                                                   PyObject* kwnames) {
  auto bound = bind_arguments(kPriceAndDeltaConstantFlowArgs, args, nargs, kwnames);
  if (!bound.ok()) return std::move(bound).error();
  const ArgumentSlots& slot = bound.value();
  auto terminal_states = extract_readonly_array(slot[0], "terminal_states", 1);
  if (!terminal_states.ok()) return std::move(terminal_states).error();
  auto w_terminals = extract_readonly_array(slot[1], "w_terminals", 1);
  if (!w_terminals.ok()) return std::move(w_terminals).error();
  auto horizon = extract_float(slot[2], "horizon");
  if (!horizon.ok()) return std::move(horizon).error();
  auto sigma_at_x0 = extract_float(slot[3], "sigma_at_x0");
  if (!sigma_at_x0.ok()) return std::move(sigma_at_x0).error();
  auto payoff = extract_str(slot[4], "payoff");
  if (!payoff.ok()) return std::move(payoff).error();
  Fallible<double> strike = 0.0;
  if (slot[5] != nullptr) strike = extract_float(slot[5], "strike");
  if (!strike.ok()) return std::move(strike).error();
  auto estimate = price_and_delta_constant_flow(terminal_states.value().vector(), w_terminals.value().vector(),
                                                horizon.value(), sigma_at_x0.value(), payoff.value(),
                                                strike.value());
  if (!estimate.ok()) return value_error(std::move(estimate.failure().message));
  return estimate_tuple(estimate.value());
}

Fallible<PyRef> price_and_delta_tangent_flow_body(PyObject* const* args, Py_ssize_t nargs,
                                                  PyObject* kwnames) {
  auto bound = bind_arguments(kPriceAndDeltaTangentFlowArgs, args, nargs, kwnames);
  if (!bound.ok()) return std::move(bound).error();
  const ArgumentSlots& slot = bound.value();
  auto batch = numpy::take_path_batch(slot, kPriceAndDeltaTangentFlowArgs);
  if (!batch.ok()) return std::move(batch).error();
  auto horizon = extract_float(slot[5], "horizon");
  if (!horizon.ok()) return std::move(horizon).error();
  auto payoff = extract_str(slot[6], "payoff");
  if (!payoff.ok()) return std::move(payoff).error();
  Fallible<double> strike = 0.0;
  if (slot[7] != nullptr) strike = extract_float(slot[7], "strike");
  if (!strike.ok()) return std::move(strike).error();
  const numpy::PathBatch& b = batch.value();
  auto estimate = price_and_delta_tangent_flow(b.view(0), b.view(1), b.view(2), b.view(3), b.view(4),
                                               horizon.value(), payoff.value(), strike.value());
  if (!estimate.ok()) return value_error(std::move(estimate.failure().message));
  return estimate_tuple(estimate.value());
}

constexpr FunctionRecord kFunctions[] = {
    {"bel_weights_constant_flow", &entry<bel_weights_constant_flow_body>, docs::kBelWeightsConstantFlow},
    {"bel_weights_tangent_flow", &entry<bel_weights_tangent_flow_body>, docs::kBelWeightsTangentFlow},
    {"bel_weights_tangent_flow_parallel", &entry<bel_weights_tangent_flow_parallel_body>,
     docs::kBelWeightsTangentFlowParallel},
    {"price_from_samples", &entry<price_from_samples_body>, docs::kPriceFromSamples},
    {"price_and_delta_constant_flow", &entry<price_and_delta_constant_flow_body>,
     docs::kPriceAndDeltaConstantFlow},
    {"price_and_delta_tangent_flow", &entry<price_and_delta_tangent_flow_body>,
     docs::kPriceAndDeltaTangentFlow},
};

}  // namespace

const FunctionRecord* quorvane_functions(std::size_t& count) noexcept {
  count = std::size(kFunctions);
  return kFunctions;
}

}  // namespace quorvane::py
