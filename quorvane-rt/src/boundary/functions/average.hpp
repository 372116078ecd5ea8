// The average family: BEL delta weights and estimates for payoffs of a
// weighted average of the path, from full tangent-flow path batches (any
// scalar diffusion) or from GBM and ABM values at monitoring dates.
//
// The family's table: its rows, which the module table
// (boundary/modules/modules.cpp) selects.
#pragma once

#include "boundary/functions/average_docstrings.hpp"
#include "boundary/functions/chunk_sums_docstrings.hpp"
#include "boundary/functions/results.hpp"
#include "boundary/functions/table.hpp"
#include "core/estimates/average_price.hpp"
#include "core/parallel/tangent_flow_parallel.hpp"
#include "core/weights/average.hpp"

namespace quorvane::py::average_table {

// Every argument of the family; a row takes those it names.
struct Average {
  ReadonlyArray states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2;
  ReadonlyArray monitored_states, w_terminals, monitoring_times, average_weights;
  double horizon, sigma_at_x0, d_sigma_dx_value;
  std::string_view payoff;
  double strike;
};
using A = Average;

constexpr auto path_batch = list(param::matrix("states", &A::states), param::matrix("dws", &A::dws));
constexpr auto fields = list(param::matrix("sigma", &A::sigma), param::matrix("d_mu_dx", &A::d_mu_dx),
                             param::matrix("d_sigma_dx", &A::d_sigma_dx),
                             param::matrix("d2_mu_dx2", &A::d2_mu_dx2),
                             param::matrix("d2_sigma_dx2", &A::d2_sigma_dx2));
constexpr auto estimator_fields =
    list(param::matrix("sigma_field", &A::sigma), param::matrix("d_mu_dx_field", &A::d_mu_dx),
         param::matrix("d_sigma_dx_field", &A::d_sigma_dx), param::matrix("d2_mu_dx2_field", &A::d2_mu_dx2),
         param::matrix("d2_sigma_dx2_field", &A::d2_sigma_dx2));
constexpr auto horizon = param::real("horizon", &A::horizon);
constexpr auto average_weights = param::vector("average_weights", &A::average_weights);
constexpr auto payoff = list(param::text("payoff", &A::payoff), param::real_or_zero("strike", &A::strike));
constexpr auto monitored = list(param::matrix("monitored_states", &A::monitored_states),
                                param::vector("w_terminals", &A::w_terminals),
                                param::vector("monitoring_times", &A::monitoring_times), average_weights,
                                horizon, param::real("sigma_at_x0", &A::sigma_at_x0),
                                param::real("d_sigma_dx", &A::d_sigma_dx_value));

inline PyRef estimate_tuple(const Estimate& e) {
  return tuple_of_floats({e.price, e.delta, e.price_stderr, e.delta_stderr});
}

constexpr auto kBelWeightsAverageTangentFlow =
    row("bel_weights_average_tangent_flow", list(path_batch, fields, horizon, average_weights),
        docs::kBelWeightsAverageTangentFlow, [](const A& a) {
          return weights_result(bel_weights_average_tangent_flow(
              a.states.matrix(), a.dws.matrix(), a.sigma.matrix(), a.d_mu_dx.matrix(), a.d_sigma_dx.matrix(),
              a.d2_mu_dx2.matrix(), a.d2_sigma_dx2.matrix(), a.horizon, a.average_weights.vector()));
        });

constexpr auto kBelWeightsAverageTangentFlowParallel =
    row("bel_weights_average_tangent_flow_parallel", list(path_batch, fields, horizon, average_weights),
        docs::kBelWeightsAverageTangentFlowParallel, [](const A& a) {
          return parallel_weights(
              validate_average_inputs(a.states.matrix(), a.dws.matrix(), a.sigma.matrix(), a.d_mu_dx.matrix(),
                                      a.d_sigma_dx.matrix(), a.d2_mu_dx2.matrix(), a.d2_sigma_dx2.matrix(),
                                      a.horizon, a.average_weights.vector()),
              average_weights_parallel);
        });

constexpr auto kPriceAndDeltaAverageTangentFlow =
    row("price_and_delta_average_tangent_flow",
        list(path_batch, estimator_fields, horizon, average_weights, payoff),
        docs::kPriceAndDeltaAverageTangentFlow, [](const A& a) {
          return outcome_result(price_and_delta_average_tangent_flow(
                                    a.states.matrix(), a.dws.matrix(), a.sigma.matrix(), a.d_mu_dx.matrix(),
                                    a.d_sigma_dx.matrix(), a.d2_mu_dx2.matrix(), a.d2_sigma_dx2.matrix(),
                                    a.horizon, a.average_weights.vector(), a.payoff, a.strike),
                                estimate_tuple);
        });

constexpr auto kBelWeightsAverageConstantFlow =
    row("bel_weights_average_constant_flow", monitored, docs::kBelWeightsAverageConstantFlow, [](const A& a) {
      return weights_result(bel_weights_average_constant_flow(
          a.monitored_states.matrix(), a.w_terminals.vector(), a.monitoring_times.vector(),
          a.average_weights.vector(), a.horizon, a.sigma_at_x0, a.d_sigma_dx_value));
    });

constexpr auto kPriceAndDeltaAverageConstantFlow =
    row("price_and_delta_average_constant_flow", list(monitored, payoff),
        docs::kPriceAndDeltaAverageConstantFlow, [](const A& a) {
          return outcome_result(price_and_delta_average_constant_flow(
                                    a.monitored_states.matrix(), a.w_terminals.vector(),
                                    a.monitoring_times.vector(), a.average_weights.vector(), a.horizon,
                                    a.sigma_at_x0, a.d_sigma_dx_value, a.payoff, a.strike),
                                estimate_tuple);
        });

// The chunk sums of the estimators (quorvane._chunks): same parameters.
constexpr auto kPriceAndDeltaAverageTangentFlowSums =
    row("price_and_delta_average_tangent_flow", kPriceAndDeltaAverageTangentFlow.parameters,
        docs::kPriceAndDeltaAverageTangentFlowSums, [](const A& a) {
          return sums_result(price_and_delta_average_tangent_flow_sums(
              a.states.matrix(), a.dws.matrix(), a.sigma.matrix(), a.d_mu_dx.matrix(), a.d_sigma_dx.matrix(),
              a.d2_mu_dx2.matrix(), a.d2_sigma_dx2.matrix(), a.horizon, a.average_weights.vector(), a.payoff,
              a.strike));
        });

constexpr auto kPriceAndDeltaAverageConstantFlowSums =
    row("price_and_delta_average_constant_flow", kPriceAndDeltaAverageConstantFlow.parameters,
        docs::kPriceAndDeltaAverageConstantFlowSums, [](const A& a) {
          return sums_result(price_and_delta_average_constant_flow_sums(
              a.monitored_states.matrix(), a.w_terminals.vector(), a.monitoring_times.vector(),
              a.average_weights.vector(), a.horizon, a.sigma_at_x0, a.d_sigma_dx_value, a.payoff, a.strike));
        });

}  // namespace quorvane::py::average_table
