// The computations of the _quorvane functions, each run by the shared function
// body on its converted arguments (boundary/entry/function_body.hpp): the
// estimator on views of the arrays, then the result.
#include "boundary/quorvane/functions.hpp"

#include "boundary/entry/function_body.hpp"
#include "boundary/quorvane/docstrings.hpp"
#include "core/weights/constant_flow.hpp"
#include "core/estimates/samples.hpp"
#include "core/weights/tangent_flow.hpp"
#include "core/parallel/tangent_flow_parallel.hpp"
#include "core/estimates/constant_flow_price.hpp"
#include "core/estimates/tangent_flow_price.hpp"

namespace quorvane::py {

namespace {

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

Fallible<PyRef> weights_constant_flow(const ReadonlyArray& w_terminals, double horizon,
                                      double sigma_at_x0) {
  return weights_result(bel_weights_constant_flow(w_terminals.vector(), horizon, sigma_at_x0));
}

Fallible<PyRef> weights_tangent_flow(const PathArrays<5>& b, double horizon) {
  return weights_result(
      bel_weights_tangent_flow(b.view(0), b.view(1), b.view(2), b.view(3), b.view(4), horizon));
}

Fallible<PyRef> weights_tangent_flow_parallel(const PathArrays<5>& b, double horizon) {
  return parallel_weights(
      validate_tangent_flow_inputs(b.view(0), b.view(1), b.view(2), b.view(3), b.view(4), horizon),
      tangent_flow_weights_parallel);
}

Fallible<PyRef> samples_price(const ReadonlyArray& samples) {
  const MeanStderr result = price_from_samples(samples.vector());
  return tuple_of_floats<2>({result.mean, result.stderr_});
}

Fallible<PyRef> delta_constant_flow(const ReadonlyArray& terminal_states,
                                    const ReadonlyArray& w_terminals, double horizon,
                                    double sigma_at_x0, std::string_view payoff, FloatOrZero strike) {
  return outcome_result(price_and_delta_constant_flow(terminal_states.vector(), w_terminals.vector(),
                                                      horizon, sigma_at_x0, payoff, strike.value),
                        estimate_tuple);
}

Fallible<PyRef> delta_tangent_flow(const PathArrays<5>& b, double horizon, std::string_view payoff,
                                   FloatOrZero strike) {
  return outcome_result(price_and_delta_tangent_flow(b.view(0), b.view(1), b.view(2), b.view(3),
                                                     b.view(4), horizon, payoff, strike.value),
                        estimate_tuple);
}

constexpr FunctionRecord kFunctions[] = {
    function_record<kBelWeightsConstantFlowArgs, weights_constant_flow>(docs::kBelWeightsConstantFlow),
    function_record<kBelWeightsTangentFlowArgs, weights_tangent_flow>(docs::kBelWeightsTangentFlow),
    function_record<kBelWeightsTangentFlowParallelArgs, weights_tangent_flow_parallel>(
        docs::kBelWeightsTangentFlowParallel),
    function_record<kPriceFromSamplesArgs, samples_price>(docs::kPriceFromSamples),
    function_record<kPriceAndDeltaConstantFlowArgs, delta_constant_flow>(
        docs::kPriceAndDeltaConstantFlow),
    function_record<kPriceAndDeltaTangentFlowArgs, delta_tangent_flow>(docs::kPriceAndDeltaTangentFlow),
};

}  // namespace

std::span<const FunctionRecord> quorvane_functions() noexcept { return kFunctions; }

}  // namespace quorvane::py
