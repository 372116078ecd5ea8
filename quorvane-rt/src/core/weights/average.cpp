#include "core/weights/average.hpp"

#include <cmath>
#include <string>
#include <utility>

#include "core/kernels/kernels.hpp"
#include "core/payoffs/functionals.hpp"
#include "core/support/interrupt.hpp"
#include "core/weights/recursion_weights.hpp"
#include "core/weights/tangent_flow.hpp"

namespace quorvane {

namespace {

// The checks on the average's weights shared by both families: `expected`
// entries, each finite, one not zero from column `from` on.
std::optional<std::string> check_average_weights(const VectorView& a, std::size_t expected,
                                                 std::size_t from, std::string_view expected_what) {
  if (a.length != expected)
    return "average_weights length " + std::to_string(a.length) + " != expected " +
           std::to_string(expected) + " (" + std::string(expected_what) + ")";
  bool nonzero = false;
  for (std::size_t k = 0; k < a.length; ++k) {
    const double x = a[k];
    if (!std::isfinite(x)) return "average_weights[" + std::to_string(k) + "] is not finite";
    nonzero = nonzero || (k >= from && x != 0.0);
  }
  if (!nonzero)
    return from == 0 ? std::string("average_weights must have a nonzero entry")
                     : std::string("average_weights must have a nonzero entry after column 0");
  return std::nullopt;
}

}  // namespace

Outcome<AverageInputs> validate_average_inputs(const MatrixView& states, const MatrixView& dws,
                                               const MatrixView& sigma, const MatrixView& d_mu_dx,
                                               const MatrixView& d_sigma_dx, const MatrixView& d2_mu_dx2,
                                               const MatrixView& d2_sigma_dx2, double horizon,
                                               const VectorView& average_weights,
                                               const GammaArrayNames& names) {
  Outcome<PathGrid> grid = check_path_batch(
      states, horizon,
      {{names[0], dws}, {names[1], sigma}, {names[2], d_mu_dx}, {names[3], d_sigma_dx},
       {names[4], d2_mu_dx2}, {names[5], d2_sigma_dx2}});
  if (!grid.ok()) return std::move(grid).failure();
  const std::size_t n_paths = grid.value().n_paths;
  const std::size_t n_steps = grid.value().n_steps;
  if (std::optional<std::string> bad = check_average_weights(average_weights, n_steps + 1, 1, "n_steps + 1"))
    return ValueFailure{std::move(*bad)};
  AverageInputs in;
  in.flow = make_tangent_flow_inputs(dws, sigma, d_mu_dx, d_sigma_dx, n_paths, n_steps, horizon);
  in.d2_mu_dx2 = d2_mu_dx2;
  in.d2_sigma_dx2 = d2_sigma_dx2;
  in.weights = average_weights;
  for (std::size_t k = 1; k <= n_steps; ++k)
    if (average_weights[k] != 0.0) in.last = k;
  in.inv_dt = 1.0 / in.flow.dt;
  return in;
}

// The one-lane instance, kept out of line so that every caller (the fix-up of
// the fast kernels, the parallel blocks, the estimator) runs the very same
// machine code, including the operand order of commutative operations, which
// decides NaN payloads.
[[gnu::noinline]] PathAverage average_path_weight(const AverageInputs& in, std::size_t i) {
  PathAverage p;
  double out[detail::AverageRecursion::kOutputs] = {};
  p.zero_sigma_step = detail::one_lane<detail::AverageRecursion>(in, i, out);
  p.weight = out[0];
  p.q = out[1];
  return p;
}

// ---------------------------------------------------------------------------
// The fast kernels and their exactness.
//
// The raw kernels run the recursion without the per-step zero test; the one
// driver (core/weights/recursion_weights.hpp) recomputes, with the one-lane
// recursion, every path whose raw weight or Q is not finite. This is exact:
//
// 1. A zero sigma at step j always leaves the raw weight non-finite. q =
//    sigma' / (+-0) is +-inf, or NaN (sigma' zero or NaN), so qy = q * Y is inf
//    or NaN (NaN when Y is 0). The backward pass adds qy * R into U: inf times a
//    finite non-zero R is inf, times 0 (a step at or after J) or NaN is NaN.
//    U only receives additions afterwards, so it stays non-finite. Then U * Q is
//    non-finite (inf * 0 is NaN), and so is (U * Q) - (P * V); its quotient by
//    Q * Q is too (Q * Q is +0, positive or +inf or NaN: x / 0 and
//    inf / inf are inf or NaN), and pi = first - that is non-finite whatever
//    `first` is. (Nothing after U divides by a value it produced but Q * Q,
//    which U does not reach.)
// 2. A path without a zero sigma takes the same IEEE operations in the same
//    order in a lane as in the one-lane instance; when its weight and Q are
//    finite, no NaN was an operand of an operation they depend on, and for
//    non-NaN operands every result is fully determined whatever operand order
//    the compiler chose for commutative operations.
//
// A path whose Q is zero has a non-finite weight (c = P / 0), so it is always
// recomputed by the one-lane recursion, whose Q then says so.

std::optional<ZeroSigma> tangent_flow_average_weights_with(KernelTarget target, const AverageInputs& in,
                                              std::size_t first, std::size_t count, double* out) {
  const std::size_t n_steps = in.flow.n_steps;
  // Q of each path of a pass, checked in path order after the pass.
  double q[detail::kPassPaths];
  for (std::size_t start = 0; start < count; start += detail::kPassPaths) {
    const std::size_t n = count - start < detail::kPassPaths ? count - start : detail::kPassPaths;
    double* const outs[] = {out + start, q};
    const std::optional<ZeroSigma> zero = detail::recursion_outputs<detail::AverageRecursion>(
        target, in, first + start, n, outs, [&](std::size_t path, double* results) {
          const PathAverage p = average_path_weight(in, path);
          results[0] = p.weight;
          results[1] = p.q;
          return p.zero_sigma_step;
        });
    // Every path before the zero sigma has its outputs; the first failure wins.
    const std::size_t done = zero ? zero->path - (first + start) : n;
    for (std::size_t k = 0; k < done; ++k)
      if (q[k] == 0.0) return ZeroSigma{first + start + k, n_steps};
    if (zero) return zero;
  }
  return std::nullopt;
}

std::optional<ZeroSigma> tangent_flow_average_weights(const AverageInputs& in, std::size_t first,
                                         std::size_t count, double* out) {
  return tangent_flow_average_weights_with(active_kernel_target(), in, first, count, out);
}

std::string average_failure_message(const AverageInputs& in, ZeroSigma failure,
                                    std::string_view sigma_name, std::string_view suffix) {
  if (failure.step == in.flow.n_steps)
    return "average weight of path " + std::to_string(failure.path) +
           " is undefined: sum_k average_weights[k] * k * Y_k = 0";
  return zero_sigma_message(failure, sigma_name, suffix);
}

Outcome<DoubleBuffer> bel_weights_average_tangent_flow(
    const MatrixView& states, const MatrixView& dws, const MatrixView& sigma,
    const MatrixView& d_mu_dx, const MatrixView& d_sigma_dx, const MatrixView& d2_mu_dx2,
    const MatrixView& d2_sigma_dx2, double horizon, const VectorView& average_weights) {
  Outcome<AverageInputs> v = validate_average_inputs(states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2,
                                                     d2_sigma_dx2, horizon, average_weights);
  if (!v.ok()) return std::move(v).failure();
  const AverageInputs& in = v.value();
  DoubleBuffer out = DoubleBuffer::uninitialized(in.flow.n_paths);
  if (std::optional<ZeroSigma> failure = tangent_flow_average_weights(in, 0, in.flow.n_paths, out.data()))
    return ValueFailure{average_failure_message(in, *failure)};
  return out;
}

// ---------------------------------------------------------------------------
// Constant flow.

double AverageConstantFlow::weight(std::size_t i) const noexcept {
  const double w = w_terminals[i];
  if (slope == 0.0) return (w * abm_sum) / abm_denominator;
  const std::size_t n = states.cols;
  double at = weights[0] * times[0];
  const double s0 = states(i, 0);
  double a = weights[0] * s0;
  double b = at * s0;
  double c = (at * times[0]) * s0;
  for (std::size_t k = 1; k < n; ++k) {
    const double s = states(i, k);
    const double t = times[k];
    at = weights[k] * t;
    a = a + weights[k] * s;
    b = b + at * s;
    c = c + (at * t) * s;
  }
  return (((w * a) / b) - (slope * (1.0 - ((a * c) / (b * b))))) / sigma0;
}

void AverageConstantFlow::weights_of(KernelTarget target, std::size_t first, std::size_t count,
                                     double* out, double* averages) const {
  if (slope == 0.0) {
    // ABM: the weight reads only W; the averages, when asked for, the states.
    for (std::size_t i = 0; i < count; ++i) out[i] = weight(first + i);
    if (averages == nullptr) return;
  }
  const detail::AverageFlowKernel kernel = detail::kernels_for(target).average_flow;
  // Plain fields for the kernels, which may not call the views' member functions.
  const detail::AverageFlowKernelInputs in{states.data,       states.rows,        states.cols,
                                           states.row_stride, states.col_stride,  w_terminals.data,
                                           w_terminals.stride, times.data,        times.stride,
                                           weights.data,      weights.stride,     slope,
                                           sigma0};
  kernel(in, first, count, slope == 0.0 ? nullptr : out, averages);
}

Outcome<AverageConstantFlow> validate_average_constant_flow(
    const MatrixView& monitored_states, const VectorView& w_terminals,
    const VectorView& monitoring_times, const VectorView& average_weights, double horizon,
    double sigma_at_x0, double d_sigma_dx) {
  // Strict tests: zero, -0.0, negative values and NaN fail; +inf passes.
  if (!(horizon > 0.0)) return ValueFailure{"horizon must be positive"};
  if (!(sigma_at_x0 > 0.0)) return ValueFailure{"sigma_at_x0 must be positive"};
  if (!(d_sigma_dx >= 0.0) || std::isinf(d_sigma_dx))
    return ValueFailure{"d_sigma_dx must be 0 (arithmetic Brownian motion) or positive and finite "
                        "(geometric Brownian motion)"};
  const std::size_t n_dates = monitored_states.cols;
  if (n_dates == 0) return ValueFailure{"monitored_states must have at least 1 column"};
  if (monitored_states.rows != w_terminals.length)
    return ValueFailure{"monitored_states and w_terminals must have the same number of paths"};
  if (monitoring_times.length != n_dates)
    return ValueFailure{"monitoring_times length " + std::to_string(monitoring_times.length) +
                        " != expected " + std::to_string(n_dates) + " (monitored_states columns)"};
  for (std::size_t k = 0; k < n_dates; ++k) {
    const double t = monitoring_times[k];
    if (!(t > 0.0 && t <= horizon) || std::isinf(t))
      return ValueFailure{"monitoring_times[" + std::to_string(k) + "] is not in (0, horizon]"};
  }
  if (std::optional<std::string> bad =
          check_average_weights(average_weights, n_dates, 0, "monitored_states columns"))
    return ValueFailure{std::move(*bad)};
  AverageConstantFlow c;
  c.states = monitored_states;
  c.w_terminals = w_terminals;
  c.times = monitoring_times;
  c.weights = average_weights;
  c.slope = d_sigma_dx;
  c.sigma0 = sigma_at_x0;
  if (d_sigma_dx == 0.0) {
    double sa = average_weights[0];
    double sat = average_weights[0] * monitoring_times[0];
    for (std::size_t k = 1; k < n_dates; ++k) {
      sa = sa + average_weights[k];
      sat = sat + average_weights[k] * monitoring_times[k];
    }
    if (sat == 0.0)
      return ValueFailure{"sum_k average_weights[k] * monitoring_times[k] = 0: the ABM average weight is undefined"};
    c.abm_sum = sa;
    c.abm_denominator = sigma_at_x0 * sat;
  }
  return c;
}

Outcome<DoubleBuffer> bel_weights_average_constant_flow(
    const MatrixView& monitored_states, const VectorView& w_terminals,
    const VectorView& monitoring_times, const VectorView& average_weights, double horizon,
    double sigma_at_x0, double d_sigma_dx) {
  Outcome<AverageConstantFlow> v = validate_average_constant_flow(
      monitored_states, w_terminals, monitoring_times, average_weights, horizon, sigma_at_x0, d_sigma_dx);
  if (!v.ok()) return std::move(v).failure();
  const AverageConstantFlow& c = v.value();
  const std::size_t n = w_terminals.length;
  DoubleBuffer out = DoubleBuffer::uninitialized(n);
  const KernelTarget target = active_kernel_target();
  for_each_interrupt_chunk(n, [&](std::size_t first, std::size_t last) {
    c.weights_of(target, first, last - first, out.data() + first);
  });
  return out;
}

}  // namespace quorvane
