#include "core/weights/tangent_flow.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <utility>

#include "core/support/failure.hpp"
#include "core/weights/recursion_weights.hpp"

namespace quorvane {

namespace {

// "<a>, <b>"
void append_pair(std::string& s, std::size_t a, std::size_t b) {
  s += std::to_string(a);
  s += ", ";
  s += std::to_string(b);
}

}  // namespace

std::string shape_message(std::string_view name, const MatrixView& m, std::size_t n_paths,
                          std::size_t n_steps) {
  std::string s(name);
  s += " shape [";
  append_pair(s, m.rows, m.cols);
  s += "] != expected (";
  append_pair(s, n_paths, n_steps);
  s += ')';
  return s;
}

Outcome<TangentFlowInputs> validate_tangent_flow_inputs(const MatrixView& states,
                                                        const MatrixView& dws,
                                                        const MatrixView& sigma,
                                                        const MatrixView& d_mu_dx,
                                                        const MatrixView& d_sigma_dx,
                                                        double horizon) {
  Outcome<PathGrid> grid = check_path_batch(
      states, horizon,
      {{"dws", dws}, {"sigma", sigma}, {"d_mu_dx", d_mu_dx}, {"d_sigma_dx", d_sigma_dx}});
  if (!grid.ok()) return std::move(grid).failure();
  return make_tangent_flow_inputs(dws, sigma, d_mu_dx, d_sigma_dx, grid.value().n_paths,
                                  grid.value().n_steps, horizon);
}

Outcome<PathGrid> check_path_batch(const MatrixView& states, double horizon,
                                   std::initializer_list<NamedMatrix> per_step,
                                   std::size_t min_columns, std::string_view too_narrow) {
  // Written as a negated strict comparison so that NaN is rejected; +inf passes.
  if (!(horizon > 0.0)) return ValueFailure{"horizon must be positive"};
  if (states.cols < min_columns) return ValueFailure{std::string(too_narrow)};
  const PathGrid grid{states.rows, states.cols - 1};
  for (const NamedMatrix& a : per_step) {
    if (a.view.rows != grid.n_paths || a.view.cols != grid.n_steps)
      return ValueFailure{shape_message(a.name, a.view, grid.n_paths, grid.n_steps)};
  }
  return grid;
}

TangentFlowInputs make_tangent_flow_inputs(const MatrixView& dws, const MatrixView& sigma,
                                           const MatrixView& d_mu_dx, const MatrixView& d_sigma_dx,
                                           std::size_t n_paths, std::size_t n_steps, double horizon) {
  TangentFlowInputs in;
  in.dws = dws;
  in.sigma = sigma;
  in.d_mu_dx = d_mu_dx;
  in.d_sigma_dx = d_sigma_dx;
  in.n_paths = n_paths;
  in.n_steps = n_steps;
  in.dt = horizon / static_cast<double>(n_steps);
  // One reciprocal, multiplied into every term: a division by T per step would
  // round differently.
  in.inv_horizon = 1.0 / horizon;
  return in;
}

// Kept out of line so that every caller (the serial loop, the fix-up of the fast
// kernels, the parallel blocks) runs the very same machine code, including the
// operand order of commutative operations, which decides NaN payloads.
[[gnu::noinline]] PathWeight tangent_flow_path_weight(const TangentFlowInputs& in,
                                                      std::size_t path) {
  PathWeight w;
  w.zero_sigma_step = detail::one_lane<detail::DeltaRecursion>(in, path, &w.weight);
  return w;
}

PathWeight tangent_flow_path_weight_checked(const TangentFlowInputs& in, std::size_t path) {
  PathWeight w;
  w.zero_sigma_step = detail::one_lane<detail::DeltaRecursion, true>(in, path, &w.weight);
  return w;
}

std::string zero_sigma_message(ZeroSigma where, std::string_view sigma_name,
                               std::string_view suffix) {
  std::string s(sigma_name);
  s += '[';
  append_pair(s, where.path, where.step);
  s += "] = 0 produces division by zero";
  s += suffix;
  return s;
}

// ---------------------------------------------------------------------------
// The fast kernels and their exactness (the driver is
// core/weights/recursion_weights.hpp; these are the two facts it rests on, for
// the delta recursion).
//
// 1. A zero sigma always leaves acc non-finite. At such a step t = Y / (+-0):
//    Y finite and non-zero gives +-inf, Y = +-0 gives NaN (0/0), Y = +-inf gives
//    +-inf, Y NaN gives NaN. Multiplying a non-finite t by inv_horizon and then
//    by dW keeps it non-finite (+-inf times a non-zero gives +-inf, times zero
//    or NaN gives NaN, and NaN stays NaN), whatever T is (inv_horizon is +0 for
//    T = +inf, +-inf for T = +-0, NaN for NaN T). Then acc + t is non-finite
//    (finite + inf = inf, inf + -inf = NaN, anything + NaN = NaN), and a
//    non-finite acc stays non-finite at every later step for the same reasons.
//    So a path with a finite raw weight has no zero sigma.
// 2. A path without a zero sigma takes the same IEEE operations in the same order
//    in a lane as in the scalar loop. When its weight is finite, no NaN ever
//    reached acc (a NaN or infinite Y before the last step makes the next term
//    non-finite), and for non-NaN operands the result of every operation is fully
//    determined, whatever operand order the compiler chose for commutative ones.
//    Hence a finite raw weight has exactly the scalar bits.

std::optional<ZeroSigma> tangent_flow_weights_with(KernelTarget target,
                                                   const TangentFlowInputs& in,
                                                   std::size_t first, std::size_t count,
                                                   double* out) {
  return detail::recursion_outputs<detail::DeltaRecursion>(
      target, in, first, count, &out, [&](std::size_t path, double* results) {
        const PathWeight w = tangent_flow_path_weight(in, path);
        results[0] = w.weight;
        return w.zero_sigma_step;
      });
}

std::optional<ZeroSigma> tangent_flow_weights(const TangentFlowInputs& in, std::size_t first,
                                              std::size_t count, double* out) {
  return tangent_flow_weights_with(active_kernel_target(), in, first, count, out);
}

Outcome<DoubleBuffer> bel_weights_tangent_flow(const MatrixView& states, const MatrixView& dws,
                                               const MatrixView& sigma, const MatrixView& d_mu_dx,
                                               const MatrixView& d_sigma_dx, double horizon) {
  Outcome<TangentFlowInputs> v =
      validate_tangent_flow_inputs(states, dws, sigma, d_mu_dx, d_sigma_dx, horizon);
  if (!v.ok()) return std::move(v).failure();
  const TangentFlowInputs& in = v.value();
  DoubleBuffer out = DoubleBuffer::uninitialized(in.n_paths);
  if (std::optional<ZeroSigma> zero = tangent_flow_weights(in, 0, in.n_paths, out.data()))
    return ValueFailure{zero_sigma_message(*zero)};
  return out;
}

}  // namespace quorvane
