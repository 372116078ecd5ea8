#include "core/weights/tangent_flow_gamma.hpp"

#include <cmath>
#include <string>
#include <utility>

#include "core/weights/recursion_weights.hpp"

namespace quorvane {

Outcome<TangentFlowGammaInputs> validate_tangent_flow_gamma_inputs(
    const MatrixView& states, const MatrixView& dws, const MatrixView& sigma,
    const MatrixView& d_mu_dx, const MatrixView& d_sigma_dx, const MatrixView& d2_mu_dx2,
    const MatrixView& d2_sigma_dx2, double horizon, const GammaArrayNames& names) {
  // Both intervals need a step: m = floor(N / 2) >= 1 and N - m >= 1.
  Outcome<PathGrid> grid = check_path_batch(
      states, horizon,
      {{names[0], dws}, {names[1], sigma}, {names[2], d_mu_dx}, {names[3], d_sigma_dx},
       {names[4], d2_mu_dx2}, {names[5], d2_sigma_dx2}},
      3, "states must have at least 3 columns (n_steps + 1, and gamma needs n_steps >= 2)");
  if (!grid.ok()) return std::move(grid).failure();
  const std::size_t n_paths = grid.value().n_paths;
  const std::size_t n_steps = grid.value().n_steps;
  TangentFlowGammaInputs in;
  in.flow = make_tangent_flow_inputs(dws, sigma, d_mu_dx, d_sigma_dx, n_paths, n_steps, horizon);
  in.d2_mu_dx2 = d2_mu_dx2;
  in.d2_sigma_dx2 = d2_sigma_dx2;
  in.split = n_steps / 2;
  // T1 = m * dt, T - T1 by one subtraction, and one reciprocal of each,
  // multiplied into the sums at the end of every path.
  const double t1 = static_cast<double>(in.split) * in.flow.dt;
  in.inv_t1 = 1.0 / t1;
  in.inv_t2 = 1.0 / (horizon - t1);
  return in;
}

// The one-lane instance of the recursion, with the zero test the raw kernels
// leave out. Kept out of line so that every caller (the fix-up of the fast
// kernels, the parallel blocks, the tests) runs the very same machine code,
// including the operand order of commutative operations, which decides NaN
// payloads.
[[gnu::noinline]] PathGamma tangent_flow_gamma_path_weight(const TangentFlowGammaInputs& in,
                                                           std::size_t i) {
  PathGamma g;
  g.zero_sigma_step = detail::one_lane<detail::GammaRecursion<false>>(in, i, &g.gamma);
  return g;
}

// ---------------------------------------------------------------------------
// The fast kernels and their exactness.
//
// The raw kernels run the recursion without the per-step zero test; the one
// driver (core/weights/recursion_weights.hpp) recomputes, with the one-lane
// recursion, every path whose raw gamma weight (or raw delta weight) is not
// finite. This is exact because of two facts.
//
// 1. A zero sigma always leaves the raw gamma weight non-finite. At such a step
//    k = Y / (+-0) is +-inf, or NaN when Y is zero or NaN. Y and Z never depend
//    on k (their updates have no division), so the zero only reaches the sums:
//    k * dW (and, in the first interval, e = Z / s - (k * k) * sigma') is inf
//    or NaN (inf times a non-zero is inf, times 0 or NaN is NaN; inf - inf is
//    NaN). A non-finite sum stays non-finite through every later step, whose
//    operations on it are additions of a term (finite + inf = inf,
//    inf + -inf = NaN, anything + NaN = NaN). At the end a non-finite a, b or
//    c makes A, B or C non-finite: a finite horizon gives 0 < T1 < T, so
//    inv_t1 and inv_t2 are positive (finite, or +inf when T1 or T - T1 is
//    subnormal), and a non-finite value times a positive one is non-finite. A
//    non-finite A or B makes A * B non-finite (a finite factor of 0 gives NaN),
//    and A * B + C is non-finite when either term is. (An infinite horizon is
//    handled before the raw kernels run; see infinite_horizon below.) So a
//    path with a finite raw gamma weight has no zero sigma. (No operation after the zero divides by a value it produced, which
//    is the only way a non-finite value could turn finite again.)
// 2. A path without a zero sigma takes the same IEEE operations in the same
//    order in a lane as in the one-lane instance. When its gamma weight is
//    finite, no NaN was an operand of any operation it depends on (NaN is
//    absorbing in +, -, *, /), and for non-NaN operands every result is fully
//    determined, whatever operand order the compiler chose for commutative
//    operations. Hence a finite raw weight has exactly the one-lane bits. The
//    same argument, made for the delta recursion in tangent_flow.cpp, holds for
//    the delta weights computed beside it, whose operations are the delta
//    recursion's.

namespace {

// horizon = +inf, which the positivity test lets through. Then dt = +inf,
// inv_t1 = 1 / (m * inf) = +0 and inv_t2 = 1 / (inf - inf) is NaN: every path's
// weight is NaN and the raw kernels would send every path to the one-lane
// recursion. What that recursion gives follows from its arithmetic, and is
// computed here without running it.
//
// A path with a zero sigma stops the recursion at its first one, as always, so
// the first zero in row-major order is still the one reported. For a path
// without a zero sigma and without a NaN among the values the recursions read,
// every NaN that arises is made by an invalid operation (inf - inf, 0 * inf,
// inf / inf), which gives the processor's one default NaN, and operations on it
// pass it on unchanged; so every value is a number or that NaN, whichever
// operand order the compiler chose. inv_t2 is that NaN (1 / (inf - inf)). The
// gamma weight (a * inv_t1) * (b * inv_t2) + c * inv_t1 is therefore it: b * inv_t2
// is it whatever b is, so is the product, and so is the sum. The delta weight
// (the fused estimator) is it too: step 0 leaves Y = 1 + ((sigma' dW) +
// (mu' * inf)), which is +-inf or the NaN, so at step 1 (n_steps >= 2) the term
// (Y / sigma) * inv_horizon = (+-inf or NaN) * +0 is the NaN, and the sum keeps
// it. A path that reads a NaN runs the one-lane recursions themselves, whose
// NaN payloads may come from its inputs.
std::optional<ZeroSigma> infinite_horizon(const TangentFlowGammaInputs& in, std::size_t first,
                                          std::size_t count, double* gamma_out,
                                          double* delta_out) {
  const TangentFlowInputs& f = in.flow;
  InterruptBudget budget;
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t i = first + k;
    bool nan = false;
    for (std::size_t j = 0; j < f.n_steps; ++j) {
      const double s = f.sigma(i, j);
      // Compares equal for +0.0 and -0.0, never for NaN.
      if (s == 0.0) return ZeroSigma{i, j};
      nan = nan || std::isnan(s) || std::isnan(f.dws(i, j)) || std::isnan(f.d_mu_dx(i, j)) ||
            std::isnan(f.d_sigma_dx(i, j)) ||
            (j < in.split && (std::isnan(in.d2_mu_dx2(i, j)) || std::isnan(in.d2_sigma_dx2(i, j))));
    }
    if (nan) {
      gamma_out[k] = tangent_flow_gamma_path_weight(in, i).gamma;
      if (delta_out != nullptr) delta_out[k] = tangent_flow_path_weight(f, i).weight;
    } else {
      gamma_out[k] = in.inv_t2;
      if (delta_out != nullptr) delta_out[k] = in.inv_t2;
    }
    budget.spend(f.n_steps);
  }
  return std::nullopt;
}

// dt is infinite exactly when the horizon is (a finite one gives dt <= T / 2).
bool infinite_horizon_inputs(const TangentFlowGammaInputs& in) noexcept {
  return std::isinf(in.flow.dt);
}

}  // namespace

