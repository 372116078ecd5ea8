// Every module function, by family: the records a module selects (by address,
// in its own order) and registers. Each is defined by its row in the family's
// table (samples.cpp, constant_flow.cpp, tangent_flow.cpp). An estimator's
// `*_sums` record is the function of the same Python name and parameters that
// returns one chunk's sums instead of the estimate (quorvane._chunks).
#pragma once

#include "boundary/entry/module.hpp"

namespace quorvane::py::rows {

// Plain Monte Carlo statistics of the user's own samples.
extern const FunctionRecord price_from_samples;
extern const FunctionRecord price_from_samples_sums;
// The statistics rule on the chunk sums of any estimator, added chunk by chunk.
extern const FunctionRecord estimate_from_sums;

// GBM and ABM from terminal states and terminal Brownian values.
extern const FunctionRecord bel_weights_constant_flow;
extern const FunctionRecord price_and_delta_constant_flow;
extern const FunctionRecord bel_weights_gamma_constant_flow;
extern const FunctionRecord bel_weights_vega_constant_flow;
extern const FunctionRecord price_and_greeks_constant_flow;
extern const FunctionRecord price_and_delta_constant_flow_sums;
extern const FunctionRecord price_and_greeks_constant_flow_sums;
extern const FunctionRecord price_and_greeks_constant_flow_localised;

// Any scalar diffusion from full path batches and coefficient fields.
extern const FunctionRecord bel_weights_tangent_flow;
extern const FunctionRecord bel_weights_tangent_flow_parallel;
extern const FunctionRecord price_and_delta_tangent_flow;
extern const FunctionRecord bel_weights_gamma_tangent_flow;
extern const FunctionRecord bel_weights_gamma_tangent_flow_parallel;
extern const FunctionRecord price_and_greeks_tangent_flow;
extern const FunctionRecord price_and_delta_tangent_flow_sums;
extern const FunctionRecord price_and_greeks_tangent_flow_sums;
extern const FunctionRecord price_and_greeks_tangent_flow_localised;
extern const FunctionRecord price_and_greeks_tangent_flow_localised_parallel;
extern const FunctionRecord bel_weights_and_variations_tangent_flow;
extern const FunctionRecord price_and_delta_tangent_flow_parallel;
extern const FunctionRecord price_and_greeks_tangent_flow_parallel;
extern const FunctionRecord price_and_delta_tangent_flow_parallel_sums;
extern const FunctionRecord price_and_greeks_tangent_flow_parallel_sums;

}  // namespace quorvane::py::rows
