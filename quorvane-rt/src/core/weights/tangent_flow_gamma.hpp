// Tangent-flow BEL gamma weights for a general scalar diffusion dX = mu(X) dt + sigma(X) dW.
//
// Two-interval form. The grid of N >= 2 steps is split at m = floor(N / 2),
// T1 = m * dt. Beside the tangent process Y (exactly the delta recursion) each
// path carries the second variation Z = dY/dX_0 (Z_0 = 0),
//   Z_{j+1} = Z_j + ((sigma''_j Y_j^2 + sigma'_j Z_j) dW_j + (mu''_j Y_j^2 + mu'_j Z_j) dt),
// and three sums of the values before each step:
//   A = (1/T1) sum_{j<m} Y_j / sigma_j dW_j            (the delta weight on [0, T1])
//   B = (1/(T - T1)) sum_{j>=m} Y_j / sigma_j dW_j     (the delta weight on [T1, T])
//   C = (1/T1) sum_{j<m} (Z_j / sigma_j - Y_j^2 sigma'_j / sigma_j^2) dW_j
// The gamma weight is pi = A * B + C: differentiating E[g(X_T1) A] in X_0 (g the
// price from T1) gives E[g'(X_T1) Y_T1 A] + E[g(X_T1) dA/dX_0], and the delta
// weight on [T1, T] turns g'(X_T1) Y_T1 into B. The operation order of every
// step is spelled once, in core/recursions/gamma_recursion.hpp.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "core/recursions/gamma_recursion.hpp"
#include "core/weights/tangent_flow.hpp"
#include "core/kernels/target.hpp"
#include "core/support/buffer.hpp"
#include "core/support/outcome.hpp"
#include "core/views/views.hpp"

namespace quorvane {

// The names the messages use for the six per-step arrays (dws first).
using GammaArrayNames = std::array<std::string_view, 6>;
inline constexpr GammaArrayNames kGammaWeightNames = {"dws",        "sigma",     "d_mu_dx",
                                                      "d_sigma_dx", "d2_mu_dx2", "d2_sigma_dx2"};
// The same arrays as the price-and-Greeks functions name them.
inline constexpr GammaArrayNames kGammaFieldNames = {
    "dws",           "sigma_field",     "d_mu_dx_field", "d_sigma_dx_field",
    "d2_mu_dx2_field", "d2_sigma_dx2_field"};

// Checks, in this order: horizon > 0 (false for NaN) "horizon must be positive";
// states has at least 3 columns (two steps); then the six per-step arrays, in the
// order dws, sigma, mu', sigma', mu'', sigma'', each of shape exactly
// (n_paths, n_steps) ("d2_sigma_dx2 shape [4, 10] != expected (4, 9)", with the
// names given). The values of `states` are never read.
Outcome<TangentFlowGammaInputs> validate_tangent_flow_gamma_inputs(
    const MatrixView& states, const MatrixView& dws, const MatrixView& sigma,
    const MatrixView& d_mu_dx, const MatrixView& d_sigma_dx, const MatrixView& d2_mu_dx2,
    const MatrixView& d2_sigma_dx2, double horizon, const GammaArrayNames& names = kGammaWeightNames);

// One path: its gamma weight, or the first step whose sigma is zero.
struct PathGamma {
  double gamma = 0.0;
  std::optional<std::size_t> zero_sigma_step;
  bool ok() const noexcept { return !zero_sigma_step.has_value(); }
};

// The single definition of the per-path recursion: the one-lane instance of the
// kernel body, steps in order, stopping at the first zero sigma.
PathGamma tangent_flow_gamma_path_weight(const TangentFlowGammaInputs& inputs, std::size_t path);

// Gamma weights of paths [first, first + count) into out[0 .. count), each with
// the bits of tangent_flow_gamma_path_weight; on a zero sigma the first one in
// row-major order within the range (`out` is then unspecified). Reads only
// immutable data, so disjoint ranges may run concurrently.
std::optional<ZeroSigma> tangent_flow_gamma_weights(const TangentFlowGammaInputs& inputs,
                                                    std::size_t first, std::size_t count,
                                                    double* out);
std::optional<ZeroSigma> tangent_flow_gamma_weights_with(KernelTarget target,
                                                         const TangentFlowGammaInputs& inputs,
                                                         std::size_t first, std::size_t count,
                                                         double* out);

// The gamma weights and, from the same pass, the delta weights over [0, T] with
// exactly the bits of tangent_flow_path_weight (delta_out[0 .. count)).
std::optional<ZeroSigma> tangent_flow_delta_gamma_weights_with(
    KernelTarget target, const TangentFlowGammaInputs& inputs, std::size_t first,
    std::size_t count, double* gamma_out, double* delta_out);

// The whole serial estimator on checked inputs (validate_tangent_flow_gamma_inputs):
// allocate, fill; or "sigma[i, j] = 0 produces division by zero in BEL weight"
// for the first zero in row-major order.
Outcome<DoubleBuffer> bel_weights_gamma_tangent_flow(const TangentFlowGammaInputs& inputs);

}  // namespace quorvane
