// The tangent-flow gamma recursion's inputs: the delta recursion's, the two
// second-derivative arrays and the split of the grid, derived once per call by
// the weights driver (core/weights/tangent_flow_gamma.hpp).
#pragma once

#include <cstddef>

#include "core/recursions/delta_recursion.hpp"
#include "core/views/views.hpp"

namespace quorvane {

// The validated bundle: the delta recursion's inputs (its four arrays, the
// counts, dt and inv_horizon), the two second-derivative arrays, the split and
// the reciprocals of both interval lengths, each computed once per call.
struct TangentFlowGammaInputs {
  TangentFlowInputs flow;
  MatrixView d2_mu_dx2, d2_sigma_dx2;
  std::size_t split = 0;  // m = floor(n_steps / 2)
  double inv_t1 = 0.0;    // 1.0 / (m * dt)
  double inv_t2 = 0.0;    // 1.0 / (horizon - m * dt)
};

}  // namespace quorvane
