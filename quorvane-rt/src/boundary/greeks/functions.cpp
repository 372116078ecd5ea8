// The computations of the quorvane._greeks functions, each run by the shared
// function body on its converted arguments (boundary/entry/function_body.hpp):
// the estimator on views of the arrays, then the result.
#include "boundary/greeks/functions.hpp"

#include "boundary/entry/function_body.hpp"
#include "boundary/greeks/docstrings.hpp"
#include "core/weights/constant_flow_gamma_vega.hpp"
#include "core/weights/tangent_flow_gamma.hpp"
#include "core/parallel/tangent_flow_parallel.hpp"
#include "core/estimates/constant_flow_greeks.hpp"
#include "core/estimates/tangent_flow_greeks.hpp"

namespace quorvane::py {

namespace {

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

Fallible<PyRef> gamma_constant_flow(const ReadonlyArray& w_terminals, double horizon,
                                    double sigma_at_x0, double d_sigma_dx) {
  return weights_result(
      bel_weights_gamma_constant_flow(w_terminals.vector(), horizon, sigma_at_x0, d_sigma_dx));
}

Fallible<PyRef> vega_constant_flow(const ReadonlyArray& w_terminals, double horizon,
                                   double d_sigma_dx, double volatility) {
  return weights_result(
      bel_weights_vega_constant_flow(w_terminals.vector(), horizon, d_sigma_dx, volatility));
}

Fallible<PyRef> gamma_tangent_flow(const PathArrays<7>& b, double horizon) {
  return weights_result(bel_weights_gamma_tangent_flow(b.view(0), b.view(1), b.view(2), b.view(3),
                                                       b.view(4), b.view(5), b.view(6), horizon));
}

Fallible<PyRef> gamma_tangent_flow_parallel(const PathArrays<7>& b, double horizon) {
  return parallel_weights(
      validate_tangent_flow_gamma_inputs(b.view(0), b.view(1), b.view(2), b.view(3), b.view(4),
                                         b.view(5), b.view(6), horizon),
      tangent_flow_gamma_weights_parallel);
}

Fallible<PyRef> greeks_constant_flow(const ReadonlyArray& terminal_states,
                                     const ReadonlyArray& w_terminals, double horizon,
                                     double sigma_at_x0, double d_sigma_dx, double volatility,
                                     std::string_view payoff, FloatOrZero strike) {
  return outcome_result(
      price_and_greeks_constant_flow(terminal_states.vector(), w_terminals.vector(), horizon,
                                     sigma_at_x0, d_sigma_dx, volatility, payoff, strike.value),
      [](const GreekEstimate& e) {
        return tuple_of_floats<8>({e.price, e.delta, e.gamma, e.vega, e.price_stderr,
                                   e.delta_stderr, e.gamma_stderr, e.vega_stderr});
      });
}

Fallible<PyRef> greeks_tangent_flow(const PathArrays<7>& b, double horizon, std::string_view payoff,
                                    FloatOrZero strike) {
  return outcome_result(
      price_and_greeks_tangent_flow(b.view(0), b.view(1), b.view(2), b.view(3), b.view(4),
                                    b.view(5), b.view(6), horizon, payoff, strike.value),
      [](const TangentFlowGreekEstimate& e) {
        return tuple_of_floats<6>(
            {e.price, e.delta, e.gamma, e.price_stderr, e.delta_stderr, e.gamma_stderr});
      });
}

constexpr FunctionRecord kFunctions[] = {
    function_record<kGammaConstantFlowArgs, gamma_constant_flow>(docs::kBelWeightsGammaConstantFlow),
    function_record<kVegaConstantFlowArgs, vega_constant_flow>(docs::kBelWeightsVegaConstantFlow),
    function_record<kGammaTangentFlowArgs, gamma_tangent_flow>(docs::kBelWeightsGammaTangentFlow),
    function_record<kGammaTangentFlowParallelArgs, gamma_tangent_flow_parallel>(
        docs::kBelWeightsGammaTangentFlowParallel),
    function_record<kGreeksConstantFlowArgs, greeks_constant_flow>(docs::kPriceAndGreeksConstantFlow),
    function_record<kGreeksTangentFlowArgs, greeks_tangent_flow>(docs::kPriceAndGreeksTangentFlow),
};

}  // namespace

std::span<const FunctionRecord> greeks_functions() noexcept { return kFunctions; }

}  // namespace quorvane::py