std::optional<ZeroSigma> tangent_flow_gamma_weights_with(KernelTarget target,
                                                         const TangentFlowGammaInputs& in,
                                                         std::size_t first, std::size_t count,
                                                         double* out) {
  if (infinite_horizon_inputs(in)) return infinite_horizon(in, first, count, out, nullptr);
  return detail::recursion_outputs<detail::GammaRecursion<false>>(
      target, in, first, count, &out, [&](std::size_t path, double* results) {
        const PathGamma g = tangent_flow_gamma_path_weight(in, path);
        results[0] = g.gamma;
        return g.zero_sigma_step;
      });
}

std::optional<ZeroSigma> tangent_flow_gamma_weights(const TangentFlowGammaInputs& in,
                                                    std::size_t first, std::size_t count,
                                                    double* out) {
  return tangent_flow_gamma_weights_with(active_kernel_target(), in, first, count, out);
}

std::optional<ZeroSigma> tangent_flow_delta_gamma_weights_with(
    KernelTarget target, const TangentFlowGammaInputs& in, std::size_t first,
    std::size_t count, double* gamma_out, double* delta_out) {
  if (infinite_horizon_inputs(in)) return infinite_horizon(in, first, count, gamma_out, delta_out);
  double* const outs[] = {gamma_out, delta_out};
  return detail::recursion_outputs<detail::GammaRecursion<true>>(
      target, in, first, count, outs,
      [&](std::size_t path, double* results) -> std::optional<std::size_t> {
        // Each output by its own one-lane definition, so that a NaN's payload
        // and sign are those of the gamma-only and delta-only recursions. A
        // zero sigma is met by the first; the second then succeeds.
        const PathGamma g = tangent_flow_gamma_path_weight(in, path);
        if (!g.ok()) return g.zero_sigma_step;
        results[0] = g.gamma;
        results[1] = tangent_flow_path_weight(in.flow, path).weight;
        return std::nullopt;
      });
}

Outcome<DoubleBuffer> bel_weights_gamma_tangent_flow(const TangentFlowGammaInputs& in) {
  DoubleBuffer out = DoubleBuffer::uninitialized(in.flow.n_paths);
  if (std::optional<ZeroSigma> zero = tangent_flow_gamma_weights(in, 0, in.flow.n_paths, out.data()))
    return ValueFailure{zero_sigma_message(*zero)};
  return out;
}

}  // namespace quorvane
