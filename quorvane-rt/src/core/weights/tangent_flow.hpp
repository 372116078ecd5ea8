// Tangent-flow BEL weights for a general scalar diffusion dX = mu(X) dt + sigma(X) dW.
//
// Per path the Euler tangent process Y (dY = mu'(X) Y dt + sigma'(X) Y dW, Y(0) = 1)
// is propagated beside the weight pi = (1/T) * sum_j (Y_j / sigma_j) dW_j. The
// caller supplies dW, sigma, mu' and sigma' per path and step as strided views.
//
// Every result here is reproducible to the bit: the per-step operations are
//   t = Y / s;  t = t * inv_horizon;  t = t * dW;  acc = acc + t;
//   a = (sigma'(X) * Y) * dW;  b = (mu'(X) * Y) * dt;  Y = Y + (a + b);
// each rounded in exactly this order (no fused multiply-add, no reassociation).
// The fast multi-path kernels run several paths side by side, but every lane
// performs exactly this sequence for its own path, so they give the bits of
// `tangent_flow_path_weight`.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "core/recursions/delta_recursion.hpp"
#include "core/views/views.hpp"
#include "core/kernels/target.hpp"
#include "core/support/buffer.hpp"
#include "core/support/outcome.hpp"

namespace quorvane {

// The bundle for arrays of (at least) n_paths x n_steps, with dt and inv_horizon
// derived from horizon as every estimator derives them.
TangentFlowInputs make_tangent_flow_inputs(const MatrixView& dws, const MatrixView& sigma,
                                           const MatrixView& d_mu_dx, const MatrixView& d_sigma_dx,
                                           std::size_t n_paths, std::size_t n_steps, double horizon);

// Checks, in this order: horizon > 0 (false for NaN) "horizon must be positive";
// states has at least 2 columns; then dws, sigma, d_mu_dx, d_sigma_dx each of shape
// exactly (n_paths, n_steps) ("sigma shape [4, 10] != expected (4, 9)"). The values
// of `states` are never read.
Outcome<TangentFlowInputs> validate_tangent_flow_inputs(const MatrixView& states,
                                                        const MatrixView& dws,
                                                        const MatrixView& sigma,
                                                        const MatrixView& d_mu_dx,
                                                        const MatrixView& d_sigma_dx,
                                                        double horizon);

// Result of one path: its weight, or the first step whose sigma is zero.
struct PathWeight {
  double weight = 0.0;                 // meaningful when zero_sigma_step is empty
  std::optional<std::size_t> zero_sigma_step;
  bool ok() const noexcept { return !zero_sigma_step.has_value(); }
};

// The single definition of the per-path recursion (scalar, steps in order, stops
// at the first zero sigma). Requires path < inputs.n_paths.
PathWeight tangent_flow_path_weight(const TangentFlowInputs& inputs, std::size_t path);

// The same recursion with bounds-checked element access, for arrays that were not
// validated against n_paths x n_steps: per step sigma[i, j] is needed first, then
// (after its zero test) dws, d_mu_dx and d_sigma_dx at [i, j]; the first element
// outside its view is an internal failure (kIndexOutOfBounds).
PathWeight tangent_flow_path_weight_checked(const TangentFlowInputs& inputs, std::size_t path);

// "sigma shape [4, 10] != expected (4, 9)"
std::string shape_message(std::string_view name, const MatrixView& m, std::size_t n_paths,
                          std::size_t n_steps);

// The size of a path batch: states is (n_paths, n_steps + 1).
struct PathGrid {
  std::size_t n_paths;
  std::size_t n_steps;
};

// A per-step array and the name the messages give it.
struct NamedMatrix {
  std::string_view name;
  const MatrixView& view;
};

// Checks a path batch in the order every tangent-flow function reports: horizon > 0
// (false for NaN, +inf passes) "horizon must be positive"; at least `min_columns`
// columns of states (else `too_narrow`); then each of `per_step` in turn, exactly
// (n_paths, n_steps) (shape_message). The values of the arrays are never read.
Outcome<PathGrid> check_path_batch(
    const MatrixView& states, double horizon, std::initializer_list<NamedMatrix> per_step,
    std::size_t min_columns = 2,
    std::string_view too_narrow = "states must have at least 2 columns (n_steps + 1)");

// "sigma[2, 5] = 0 produces division by zero in BEL weight", naming the sigma
// array as the caller did ("sigma_field[2, 5] = ..."), with its own suffix.
std::string zero_sigma_message(ZeroSigma where, std::string_view sigma_name = "sigma",
                               std::string_view suffix = " in BEL weight");

// Weights of paths [first, first + count) into out[0 .. count), each bit-identical
// to tangent_flow_path_weight. Requires first + count <= inputs.n_paths. On a zero
// sigma returns the first one in row-major order within the range; `out` is then
// unspecified. Reads only immutable data, so disjoint ranges may run concurrently.
std::optional<ZeroSigma> tangent_flow_weights(const TangentFlowInputs& inputs, std::size_t first,
                                              std::size_t count, double* out);
// The same with an explicit target (which must be supported; else an internal failure).
std::optional<ZeroSigma> tangent_flow_weights_with(KernelTarget target,
                                                   const TangentFlowInputs& inputs,
                                                   std::size_t first, std::size_t count,
                                                   double* out);

// The whole serial estimator: validate, allocate n_paths doubles, fill them; or the
// validation message, or the zero-sigma message of the first zero in row-major order.
Outcome<DoubleBuffer> bel_weights_tangent_flow(const MatrixView& states, const MatrixView& dws,
                                               const MatrixView& sigma, const MatrixView& d_mu_dx,
                                               const MatrixView& d_sigma_dx, double horizon);

}  // namespace quorvane
