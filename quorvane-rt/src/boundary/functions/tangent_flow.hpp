// The tangent-flow family: any scalar diffusion dX = mu(X) dt + sigma(X) dW,
// from full path batches and the coefficient fields at the state before each
// step. The weights take the fields as `sigma`, `d_mu_dx`, ...; the estimators
// as `sigma_field`, `d_mu_dx_field`, ...: both fill the same fields here.
//
// The family's table: its rows, which the module table
// (boundary/modules/modules.cpp) selects.
#pragma once

#include "boundary/functions/chunk_sums_docstrings.hpp"
#include "boundary/functions/results.hpp"
#include "boundary/functions/table.hpp"
#include "boundary/functions/tangent_flow_docstrings.hpp"
#include "core/estimates/localised_greeks.hpp"
#include "core/estimates/tangent_flow_greeks.hpp"
#include "core/estimates/tangent_flow_price.hpp"
#include "core/parallel/tangent_flow_parallel.hpp"
#include "core/weights/tangent_flow.hpp"
#include "core/weights/tangent_flow_gamma.hpp"

namespace quorvane::py::tangent_flow_table {

// Every argument of the family; a row takes those it names.
struct TangentFlow {
  ReadonlyArray states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2;
  double horizon;
  std::string_view payoff;
  double strike;
  std::optional<double> bandwidth, spread;

