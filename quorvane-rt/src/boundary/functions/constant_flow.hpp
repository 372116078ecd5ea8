// The constant-flow family: GBM and ABM, whose flow dX_T/dX_0 is known in
// closed form, from terminal states and terminal Brownian values.
//
// The family's table: its rows, which the module table
// (boundary/modules/modules.cpp) selects.
#pragma once

#include "boundary/functions/chunk_sums_docstrings.hpp"
#include "boundary/functions/constant_flow_docstrings.hpp"
#include "boundary/functions/results.hpp"
#include "boundary/functions/table.hpp"
#include "core/estimates/constant_flow_greeks.hpp"
#include "core/estimates/constant_flow_price.hpp"
#include "core/estimates/localised_greeks.hpp"
#include "core/weights/constant_flow.hpp"
#include "core/weights/constant_flow_gamma_vega.hpp"

namespace quorvane::py::constant_flow_table {

// Every argument of the family; a row takes those it names.
struct ConstantFlow {
  ReadonlyArray terminal_states, w_terminals;
  double horizon, sigma_at_x0, d_sigma_dx, volatility;
  std::string_view payoff;
  double strike;
  std::optional<double> bandwidth, spread;
};
using A = ConstantFlow;

constexpr auto terminal_states = param::vector("terminal_states", &A::terminal_states);
constexpr auto w_terminals = param::vector("w_terminals", &A::w_terminals);
constexpr auto horizon = param::real("horizon", &A::horizon);
constexpr auto sigma_at_x0 = param::real("sigma_at_x0", &A::sigma_at_x0);
constexpr auto d_sigma_dx = param::real("d_sigma_dx", &A::d_sigma_dx);
constexpr auto volatility = param::real("volatility", &A::volatility);
// The built-in payoff of the estimators, then its strike.
constexpr auto payoff = list(param::text("payoff", &A::payoff), param::real_or_zero("strike", &A::strike));
// The localised estimator's half-width of the band around the strike; None chooses it.
constexpr auto bandwidth = param::real_or_none("bandwidth", &A::bandwidth);
// A chunk's sums for the automatic bandwidth: the spread of all the chunks' terminal values.
constexpr auto spread = param::real_or_none("spread", &A::spread);

constexpr auto kBelWeightsConstantFlow =
    row("bel_weights_constant_flow", list(w_terminals, horizon, sigma_at_x0), docs::kBelWeightsConstantFlow,
        [](const A& a) {
          return weights_result(bel_weights_constant_flow(a.w_terminals.vector(), a.horizon, a.sigma_at_x0));
        });

constexpr auto kPriceAndDeltaConstantFlow = row(
    "price_and_delta_constant_flow", list(terminal_states, w_terminals, horizon, sigma_at_x0, payoff),
    docs::kPriceAndDeltaConstantFlow, [](const A& a) {
      return outcome_result(price_and_delta_constant_flow(a.terminal_states.vector(), a.w_terminals.vector(),
                                                          a.horizon, a.sigma_at_x0, a.payoff, a.strike),
                            [](const Estimate& e) {
                              return tuple_of_floats({e.price, e.delta, e.price_stderr, e.delta_stderr});
                            });
    });

constexpr auto kBelWeightsGammaConstantFlow =
    row("bel_weights_gamma_constant_flow", list(w_terminals, horizon, sigma_at_x0, d_sigma_dx),
        docs::kBelWeightsGammaConstantFlow, [](const A& a) {
          return weights_result(
              bel_weights_gamma_constant_flow(a.w_terminals.vector(), a.horizon, a.sigma_at_x0, a.d_sigma_dx));
        });

constexpr auto kBelWeightsVegaConstantFlow =
    row("bel_weights_vega_constant_flow", list(w_terminals, horizon, d_sigma_dx, volatility),
        docs::kBelWeightsVegaConstantFlow, [](const A& a) {
          return weights_result(
              bel_weights_vega_constant_flow(a.w_terminals.vector(), a.horizon, a.d_sigma_dx, a.volatility));
        });

constexpr auto kPriceAndGreeksConstantFlow =
    row("price_and_greeks_constant_flow",
        list(terminal_states, w_terminals, horizon, sigma_at_x0, d_sigma_dx, volatility, payoff),
        docs::kPriceAndGreeksConstantFlow, [](const A& a) {
          return outcome_result(
              price_and_greeks_constant_flow(a.terminal_states.vector(), a.w_terminals.vector(), a.horizon,
                                             a.sigma_at_x0, a.d_sigma_dx, a.volatility, a.payoff, a.strike),
              [](const GreekEstimate& e) {
                return tuple_of_floats({e.price, e.delta, e.gamma, e.vega, e.price_stderr, e.delta_stderr,
                                        e.gamma_stderr, e.vega_stderr});
              });
        });

// The chunk sums of the estimators (quorvane._chunks): same parameters.
constexpr auto kPriceAndDeltaConstantFlowSums = row(
    "price_and_delta_constant_flow", kPriceAndDeltaConstantFlow.parameters, docs::kPriceAndDeltaConstantFlowSums,
    [](const A& a) {
      return sums_result(price_and_delta_constant_flow_sums(a.terminal_states.vector(), a.w_terminals.vector(),
                                                            a.horizon, a.sigma_at_x0, a.payoff, a.strike));
    });

constexpr auto kPriceAndGreeksConstantFlowSums = row(
    "price_and_greeks_constant_flow", kPriceAndGreeksConstantFlow.parameters,
    docs::kPriceAndGreeksConstantFlowSums, [](const A& a) {
      return sums_result(price_and_greeks_constant_flow_sums(a.terminal_states.vector(), a.w_terminals.vector(),
                                                             a.horizon, a.sigma_at_x0, a.d_sigma_dx,
                                                             a.volatility, a.payoff, a.strike));
    });

constexpr auto kPriceAndGreeksConstantFlowLocalised =
    row("price_and_greeks_constant_flow_localised",
        list(terminal_states, w_terminals, horizon, sigma_at_x0, d_sigma_dx, volatility, payoff, bandwidth),
        docs::kPriceAndGreeksConstantFlowLocalised, [](const A& a) {
          return outcome_result(
              price_and_greeks_constant_flow_localised(a.terminal_states.vector(), a.w_terminals.vector(),
                                                       a.horizon, a.sigma_at_x0, a.d_sigma_dx, a.volatility,
                                                       a.payoff, a.strike, a.bandwidth),
              [](const LocalisedGreekEstimate& l) {
                const GreekEstimate& e = l.greeks;
                return tuple_of_floats({e.price, e.delta, e.gamma, e.vega, e.price_stderr, e.delta_stderr,
                                        e.gamma_stderr, e.vega_stderr, l.bandwidth[0], l.bandwidth[1],
                                        l.bandwidth[2]});
              });
        });

constexpr auto kPriceAndGreeksConstantFlowLocalisedSums =
    row("price_and_greeks_constant_flow_localised",
        list(kPriceAndGreeksConstantFlowLocalised.parameters, spread),
        docs::kPriceAndGreeksConstantFlowLocalisedSums, [](const A& a) {
          return outcome_result(price_and_greeks_constant_flow_localised_sums(
                                    a.terminal_states.vector(), a.w_terminals.vector(), a.horizon,
                                    a.sigma_at_x0, a.d_sigma_dx, a.volatility, a.payoff, a.strike,
                                    a.bandwidth, a.spread),
                                numpy::array_from_vector);
        });

}  // namespace quorvane::py::constant_flow_table
