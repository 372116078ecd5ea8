#include "core/estimators/tangent_flow_gamma.hpp"

#include <cmath>
#include <string>

#include "core/estimators/fix_up.hpp"
#include "core/estimators/tangent_flow_parallel.hpp"
#include "core/kernels/kernels.hpp"
#include "core/kernels/tangent_flow_gamma_lanes.hpp"
#include "core/support/interrupt.hpp"

namespace quorvane {

Outcome<TangentFlowGammaInputs> validate_tangent_flow_gamma_inputs(
    const MatrixView& states, const MatrixView& dws, const MatrixView& sigma,
    const MatrixView& d_mu_dx, const MatrixView& d_sigma_dx, const MatrixView& d2_mu_dx2,
    const MatrixView& d2_sigma_dx2, double horizon, const GammaArrayNames& names) {
  // A negated strict comparison, so that NaN is rejected; +inf passes.
  if (!(horizon > 0.0)) return ValueFailure{"horizon must be positive"};
  // Both intervals need a step: m = floor(N / 2) >= 1 and N - m >= 1.
  if (states.cols < 3)
    return ValueFailure{"states must have at least 3 columns (n_steps + 1, and gamma needs n_steps >= 2)"};
  const std::size_t n_paths = states.rows;
  const std::size_t n_steps = states.cols - 1;
  const MatrixView* arrays[] = {&dws, &sigma, &d_mu_dx, &d_sigma_dx, &d2_mu_dx2, &d2_sigma_dx2};
  for (std::size_t k = 0; k < names.size(); ++k) {
    if (arrays[k]->rows != n_paths || arrays[k]->cols != n_steps)
      return ValueFailure{shape_message(names[k], *arrays[k], n_paths, n_steps)};
  }
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

// The one-lane instance of the kernel body, with the zero test the raw kernels
// leave out. Kept out of line so that every caller (the fix-up of the fast
// kernels, the parallel blocks, the tests) runs the very same machine code,
// including the operand order of commutative operations, which decides NaN
// payloads.
[[gnu::noinline]] PathGamma tangent_flow_gamma_path_weight(const TangentFlowGammaInputs& in,
                                                           std::size_t i) {
  using L = detail::ScalarLanes;
  const detail::GammaConstants<L> cst(in);
  detail::GammaState<L, false> st;
  st.start();
  const TangentFlowInputs& f = in.flow;
  // A long path can be interrupted between two runs of its steps.
  const KernelPace pace;
  for (std::size_t j = 0; j < f.n_steps; ++j) {
    if (j % kKernelPaceSteps == 0 && j != 0 && kernel_pace(kKernelPaceSteps)) pace.check();
    const double s = f.sigma(i, j);
    // Compares equal for +0.0 and -0.0, never for NaN.
    if (s == 0.0) return PathGamma{0.0, j};
    if (j < in.split) {
      detail::first_step(st, s, f.dws(i, j), f.d_mu_dx(i, j), f.d_sigma_dx(i, j),
                         in.d2_mu_dx2(i, j), in.d2_sigma_dx2(i, j), cst);
    } else {
      detail::second_step(st, s, f.dws(i, j), f.d_mu_dx(i, j), f.d_sigma_dx(i, j), cst);
    }
  }
  return PathGamma{detail::gamma_weight(st, cst), std::nullopt};
}

// ---------------------------------------------------------------------------
// The fast kernels and their exactness.
//
// The raw kernels run the recursion without the per-step zero test; the driver
// recomputes, with the one-lane recursion, every path whose raw gamma weight
// (or raw delta weight) is not finite. This is exact because of two facts.
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
//    handled before the raw kernels run; see infinite_horizon below.) So a path with a finite raw gamma weight has no zero
//    sigma. (No operation after the zero divides by a value it produced, which
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
//
// Every non-finite weight (also a legitimate one from NaN or infinite inputs)
// is produced by the one-lane recursion itself (the delta weight by
// tangent_flow_path_weight), so NaN payloads and signs are those of the serial
// definitions too. Paths are fixed up in increasing index order and the
// recursion stops at its first zero step, so the zero reported is the first in
// row-major order of the range. (The raw kernels do divide by zero, which only
// raises the IEEE divide-by-zero flag.)

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

// Paths per fix-up pass: small enough that the raw weights are still in L1 when
// they are scanned, large enough that the scan is free next to the recursion.
constexpr std::size_t kChunk = 256;

std::optional<ZeroSigma> run_chunks(KernelTarget target, const TangentFlowGammaInputs& in,
                                    std::size_t first, std::size_t count, double* gamma_out,
                                    double* delta_out) {
  const bool with_delta = delta_out != nullptr;
  // dt is infinite exactly when the horizon is (a finite one gives dt <= T / 2).
  if (std::isinf(in.flow.dt)) return infinite_horizon(in, first, count, gamma_out, delta_out);
  const detail::TargetKernels& kernels = detail::kernels_for(target);
  const detail::RawGammaKernel raw = with_delta ? kernels.delta_gamma_raw : kernels.gamma_raw;
  InterruptBudget budget;
  // A group of long paths can be stopped inside the kernel (core/support/interrupt.hpp).
  const KernelPace pace;
  return detail::raw_then_fix_up(
      first, count, kChunk,
      [&](std::size_t path, std::size_t n, std::size_t k) {
        raw(in, path, n, gamma_out + k, with_delta ? delta_out + k : nullptr);
        pace.check();
      },
      [&](std::size_t k) -> std::optional<ZeroSigma> {
        if (!detail::is_finite_bits(gamma_out[k])) {
          const PathGamma g = tangent_flow_gamma_path_weight(in, first + k);
          if (!g.ok()) return ZeroSigma{first + k, *g.zero_sigma_step};
          gamma_out[k] = g.gamma;
        }
        // A zero sigma was reported just above, so this recomputation succeeds.
        if (with_delta && !detail::is_finite_bits(delta_out[k])) {
          const PathWeight w = tangent_flow_path_weight(in.flow, first + k);
          if (!w.ok()) return ZeroSigma{first + k, *w.zero_sigma_step};
          delta_out[k] = w.weight;
        }
        return std::nullopt;
      },
      [&](std::size_t n) { budget.spend(n * in.flow.n_steps); });
}

}  // namespace

std::optional<ZeroSigma> tangent_flow_gamma_weights_with(KernelTarget target,
                                                         const TangentFlowGammaInputs& in,
                                                         std::size_t first, std::size_t count,
                                                         double* out) {
  return run_chunks(target, in, first, count, out, nullptr);
}

std::optional<ZeroSigma> tangent_flow_gamma_weights(const TangentFlowGammaInputs& in,
                                                    std::size_t first, std::size_t count,
                                                    double* out) {
  return run_chunks(active_kernel_target(), in, first, count, out, nullptr);
}

std::optional<ZeroSigma> tangent_flow_delta_gamma_weights_with(
    KernelTarget target, const TangentFlowGammaInputs& in, std::size_t first,
    std::size_t count, double* gamma_out, double* delta_out) {
  return run_chunks(target, in, first, count, gamma_out, delta_out);
}

Outcome<DoubleBuffer> bel_weights_gamma_tangent_flow(
    const MatrixView& states, const MatrixView& dws, const MatrixView& sigma,
    const MatrixView& d_mu_dx, const MatrixView& d_sigma_dx, const MatrixView& d2_mu_dx2,
    const MatrixView& d2_sigma_dx2, double horizon) {
  Outcome<TangentFlowGammaInputs> v = validate_tangent_flow_gamma_inputs(
      states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2, horizon);
  if (!v.ok()) return std::move(v).failure();
  const TangentFlowGammaInputs& in = v.value();
  DoubleBuffer out = DoubleBuffer::uninitialized(in.flow.n_paths);
  if (std::optional<ZeroSigma> zero = tangent_flow_gamma_weights(in, 0, in.flow.n_paths, out.data()))
    return ValueFailure{zero_sigma_message(*zero)};
  return out;
}

Outcome<DoubleBuffer> tangent_flow_gamma_weights_parallel(const TangentFlowGammaInputs& inputs) {
  // Every element is written by exactly one block before the buffer is read.
  DoubleBuffer out = DoubleBuffer::uninitialized(inputs.flow.n_paths);
  const BlockKernel kernel = [](const void* context, std::size_t first, std::size_t count,
                                double* block_out) {
    return tangent_flow_gamma_weights(*static_cast<const TangentFlowGammaInputs*>(context), first,
                                      count, block_out);
  };
  if (const std::optional<ZeroSigma> failure =
          run_path_blocks(inputs.flow.n_paths, out.data(), kernel, &inputs, inputs.flow.n_steps))
    return ValueFailure{zero_sigma_message(*failure)};
  return out;
}

}  // namespace quorvane
