// BEL delta weights for payoffs of a weighted average of the path,
// A = sum_k a_k X_k over the grid columns (arithmetic Asians with any dates and
// weights, forward-start averages, and the European case a = e_N).
//
// Tangent flow (any scalar diffusion, Euler paths): the whole-window weight of
// core/recursions/average_recursion.hpp, which spells its operation order.
// Unlike the delta weight over [0, T] (exact only for payoffs of X_T) it is
// exact for any payoff of A, and unbiased for the Euler scheme itself.
//
// Constant flow (exact simulation at the monitoring dates t_k in (0, T], S_k
// the monitored values, W = W_T, sigma0 = sigma(X_0), s = sigma'):
//   GBM (s > 0)  A = sum a_k S_k, B = sum (a_k t_k) S_k, C = sum ((a_k t_k) t_k) S_k
//                (each sum from its k = 0 term, then in increasing k),
//                pi = (((W * A) / B) - (s * (1 - ((A * C) / (B * B))))) / sigma0
//   ABM (s = 0)  pi = (W * sa) / (sigma0 * sat), with sa = sum a_k and
//                sat = sum a_k t_k (in increasing k) and the denominator
//                rounded once per call.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "core/kernels/target.hpp"
#include "core/recursions/average_recursion.hpp"
#include "core/support/buffer.hpp"
#include "core/support/outcome.hpp"
#include "core/views/views.hpp"
#include "core/weights/tangent_flow_gamma.hpp"

namespace quorvane {

// Checks, in this order: horizon > 0 "horizon must be positive"; states has at
// least 2 columns; the six per-step arrays each of shape exactly (n_paths,
// n_steps) (named as given); average_weights of length n_steps + 1, every entry
// finite, one not zero after column 0. The values of `states` are never read.
Outcome<AverageInputs> validate_average_inputs(const MatrixView& states, const MatrixView& dws,
                                               const MatrixView& sigma, const MatrixView& d_mu_dx,
                                               const MatrixView& d_sigma_dx, const MatrixView& d2_mu_dx2,
                                               const MatrixView& d2_sigma_dx2, double horizon,
                                               const VectorView& average_weights,
                                               const GammaArrayNames& names = kGammaWeightNames);

// One path: its weight and Q, or the first step whose sigma is zero.
struct PathAverage {
  double weight = 0.0;
  double q = 0.0;
  std::optional<std::size_t> zero_sigma_step;
};

// The single definition of the per-path recursion: the one-lane instance,
// steps in order, stopping at the first zero sigma.
PathAverage average_path_weight(const AverageInputs& inputs, std::size_t path);

// Weights of paths [first, first + count) into out[0 .. count), each with the
// bits of average_path_weight. On failure the first failing path of the range:
// ZeroSigma{path, step} for its first zero sigma, or ZeroSigma{path, n_steps}
// (never a step) when its Q is zero (`out` is then unspecified). Reads only
// immutable data, so disjoint ranges may run concurrently.
std::optional<ZeroSigma> tangent_flow_average_weights(const AverageInputs& inputs, std::size_t first,
                                         std::size_t count, double* out);
std::optional<ZeroSigma> tangent_flow_average_weights_with(KernelTarget target, const AverageInputs& inputs,
                                              std::size_t first, std::size_t count, double* out);

// The message of a failure of average_weights: the zero-sigma message (naming
// the sigma array as given, with its suffix), or "average weight of path 3 is
// undefined: sum_k average_weights[k] * k * Y_k = 0".
std::string average_failure_message(const AverageInputs& inputs, ZeroSigma failure,
                                    std::string_view sigma_name = "sigma",
                                    std::string_view suffix = " in BEL weight");

// The whole serial function: validate, allocate, fill; or the first message.
Outcome<DoubleBuffer> bel_weights_average_tangent_flow(
    const MatrixView& states, const MatrixView& dws, const MatrixView& sigma,
    const MatrixView& d_mu_dx, const MatrixView& d_sigma_dx, const MatrixView& d2_mu_dx2,
    const MatrixView& d2_sigma_dx2, double horizon, const VectorView& average_weights);

// The constant-flow inputs, validated.
struct AverageConstantFlow {
  MatrixView states;  // n_paths x n_dates monitored values
  VectorView w_terminals, times, weights;
  double slope = 0.0;   // s = d_sigma_dx
  double sigma0 = 0.0;  // sigma_at_x0
  double abm_sum = 0.0, abm_denominator = 0.0;  // sa and sigma0 * sat (ABM)

  // The weight of path i.
  double weight(std::size_t i) const noexcept;
  // The weights of paths [first, first + count) into out[0 .. count), each with
  // the bits of weight(i), and, when `averages` is not null, their averages
  // A = sum_k a_k S_k (PathFunctional::weighted_average's bits) into
  // averages[0 .. count): GBM paths side by side in the SIMD lanes of
  // `target`'s kernels, each path's sums in its own order.
  void weights_of(KernelTarget target, std::size_t first, std::size_t count, double* out,
                  double* averages = nullptr) const;
};

// Checks, in this order: horizon > 0; sigma_at_x0 > 0; d_sigma_dx 0 or
// positive and finite; monitored_states has at least one column and as many
// rows as w_terminals has entries; monitoring_times and average_weights have
// one entry per column; every time finite in (0, horizon]; every weight
// finite, one of them not zero; for ABM, sum a_k t_k not zero.
Outcome<AverageConstantFlow> validate_average_constant_flow(
    const MatrixView& monitored_states, const VectorView& w_terminals,
    const VectorView& monitoring_times, const VectorView& average_weights, double horizon,
    double sigma_at_x0, double d_sigma_dx);

Outcome<DoubleBuffer> bel_weights_average_constant_flow(
    const MatrixView& monitored_states, const VectorView& w_terminals,
    const VectorView& monitoring_times, const VectorView& average_weights, double horizon,
    double sigma_at_x0, double d_sigma_dx);

}  // namespace quorvane
