#include "core/estimators/tangent_flow.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

#include "core/estimators/fix_up.hpp"
#include "core/kernels/kernels.hpp"
#include "core/kernels/tangent_flow_lanes.hpp"
#include "core/support/failure.hpp"
#include "core/support/interrupt.hpp"

namespace quorvane {

namespace {

// The per-path recursion: the one-lane instance of the kernels' body, over a
// source that reads path i through the views and stops at a sigma equal to 0.0.
// `Checked` selects bounds-checked element access (an index outside a view is
// an internal failure), for callers whose arrays were not validated against
// n_paths x n_steps; elements are then needed in the order sigma, its zero
// test, dws, d_mu_dx, d_sigma_dx, so the first missing one in row-major order is
// reported.
template <bool Checked>
inline PathWeight tangent_flow_recursion(const TangentFlowInputs& in, std::size_t i) {
  double weight = 0.0;  // left as is when a pace stops the recursion
  const std::size_t stop = detail::chain_group<detail::ScalarLanes, 1>(
      detail::PathViewSource<Checked>{in, i}, in, 1, &weight);
  if (stop != in.n_steps) return PathWeight{0.0, stop};
  return PathWeight{weight, std::nullopt};
}

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
  // Written as a negated strict comparison so that NaN is rejected; +inf passes.
  if (!(horizon > 0.0)) return ValueFailure{"horizon must be positive"};
  if (states.cols < 2) return ValueFailure{"states must have at least 2 columns (n_steps + 1)"};
  const std::size_t n_paths = states.rows;
  const std::size_t n_steps = states.cols - 1;
  const struct {
    const char* name;
    const MatrixView& view;
  } arrays[] = {{"dws", dws}, {"sigma", sigma}, {"d_mu_dx", d_mu_dx}, {"d_sigma_dx", d_sigma_dx}};
  for (const auto& a : arrays) {
    if (a.view.rows != n_paths || a.view.cols != n_steps)
      return ValueFailure{shape_message(a.name, a.view, n_paths, n_steps)};
  }
  return make_tangent_flow_inputs(dws, sigma, d_mu_dx, d_sigma_dx, n_paths, n_steps, horizon);
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
// A long path can be interrupted between two runs of its steps (the result
// is then never looked at: check throws).
[[gnu::noinline]] PathWeight tangent_flow_path_weight(const TangentFlowInputs& in,
                                                      std::size_t path) {
  const KernelPace pace;
  const PathWeight w = tangent_flow_recursion<false>(in, path);
  pace.check();
  return w;
}

PathWeight tangent_flow_path_weight_checked(const TangentFlowInputs& in, std::size_t path) {
  const KernelPace pace;
  const PathWeight w = tangent_flow_recursion<true>(in, path);
  pace.check();
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
// The fast kernels and their exactness.
//
// The raw kernels run the recursion without the per-step zero test and the
// driver below recomputes, with the scalar recursion, every path whose raw
// weight is not finite. This is exact because of two facts:
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
//
// Every non-finite weight (also a legitimate one from NaN or infinite inputs) is
// produced by the scalar recursion itself, so NaN payloads and signs are those of
// tangent_flow_path_weight too. Paths are fixed up in increasing index order, and
// the scalar recursion stops at its first zero step, so the first zero sigma
// reported is the first in row-major order of the range. (The raw kernels do
// divide by zero, which only raises the IEEE divide-by-zero flag.)

namespace {

// Paths per call of the kernels between two interrupt spends of the serial
// driver (whole fix-up chunks).
constexpr std::size_t kInterruptPaths = 4 * kTangentFlowChunk;

}  // namespace

std::optional<ZeroSigma> tangent_flow_weights_with(KernelTarget target,
                                                   const TangentFlowInputs& in,
                                                   std::size_t first, std::size_t count,
                                                   double* out) {
  const detail::RawTangentFlowKernel raw = detail::kernels_for(target).tangent_flow_raw;
  // A group of long paths can be stopped inside the kernel (core/support/interrupt.hpp).
  const KernelPace pace;
  return detail::raw_then_fix_up(
      first, count, kTangentFlowChunk,
      [&](std::size_t path, std::size_t n, std::size_t k) {
        raw(in, path, n, out + k);
        pace.check();
      },
      [&](std::size_t k) -> std::optional<ZeroSigma> {
        if (detail::is_finite_bits(out[k])) return std::nullopt;
        const PathWeight w = tangent_flow_path_weight(in, first + k);
        if (!w.ok()) return ZeroSigma{first + k, *w.zero_sigma_step};
        out[k] = w.weight;
        return std::nullopt;
      },
      [](std::size_t) {});
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
  // A group of paths at a time, so that a long call can be interrupted between
  // two groups; each weight is its own path's, so the grouping changes no bit.
  InterruptBudget budget;
  for (std::size_t first = 0; first < in.n_paths; first += kInterruptPaths) {
    const std::size_t count = std::min(kInterruptPaths, in.n_paths - first);
    if (std::optional<ZeroSigma> zero = tangent_flow_weights(in, first, count, out.data() + first))
      return ValueFailure{zero_sigma_message(*zero)};
    budget.spend(count * in.n_steps);
  }
  return out;
}

}  // namespace quorvane
