// The computations of the quorvane._chunks functions, each run by the shared
// function body on its converted arguments (boundary/entry/function_body.hpp):
// the estimator's sums on views of the arrays, or the rule on combined sums.
#include "boundary/chunks/functions.hpp"

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "boundary/chunks/docstrings.hpp"
#include "boundary/entry/function_body.hpp"
#include "core/estimates/constant_flow_greeks.hpp"
#include "core/estimates/constant_flow_price.hpp"
#include "core/estimates/samples.hpp"
#include "core/estimates/tangent_flow_greeks.hpp"
#include "core/estimates/tangent_flow_price.hpp"
#include "core/statistics/chunk_sums.hpp"

namespace quorvane::py {

namespace {

// The estimators' own descriptors: same names, parameters and defaults.
constexpr ArgumentDescriptor kSamplesArgs{"price_from_samples", {"samples"}, 1, 1};
constexpr ArgumentDescriptor kDeltaConstantFlowArgs{
    "price_and_delta_constant_flow",
    {"terminal_states", "w_terminals", "horizon", "sigma_at_x0", "payoff", "strike"},
    6,
    5};
constexpr ArgumentDescriptor kDeltaTangentFlowArgs{
    "price_and_delta_tangent_flow",
    {"states", "dws", "sigma_field", "d_mu_dx_field", "d_sigma_dx_field", "horizon", "payoff", "strike"},
    8,
    7};
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
constexpr ArgumentDescriptor kEstimateFromSumsArgs{
    "estimate_from_sums", {"sums", "undefined_stderr"}, 2, 2};

template <std::size_t K>
Fallible<PyRef> sums_result(Outcome<LaneSums<K>>&& sums) {
  return outcome_result(std::move(sums), [](const LaneSums<K>& s) {
    return numpy::array_from_vector(chunk_sums_row(s));
  });
}

Fallible<PyRef> samples_sums(const ReadonlyArray& samples) {
  return sums_result<1>(sum_samples(samples.vector()));
}

Fallible<PyRef> delta_constant_flow_sums(const ReadonlyArray& terminal_states,
                                         const ReadonlyArray& w_terminals, double horizon,
                                         double sigma_at_x0, std::string_view payoff,
                                         FloatOrZero strike) {
  return sums_result(price_and_delta_constant_flow_sums(
      terminal_states.vector(), w_terminals.vector(), horizon, sigma_at_x0, payoff, strike.value));
}

Fallible<PyRef> delta_tangent_flow_sums(const PathArrays<5>& b, double horizon,
                                        std::string_view payoff, FloatOrZero strike) {
  return sums_result(price_and_delta_tangent_flow_sums(b.view(0), b.view(1), b.view(2), b.view(3),
                                                       b.view(4), horizon, payoff, strike.value));
}

Fallible<PyRef> greeks_constant_flow_sums(const ReadonlyArray& terminal_states,
                                          const ReadonlyArray& w_terminals, double horizon,
                                          double sigma_at_x0, double d_sigma_dx, double volatility,
                                          std::string_view payoff, FloatOrZero strike) {
  return sums_result(price_and_greeks_constant_flow_sums(terminal_states.vector(),
                                                         w_terminals.vector(), horizon, sigma_at_x0,
                                                         d_sigma_dx, volatility, payoff,
                                                         strike.value));
}

Fallible<PyRef> greeks_tangent_flow_sums(const PathArrays<7>& b, double horizon,
                                         std::string_view payoff, FloatOrZero strike) {
  return sums_result(price_and_greeks_tangent_flow_sums(b.view(0), b.view(1), b.view(2), b.view(3),
                                                        b.view(4), b.view(5), b.view(6), horizon,
                                                        payoff, strike.value));
}

// undefined_stderr names the rule's variant, as UndefinedStderr does.
Fallible<PyRef> estimate_from_sums(const PathArrays<1>& sums, std::string_view undefined_stderr) {
  UndefinedStderr undefined;
  if (undefined_stderr == "zero") {
    undefined = UndefinedStderr::zero;
  } else if (undefined_stderr == "nan") {
    undefined = UndefinedStderr::nan;
  } else {
    return value_error("undefined_stderr must be 'zero' or 'nan', not '" +
                       std::string(undefined_stderr) + "'");
  }
  return outcome_result(estimates_from_chunk_sums(sums.view(0), undefined), numpy::array_from_vector);
}

constexpr FunctionRecord kFunctions[] = {
    function_record<kSamplesArgs, samples_sums>(docs::kSamplesSums),
    function_record<kDeltaConstantFlowArgs, delta_constant_flow_sums>(docs::kDeltaConstantFlowSums),
    function_record<kDeltaTangentFlowArgs, delta_tangent_flow_sums>(docs::kDeltaTangentFlowSums),
    function_record<kGreeksConstantFlowArgs, greeks_constant_flow_sums>(
        docs::kGreeksConstantFlowSums),
    function_record<kGreeksTangentFlowArgs, greeks_tangent_flow_sums>(docs::kGreeksTangentFlowSums),
    function_record<kEstimateFromSumsArgs, estimate_from_sums>(docs::kEstimateFromSums),
};

}  // namespace

std::span<const FunctionRecord> chunks_functions() noexcept { return kFunctions; }

}  // namespace quorvane::py