  // The checks of the gamma's path batch, and of the localised estimators'
  // arguments, before any path is read.
  Outcome<TangentFlowGammaInputs> gamma_inputs() const {
    return validate_tangent_flow_gamma_inputs(states.matrix(), dws.matrix(), sigma.matrix(), d_mu_dx.matrix(),
                                              d_sigma_dx.matrix(), d2_mu_dx2.matrix(), d2_sigma_dx2.matrix(),
                                              horizon);
  }
  Outcome<LocalisedTangentFlowInputs> localised_inputs() const {
    return validate_tangent_flow_localised_inputs(states.matrix(), dws.matrix(), sigma.matrix(), d_mu_dx.matrix(),
                                                  d_sigma_dx.matrix(), d2_mu_dx2.matrix(), d2_sigma_dx2.matrix(),
                                                  horizon, payoff, strike, bandwidth);
  }
};
using A = TangentFlow;

// The path batch: states and increments, then the first-order fields (the
// delta's), then the second-order ones (the gamma's), as the weights name them
// and as the estimators do.
constexpr auto path_batch = list(param::matrix("states", &A::states), param::matrix("dws", &A::dws));
constexpr auto fields = list(param::matrix("sigma", &A::sigma), param::matrix("d_mu_dx", &A::d_mu_dx),
                             param::matrix("d_sigma_dx", &A::d_sigma_dx));
constexpr auto second_order_fields =
    list(param::matrix("d2_mu_dx2", &A::d2_mu_dx2), param::matrix("d2_sigma_dx2", &A::d2_sigma_dx2));
constexpr auto estimator_fields =
    list(param::matrix("sigma_field", &A::sigma), param::matrix("d_mu_dx_field", &A::d_mu_dx),
         param::matrix("d_sigma_dx_field", &A::d_sigma_dx));
constexpr auto estimator_second_order_fields = list(param::matrix("d2_mu_dx2_field", &A::d2_mu_dx2),
                                                    param::matrix("d2_sigma_dx2_field", &A::d2_sigma_dx2));
constexpr auto horizon = param::real("horizon", &A::horizon);
// The built-in payoff of the estimators, then its strike.
constexpr auto payoff = list(param::text("payoff", &A::payoff), param::real_or_zero("strike", &A::strike));
// The localised estimators' half-width of the band around the strike; None chooses it.
constexpr auto bandwidth = param::real_or_none("bandwidth", &A::bandwidth);
// A chunk's sums for the automatic bandwidth: the spread of all the chunks' terminal values.
constexpr auto spread = param::real_or_none("spread", &A::spread);

constexpr auto kBelWeightsTangentFlow = row(
    "bel_weights_tangent_flow", list(path_batch, fields, horizon), docs::kBelWeightsTangentFlow, [](const A& a) {
      return weights_result(bel_weights_tangent_flow(a.states.matrix(), a.dws.matrix(), a.sigma.matrix(),
                                                     a.d_mu_dx.matrix(), a.d_sigma_dx.matrix(), a.horizon));
    });

constexpr auto kBelWeightsTangentFlowParallel =
    row("bel_weights_tangent_flow_parallel", list(path_batch, fields, horizon),
        docs::kBelWeightsTangentFlowParallel, [](const A& a) {
          return parallel_weights(validate_tangent_flow_inputs(a.states.matrix(), a.dws.matrix(), a.sigma.matrix(),
                                                               a.d_mu_dx.matrix(), a.d_sigma_dx.matrix(), a.horizon),
                                  tangent_flow_weights_parallel);
        });

constexpr auto kPriceAndDeltaTangentFlow =
    row("price_and_delta_tangent_flow", list(path_batch, estimator_fields, horizon, payoff),
        docs::kPriceAndDeltaTangentFlow, [](const A& a) {
          return outcome_result(
              price_and_delta_tangent_flow(a.states.matrix(), a.dws.matrix(), a.sigma.matrix(), a.d_mu_dx.matrix(),
                                           a.d_sigma_dx.matrix(), a.horizon, a.payoff, a.strike),
              [](const Estimate& e) { return tuple_of_floats({e.price, e.delta, e.price_stderr, e.delta_stderr}); });
        });

constexpr auto kBelWeightsGammaTangentFlow =
    row("bel_weights_gamma_tangent_flow", list(path_batch, fields, second_order_fields, horizon),
        docs::kBelWeightsGammaTangentFlow, [](const A& a) {
          return checked_result(a.gamma_inputs(), bel_weights_gamma_tangent_flow, numpy::array_from_vector);
        });

constexpr auto kBelWeightsGammaTangentFlowParallel =
    row("bel_weights_gamma_tangent_flow_parallel", list(path_batch, fields, second_order_fields, horizon),
        docs::kBelWeightsGammaTangentFlowParallel, [](const A& a) {
          return parallel_weights(a.gamma_inputs(), tangent_flow_gamma_weights_parallel);
        });

constexpr auto kPriceAndGreeksTangentFlow = row(
    "price_and_greeks_tangent_flow",
    list(path_batch, estimator_fields, estimator_second_order_fields, horizon, payoff),
    docs::kPriceAndGreeksTangentFlow, [](const A& a) {
      return outcome_result(
          price_and_greeks_tangent_flow(a.states.matrix(), a.dws.matrix(), a.sigma.matrix(), a.d_mu_dx.matrix(),
                                        a.d_sigma_dx.matrix(), a.d2_mu_dx2.matrix(), a.d2_sigma_dx2.matrix(),
                                        a.horizon, a.payoff, a.strike),
          [](const TangentFlowGreekEstimate& e) {
            return tuple_of_floats({e.price, e.delta, e.gamma, e.price_stderr, e.delta_stderr, e.gamma_stderr});
          });
    });

// The chunk sums of the estimators (quorvane._chunks): same parameters.
constexpr auto kPriceAndDeltaTangentFlowSums = row(
    "price_and_delta_tangent_flow", kPriceAndDeltaTangentFlow.parameters, docs::kPriceAndDeltaTangentFlowSums,
    [](const A& a) {
      return sums_result(price_and_delta_tangent_flow_sums(a.states.matrix(), a.dws.matrix(), a.sigma.matrix(),
                                                           a.d_mu_dx.matrix(), a.d_sigma_dx.matrix(), a.horizon,
                                                           a.payoff, a.strike));
    });

constexpr auto kPriceAndGreeksTangentFlowSums = row(
    "price_and_greeks_tangent_flow", kPriceAndGreeksTangentFlow.parameters, docs::kPriceAndGreeksTangentFlowSums,
    [](const A& a) {
      return sums_result(price_and_greeks_tangent_flow_sums(
          a.states.matrix(), a.dws.matrix(), a.sigma.matrix(), a.d_mu_dx.matrix(), a.d_sigma_dx.matrix(),
          a.d2_mu_dx2.matrix(), a.d2_sigma_dx2.matrix(), a.horizon, a.payoff, a.strike));
    });

// The localised estimate as the call's result: the Greeks, then the bandwidths.
inline PyRef localised_result(const LocalisedTangentFlowEstimate& l) {
  const TangentFlowGreekEstimate& e = l.greeks;
  return tuple_of_floats({e.price, e.delta, e.gamma, e.price_stderr, e.delta_stderr, e.gamma_stderr,
                          l.bandwidth[0], l.bandwidth[1]});
}

constexpr auto localised_parameters =
    list(path_batch, estimator_fields, estimator_second_order_fields, horizon, payoff, bandwidth);

constexpr auto kPriceAndGreeksTangentFlowLocalised =
    row("price_and_greeks_tangent_flow_localised", localised_parameters,
        docs::kPriceAndGreeksTangentFlowLocalised, [](const A& a) {
          return checked_result(a.localised_inputs(), price_and_greeks_tangent_flow_localised, localised_result);
        });

constexpr auto kPriceAndGreeksTangentFlowLocalisedParallel =
    row("price_and_greeks_tangent_flow_localised_parallel", localised_parameters,
        docs::kPriceAndGreeksTangentFlowLocalisedParallel, [](const A& a) {
          return parallel_result(a.localised_inputs(), price_and_greeks_tangent_flow_localised_parallel,
                                 localised_result);
        });

constexpr auto kPriceAndGreeksTangentFlowLocalisedSums =
    row("price_and_greeks_tangent_flow_localised", list(localised_parameters, spread),
        docs::kPriceAndGreeksTangentFlowLocalisedSums, [](const A& a) {
          return checked_result(
              a.localised_inputs(),
              [&](const LocalisedTangentFlowInputs& in) {
                return price_and_greeks_tangent_flow_localised_sums(in, a.spread);
              },
              numpy::array_from_vector);
        });

constexpr auto kBelWeightsAndVariationsTangentFlow =
    row("bel_weights_and_variations_tangent_flow", list(path_batch, fields, second_order_fields, horizon),
        docs::kBelWeightsAndVariationsTangentFlow, [](const A& a) {
          return checked_result(
              a.gamma_inputs(), bel_weights_and_variations_tangent_flow, [](WeightsAndVariations&& w) {
                return tuple_of_arrays<4>(
                    {std::move(w.delta), std::move(w.gamma), std::move(w.y), std::move(w.z)});
              });
        });

// The parallel fused estimators: the serial forms' results, from the per-path
// weights computed on the pool.
constexpr auto kPriceAndDeltaTangentFlowParallel = row(
    "price_and_delta_tangent_flow_parallel", kPriceAndDeltaTangentFlow.parameters,
    docs::kPriceAndDeltaTangentFlowParallel, [](const A& a) {
      return parallel_result(validate_price_and_delta_tangent_flow_inputs(
                                 a.states.matrix(), a.dws.matrix(), a.sigma.matrix(), a.d_mu_dx.matrix(),
                                 a.d_sigma_dx.matrix(), a.horizon, a.payoff, a.strike),
                             price_and_delta_tangent_flow_parallel, [](const Estimate& e) {
                               return tuple_of_floats({e.price, e.delta, e.price_stderr, e.delta_stderr});
                             });
    });

constexpr auto kPriceAndGreeksTangentFlowParallel = row(
    "price_and_greeks_tangent_flow_parallel", kPriceAndGreeksTangentFlow.parameters,
    docs::kPriceAndGreeksTangentFlowParallel, [](const A& a) {
      return parallel_result(validate_price_and_greeks_tangent_flow_inputs(
                                 a.states.matrix(), a.dws.matrix(), a.sigma.matrix(), a.d_mu_dx.matrix(),
                                 a.d_sigma_dx.matrix(), a.d2_mu_dx2.matrix(), a.d2_sigma_dx2.matrix(),
                                 a.horizon, a.payoff, a.strike),
                             price_and_greeks_tangent_flow_parallel, [](const TangentFlowGreekEstimate& e) {
                               return tuple_of_floats(
                                   {e.price, e.delta, e.gamma, e.price_stderr, e.delta_stderr, e.gamma_stderr});
                             });
    });

constexpr auto kPriceAndDeltaTangentFlowParallelSums = row(
    "price_and_delta_tangent_flow_parallel", kPriceAndDeltaTangentFlow.parameters,
    docs::kPriceAndDeltaTangentFlowParallelSums, [](const A& a) {
      return parallel_result(validate_price_and_delta_tangent_flow_inputs(
                                 a.states.matrix(), a.dws.matrix(), a.sigma.matrix(), a.d_mu_dx.matrix(),
                                 a.d_sigma_dx.matrix(), a.horizon, a.payoff, a.strike),
                             price_and_delta_tangent_flow_parallel_sums,
                             [](const LaneSums<2>& s) { return numpy::array_from_vector(chunk_sums_row(s)); });
    });

constexpr auto kPriceAndGreeksTangentFlowParallelSums = row(
    "price_and_greeks_tangent_flow_parallel", kPriceAndGreeksTangentFlow.parameters,
    docs::kPriceAndGreeksTangentFlowParallelSums, [](const A& a) {
      return parallel_result(validate_price_and_greeks_tangent_flow_inputs(
                                 a.states.matrix(), a.dws.matrix(), a.sigma.matrix(), a.d_mu_dx.matrix(),
                                 a.d_sigma_dx.matrix(), a.d2_mu_dx2.matrix(), a.d2_sigma_dx2.matrix(),
                                 a.horizon, a.payoff, a.strike),
                             price_and_greeks_tangent_flow_parallel_sums,
                             [](const LaneSums<3>& s) { return numpy::array_from_vector(chunk_sums_row(s)); });
    });

}  // namespace quorvane::py::tangent_flow_table
