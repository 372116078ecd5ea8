// The tangent-flow delta recursion's inputs: the per-step arrays it reads and
// the per-call constants, validated and derived once per call by the weights
// driver (core/weights/tangent_flow.hpp).
#pragma once

#include <cstddef>

#include "core/views/views.hpp"

namespace quorvane {

// The validated bundle: the four read arrays (each at least n_paths x n_steps),
// the path and step counts, dt = T / n_steps and inv_horizon = 1.0 / T, both
// computed once so that no step divides by T.
struct TangentFlowInputs {
  MatrixView dws, sigma, d_mu_dx, d_sigma_dx;
  std::size_t n_paths = 0, n_steps = 0;
  double dt = 0.0, inv_horizon = 0.0;
};

// Position of a sigma element that compares equal to 0.0 (+0.0 or -0.0).
struct ZeroSigma {
  std::size_t path, step;
  friend bool operator==(const ZeroSigma&, const ZeroSigma&) = default;
};

}  // namespace quorvane
