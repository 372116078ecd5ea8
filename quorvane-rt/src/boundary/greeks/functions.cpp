// The bodies of the quorvane._greeks functions: bind, convert (arrays first, then
// the scalars in parameter order), run the estimator on views, build the result.
// Array handles are locals, so they are dropped in reverse order of intake on
// every path out of a body.
#include "boundary/greeks/functions.hpp"

#include <array>

#include "boundary/arrays/intake.hpp"
#include "boundary/arrays/output.hpp"
#include "boundary/binding/binding.hpp"
#include "boundary/entry/call.hpp"
#include "boundary/greeks/docstrings.hpp"
#include "core/estimators/constant_flow_greeks.hpp"
#include "core/estimators/tangent_flow_gamma.hpp"
#include "core/estimators/tangent_flow_parallel.hpp"
#include "core/from_paths/constant_flow_greeks.hpp"
#include "core/from_paths/tangent_flow_greeks.hpp"

namespace quorvane::py {

namespace {

using numpy::extract_readonly_array;

constexpr ArgumentDescriptor kGammaConstantFlowArgs{
    "bel_weights_gamma_constant_flow", {"w_terminals", "horizon", "sigma_at_x0", "d_sigma_dx"}, 4, 4};
constexpr ArgumentDescriptor kVegaConstantFlowArgs{
    "bel_weights_vega_constant_flow", {"w_terminals", "horizon", "d_sigma_dx", "volatility"}, 4, 4};
constexpr ArgumentDescriptor kGammaTangentFlowArgs{
    "bel_weights_gamma_tangent_flow",
    {"states", "dws", "sigma", "d_mu_dx", "d_sigma_dx", "d2_mu_dx2", "d2_sigma_dx2", "horizon"},
    8,
    8};
constexpr ArgumentDescriptor kGammaTangentFlowParallelArgs{
    "bel_weights_gamma_tangent_flow_parallel",
    {"states", "dws", "sigma", "d_mu_dx", "d_sigma_dx", "d2_mu_dx2", "d2_sigma_dx2", "horizon"},
    8,
    8};
constexpr ArgumentDescriptor kGreeksConstantFlowArgs{
    "price_and_greeks_constant_flow",
    {"terminal_states", "w_terminals", "horizon", "sigma_at_x0", "d_sigma_dx", "volatility", "payoff",
     "strike"},
    8,
    7};
constexpr ArgumentDescriptor kGreeksTangentFlowArgs{
    "price_and_greeks_tangent_flow",
    {"states", "dws", "sigma_field", "d_mu_dx_field", "d_sigma_dx_field", "d2_mu_dx2_field",
     "d2_sigma_dx2_field", "horizon", "payoff", "strike"},
    10,
    9};

// The scalars after the arrays, converted in parameter order; the first failure
// ends the call.
Fallible<std::array<double, 3>> three_floats(const ArgumentSlots& slot, const ArgumentDescriptor& d,
                                             std::size_t first) {
  std::array<double, 3> out{};
  for (std::size_t k = 0; k < 3; ++k) {
    auto v = extract_float(slot[first + k], d.parameters[first + k]);
    if (!v.ok()) return std::move(v).error();
    out[k] = v.value();
  }
  return out;
}

// An omitted strike is 0.0; None is an ordinary object and fails conversion.
Fallible<double> strike_or_zero(PyObject* object) {
  if (object == nullptr) return 0.0;
  return extract_float(object, "strike");
}

Fallible<PyRef> bel_weights_gamma_constant_flow_body(PyObject* const* args, Py_ssize_t nargs,
                                                     PyObject* kwnames) {
  auto bound = bind_arguments(kGammaConstantFlowArgs, args, nargs, kwnames);
  if (!bound.ok()) return std::move(bound).error();
  const ArgumentSlots& slot = bound.value();
  auto w_terminals = extract_readonly_array(slot[0], "w_terminals", 1);
  if (!w_terminals.ok()) return std::move(w_terminals).error();
  auto scalars = three_floats(slot, kGammaConstantFlowArgs, 1);
  if (!scalars.ok()) return std::move(scalars).error();
  const auto [horizon, sigma_at_x0, d_sigma_dx] = scalars.value();
  auto weights =
      bel_weights_gamma_constant_flow(w_terminals.value().vector(), horizon, sigma_at_x0, d_sigma_dx);
  if (!weights.ok()) return value_error(std::move(weights.failure().message));
  return numpy::array_from_vector(std::move(weights).value());
}

Fallible<PyRef> bel_weights_vega_constant_flow_body(PyObject* const* args, Py_ssize_t nargs,
                                                    PyObject* kwnames) {
  auto bound = bind_arguments(kVegaConstantFlowArgs, args, nargs, kwnames);
  if (!bound.ok()) return std::move(bound).error();
  const ArgumentSlots& slot = bound.value();
  auto w_terminals = extract_readonly_array(slot[0], "w_terminals", 1);
  if (!w_terminals.ok()) return std::move(w_terminals).error();
  auto scalars = three_floats(slot, kVegaConstantFlowArgs, 1);
  if (!scalars.ok()) return std::move(scalars).error();
  const auto [horizon, d_sigma_dx, volatility] = scalars.value();
  auto weights =
      bel_weights_vega_constant_flow(w_terminals.value().vector(), horizon, d_sigma_dx, volatility);
  if (!weights.ok()) return value_error(std::move(weights.failure().message));
  return numpy::array_from_vector(std::move(weights).value());
}

Fallible<PyRef> bel_weights_gamma_tangent_flow_body(PyObject* const* args, Py_ssize_t nargs,
                                                    PyObject* kwnames) {
  auto bound = bind_arguments(kGammaTangentFlowArgs, args, nargs, kwnames);
  if (!bound.ok()) return std::move(bound).error();
  const ArgumentSlots& slot = bound.value();
  auto batch = numpy::take_path_arrays<7>(slot, kGammaTangentFlowArgs);
  if (!batch.ok()) return std::move(batch).error();
  auto horizon = extract_float(slot[7], "horizon");
  if (!horizon.ok()) return std::move(horizon).error();
  const auto& b = batch.value();
  auto weights = bel_weights_gamma_tangent_flow(b.view(0), b.view(1), b.view(2), b.view(3),
                                                b.view(4), b.view(5), b.view(6), horizon.value());
  if (!weights.ok()) return value_error(std::move(weights.failure().message));
  return numpy::array_from_vector(std::move(weights).value());
}

// Validates with the interpreter lock held (the pool is not touched when that
// fails), computes with it released, and builds the result or the error only
// after taking it back. The array handles stay alive throughout.
Fallible<PyRef> bel_weights_gamma_tangent_flow_parallel_body(PyObject* const* args,
                                                             Py_ssize_t nargs, PyObject* kwnames) {
  auto bound = bind_arguments(kGammaTangentFlowParallelArgs, args, nargs, kwnames);
  if (!bound.ok()) return std::move(bound).error();
  const ArgumentSlots& slot = bound.value();
  auto batch = numpy::take_path_arrays<7>(slot, kGammaTangentFlowParallelArgs);
  if (!batch.ok()) return std::move(batch).error();
  auto horizon = extract_float(slot[7], "horizon");
  if (!horizon.ok()) return std::move(horizon).error();
  const auto& b = batch.value();
  auto inputs = validate_tangent_flow_gamma_inputs(b.view(0), b.view(1), b.view(2), b.view(3),
                                                   b.view(4), b.view(5), b.view(6), horizon.value());
  if (!inputs.ok()) return value_error(std::move(inputs.failure().message));
  prepare_parallel_run();  // reads the environment while the lock still guards it
  auto weights = without_lock([&] { return tangent_flow_gamma_weights_parallel(inputs.value()); });
  if (!weights.ok()) return value_error(std::move(weights.failure().message));
  return numpy::array_from_vector(std::move(weights).value());
}

Fallible<PyRef> price_and_greeks_constant_flow_body(PyObject* const* args, Py_ssize_t nargs,
                                                    PyObject* kwnames) {
  auto bound = bind_arguments(kGreeksConstantFlowArgs, args, nargs, kwnames);
  if (!bound.ok()) return std::move(bound).error();
  const ArgumentSlots& slot = bound.value();
  auto terminal_states = extract_readonly_array(slot[0], "terminal_states", 1);
  if (!terminal_states.ok()) return std::move(terminal_states).error();
  auto w_terminals = extract_readonly_array(slot[1], "w_terminals", 1);
  if (!w_terminals.ok()) return std::move(w_terminals).error();
  auto scalars = three_floats(slot, kGreeksConstantFlowArgs, 2);
  if (!scalars.ok()) return std::move(scalars).error();
  auto volatility = extract_float(slot[5], "volatility");
  if (!volatility.ok()) return std::move(volatility).error();
  auto payoff = extract_str(slot[6], "payoff");
  if (!payoff.ok()) return std::move(payoff).error();
  auto strike = strike_or_zero(slot[7]);
  if (!strike.ok()) return std::move(strike).error();
  const auto [horizon, sigma_at_x0, d_sigma_dx] = scalars.value();
  auto estimate = price_and_greeks_constant_flow(
      terminal_states.value().vector(), w_terminals.value().vector(), horizon, sigma_at_x0,
      d_sigma_dx, volatility.value(), payoff.value(), strike.value());
  if (!estimate.ok()) return value_error(std::move(estimate.failure().message));
  const GreekEstimate& e = estimate.value();
  return tuple_of_floats<8>({e.price, e.delta, e.gamma, e.vega, e.price_stderr, e.delta_stderr,
                             e.gamma_stderr, e.vega_stderr});
}

Fallible<PyRef> price_and_greeks_tangent_flow_body(PyObject* const* args, Py_ssize_t nargs,
                                                   PyObject* kwnames) {
  auto bound = bind_arguments(kGreeksTangentFlowArgs, args, nargs, kwnames);
  if (!bound.ok()) return std::move(bound).error();
  const ArgumentSlots& slot = bound.value();
  auto batch = numpy::take_path_arrays<7>(slot, kGreeksTangentFlowArgs);
  if (!batch.ok()) return std::move(batch).error();
  auto horizon = extract_float(slot[7], "horizon");
  if (!horizon.ok()) return std::move(horizon).error();
  auto payoff = extract_str(slot[8], "payoff");
  if (!payoff.ok()) return std::move(payoff).error();
  auto strike = strike_or_zero(slot[9]);
  if (!strike.ok()) return std::move(strike).error();
  const auto& b = batch.value();
  auto estimate = price_and_greeks_tangent_flow(b.view(0), b.view(1), b.view(2), b.view(3),
                                                b.view(4), b.view(5), b.view(6), horizon.value(),
                                                payoff.value(), strike.value());
  if (!estimate.ok()) return value_error(std::move(estimate.failure().message));
  const TangentFlowGreekEstimate& e = estimate.value();
  return tuple_of_floats<6>(
      {e.price, e.delta, e.gamma, e.price_stderr, e.delta_stderr, e.gamma_stderr});
}

constexpr FunctionRecord kFunctions[] = {
    {"bel_weights_gamma_constant_flow", &entry<bel_weights_gamma_constant_flow_body>,
     docs::kBelWeightsGammaConstantFlow},
    {"bel_weights_vega_constant_flow", &entry<bel_weights_vega_constant_flow_body>,
     docs::kBelWeightsVegaConstantFlow},
    {"bel_weights_gamma_tangent_flow", &entry<bel_weights_gamma_tangent_flow_body>,
     docs::kBelWeightsGammaTangentFlow},
    {"bel_weights_gamma_tangent_flow_parallel", &entry<bel_weights_gamma_tangent_flow_parallel_body>,
     docs::kBelWeightsGammaTangentFlowParallel},
    {"price_and_greeks_constant_flow", &entry<price_and_greeks_constant_flow_body>,
     docs::kPriceAndGreeksConstantFlow},
    {"price_and_greeks_tangent_flow", &entry<price_and_greeks_tangent_flow_body>,
     docs::kPriceAndGreeksTangentFlow},
};

}  // namespace

const FunctionRecord* greeks_functions(std::size_t& count) noexcept {
  count = std::size(kFunctions);
  return kFunctions;
}

}  // namespace quorvane::py
