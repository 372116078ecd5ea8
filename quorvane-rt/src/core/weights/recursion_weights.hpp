// The one driver of every recursion's fast kernels (internal): one raw pass per
// kPassPaths paths, with no zero-sigma test, then the one-lane recursion for
// every path with an output that is not finite, in increasing path order.
//
// Why that is exact rests on two facts, which each recursion's header argues
// for its own operations (the delta in core/weights/tangent_flow.cpp, the gamma
// in core/weights/tangent_flow_gamma.cpp, the average in core/weights/average.cpp):
// 1. a zero sigma always leaves an output non-finite, so a path whose outputs
//    are all finite has no zero sigma;
// 2. a path without a zero sigma takes the same IEEE operations in the same
//    order in a lane as in the one-lane instance, and when an output is finite
//    no NaN reached it, so its bits are fully determined whatever operand order
//    the compiler chose for commutative operations.
// Every non-finite output (also a legitimate one from NaN or infinite inputs)
// is produced by the one-lane recursion itself, so NaN payloads and signs are
// those of the serial definition too. Paths are fixed up in increasing index
// order, and the one-lane recursion stops at its first zero step, so the first
// zero sigma reported is the first in row-major order of the range. (The raw
// kernels do divide by zero, which only raises the IEEE divide-by-zero flag.)
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include "core/kernels/kernels.hpp"
#include "core/kernels/recursion_groups.hpp"
#include "core/kernels/target.hpp"
#include "core/recursions/delta_recursion.hpp"
#include "core/support/interrupt.hpp"

namespace quorvane::detail {
namespace {

// From the bits: neither an infinity nor a NaN.
inline bool is_finite_bits(double x) noexcept {
  std::uint64_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  constexpr std::uint64_t kExponent = 0x7ff0000000000000ULL;
  return (bits & kExponent) != kExponent;
}

// The one-lane instance of a recursion for path `path`: its outputs into
// out[0 .. kOutputs), or the first step whose sigma is zero. `Checked`
// bounds-checks every element access (for arrays not validated against
// n_paths x n_steps; elements are needed in the order sigma, its zero test,
// then the other arrays in the recursion's order). A long path can be
// interrupted between two runs of its steps: this then throws (out is not
// written).
template <class Rec, bool Checked = false>
inline std::optional<std::size_t> one_lane(const typename Rec::Inputs& in, std::size_t path,
                                           double* out) {
  double* outs[Rec::kOutputs];
  for (std::size_t o = 0; o < Rec::kOutputs; ++o) outs[o] = out + o;
  const KernelPace pace;
  if constexpr (KeepsHistory<Rec>) reserve_history(history_size<Rec>(in, 1));
  const std::size_t stop =
      run_group<Rec, ScalarLanes, 1>(PathViewSource<Rec, Checked>(in, path), in, 1, outs);
  pace.check();
  if (stop != Rec::n_steps(in)) return stop;
  return std::nullopt;
}

// Paths [first, first + count) of recursion Rec on `target`, output o into
// outs[o][0 .. count), each with the bits of one_lane(path) as computed by
// `one_lane_of(path, results)` (the caller's out-of-line instance, so that
// every caller runs the very same machine code); or the first zero sigma in
// row-major order of the range (the outputs are then unspecified). Polls for
// an interrupt every so much work, and inside the kernels between two runs of
// a group's steps (throwing Interrupted, or what the poll threw).
template <class Rec, class OneLane>
std::optional<ZeroSigma> recursion_outputs(KernelTarget target, const typename Rec::Inputs& in,
                                           std::size_t first, std::size_t count,
                                           double* const* outs, OneLane&& one_lane_of) {
  constexpr std::size_t O = Rec::kOutputs;
  const RawRecursionKernel<typename Rec::Inputs> raw = kernels_for(target).*RawSlot<Rec>::kSlot;
  if constexpr (KeepsHistory<Rec>) reserve_history(history_doubles<Rec>(in));
  InterruptBudget budget;
  // A group of long paths can be stopped inside the kernel (core/support/interrupt.hpp).
  const KernelPace pace;
  for (std::size_t start = 0; start < count; start += kPassPaths) {
    const std::size_t n = std::min(kPassPaths, count - start);
    raw(in, first + start, n, OutputRows<O>(outs, start).p);
    pace.check();
    for (std::size_t k = start; k < start + n; ++k) {
      bool finite = true;
      for (std::size_t o = 0; o < O; ++o) finite = finite && is_finite_bits(outs[o][k]);
      if (finite) continue;
      double results[O] = {};
      if (const std::optional<std::size_t> zero = one_lane_of(first + k, results))
        return ZeroSigma{first + k, *zero};
      for (std::size_t o = 0; o < O; ++o) outs[o][k] = results[o];
    }
    budget.spend(n * Rec::n_steps(in));
  }
  return std::nullopt;
}

}  // namespace
}  // namespace quorvane::detail
