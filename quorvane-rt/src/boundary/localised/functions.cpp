// The computations of the quorvane._localised functions, each run by the shared
// function body on its converted arguments (boundary/entry/function_body.hpp):
// the estimator on views of the arrays, then the result.
#include "boundary/localised/functions.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <utility>

#include "boundary/entry/function_body.hpp"
#include "boundary/localised/docstrings.hpp"
#include "core/estimates/localised_greeks.hpp"

namespace quorvane::py {

// A float that may be omitted or None: the automatic choice (bandwidth=None).
struct FloatOrNone {
  std::optional<double> value;
};

namespace detail {

template <>
struct Parameter<FloatOrNone> {
  static constexpr std::size_t kSlots = 1;
  static Fallible<FloatOrNone> take(const ArgumentSlots& slot, const ArgumentDescriptor& d,
                                    std::size_t i) {
    if (slot[i] == nullptr || slot[i] == Py_None) return FloatOrNone{};
    auto v = extract_float(slot[i], d.parameters[i]);
    if (!v.ok()) return std::move(v).error();
    return FloatOrNone{v.value()};
  }
};

}  // namespace detail

namespace {

constexpr ArgumentDescriptor kConstantFlowArgs{
    "price_and_greeks_constant_flow_localised",
    {"terminal_states", "w_terminals", "horizon", "sigma_at_x0", "d_sigma_dx", "volatility", "payoff",
     "strike", "bandwidth"},
    9,
    7};
constexpr ArgumentDescriptor kTangentFlowArgs{
    "price_and_greeks_tangent_flow_localised",
    {"states", "dws", "sigma_field", "d_mu_dx_field", "d_sigma_dx_field", "d2_mu_dx2_field",
     "d2_sigma_dx2_field", "horizon", "payoff", "strike", "bandwidth"},
    11,
    9};
constexpr ArgumentDescriptor kVariationsArgs{
    "bel_weights_and_variations_tangent_flow",
    {"states", "dws", "sigma", "d_mu_dx", "d_sigma_dx", "d2_mu_dx2", "d2_sigma_dx2", "horizon"},
    8,
    8};

// A new tuple of the objects, which it takes over; null objects are the failure
// of the call that made them (an internal failure).
template <std::size_t N>
PyRef tuple_of(std::array<PyRef, N>&& items) {
  for (const PyRef& item : items)
    if (!item) python_api_call_failed();
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(N)));
  if (!tuple) python_api_call_failed();
  for (std::size_t i = 0; i < N; ++i)
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), items[i].release());
  return tuple;
}

template <std::size_t N>
PyRef floats(const std::array<double, N>& values) {
  std::array<PyRef, N> items;
  for (std::size_t i = 0; i < N; ++i) items[i] = PyRef::steal(PyFloat_FromDouble(values[i]));
  return tuple_of(std::move(items));
}

Fallible<PyRef> constant_flow(const ReadonlyArray& terminal_states, const ReadonlyArray& w_terminals,
                              double horizon, double sigma_at_x0, double d_sigma_dx,
                              double volatility, std::string_view payoff, FloatOrZero strike,
                              FloatOrNone bandwidth) {
  return outcome_result(
      price_and_greeks_constant_flow_localised(terminal_states.vector(), w_terminals.vector(),
                                               horizon, sigma_at_x0, d_sigma_dx, volatility, payoff,
                                               strike.value, bandwidth.value),
      [](const LocalisedGreekEstimate& l) {
        const GreekEstimate& e = l.greeks;
        return floats<11>({e.price, e.delta, e.gamma, e.vega, e.price_stderr, e.delta_stderr,
                           e.gamma_stderr, e.vega_stderr, l.bandwidth[0], l.bandwidth[1],
                           l.bandwidth[2]});
      });
}

Fallible<PyRef> tangent_flow(const PathArrays<7>& b, double horizon, std::string_view payoff,
                             FloatOrZero strike, FloatOrNone bandwidth) {
  return outcome_result(
      price_and_greeks_tangent_flow_localised(b.view(0), b.view(1), b.view(2), b.view(3),
                                              b.view(4), b.view(5), b.view(6), horizon, payoff,
                                              strike.value, bandwidth.value),
      [](const LocalisedTangentFlowEstimate& l) {
        const TangentFlowGreekEstimate& e = l.greeks;
        return floats<8>({e.price, e.delta, e.gamma, e.price_stderr, e.delta_stderr,
                          e.gamma_stderr, l.bandwidth[0], l.bandwidth[1]});
      });
}

Fallible<PyRef> variations(const PathArrays<7>& b, double horizon) {
  return outcome_result(
      bel_weights_and_variations_tangent_flow(b.view(0), b.view(1), b.view(2), b.view(3),
                                              b.view(4), b.view(5), b.view(6), horizon),
      [](WeightsAndVariations&& w) {
        return tuple_of<4>({numpy::array_from_vector(std::move(w.delta)),
                            numpy::array_from_vector(std::move(w.gamma)),
                            numpy::array_from_vector(std::move(w.y)),
                            numpy::array_from_vector(std::move(w.z))});
      });
}

constexpr FunctionRecord kFunctions[] = {
    function_record<kConstantFlowArgs, constant_flow>(docs::kPriceAndGreeksConstantFlowLocalised),
    function_record<kTangentFlowArgs, tangent_flow>(docs::kPriceAndGreeksTangentFlowLocalised),
    function_record<kVariationsArgs, variations>(docs::kBelWeightsAndVariationsTangentFlow),
};

}  // namespace

std::span<const FunctionRecord> localised_functions() noexcept { return kFunctions; }

}  // namespace quorvane::py
