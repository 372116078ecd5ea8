// The kernels built once per target (internal): the table of entry points of
// the baseline (SSE2), AVX2 and AVX-512 builds, and the one place that maps a
// target to its build.
//
// Each build lives in a translation unit compiled for its target
// (kernels_baseline.cpp, kernels_avx2.cpp, kernels_avx512.cpp), which
// instantiates the one body of every kernel (target_kernels.inl) with its lane
// traits. They share nothing but these declarations: the functions in a table
// have internal linkage, so no inline function compiled for AVX2 or AVX-512 can
// be merged by the linker into code that runs on a baseline CPU
// (.ci/check_avx2_symbols.sh checks the AVX2 and AVX-512 objects for that). A
// wider table may only be used after the caller has checked that the CPU
// supports its target: kernels_for does.
#pragma once

#include <cstddef>

#include "core/kernels/target.hpp"
#include "core/payoffs/payoffs.hpp"
#include "core/recursions/average_recursion.hpp"
#include "core/recursions/constant_flow_formulas.hpp"
#include "core/recursions/delta_recursion.hpp"
#include "core/recursions/gamma_recursion.hpp"
#include "core/statistics/statistics.hpp"
#include "core/views/views.hpp"

namespace quorvane::detail {

// Paths per pass of the raw recursion kernels and of the fused estimators'
// groups: a multiple of every target's group widths and of the Fortran-order
// blocks, so that only the end of a range runs as a short gathered group, and
// small enough that a pass's outputs are still in cache when they are scanned.
inline constexpr std::size_t kPassPaths = 4096;

// The least run of paths worth a kernel call: the smallest Fortran-order block;
// the parallel drivers hand the kernels whole multiples of it.
inline constexpr std::size_t kPathQuantum = 256;

// A recursion of paths [first, first + count) into outs[o][0 .. count), output
// by output, every path in its own SIMD lane and *no* zero-sigma test: a zero
// sigma simply flows through the IEEE arithmetic. The one driver
// (core/weights/recursion_weights.hpp) recomputes every path with a result that
// is not finite with the one-lane recursion; why that is exact is argued there.
template <class Inputs>
using RawRecursionKernel = void (*)(const Inputs& inputs, std::size_t first, std::size_t count,
                                    double* const* outs) noexcept;

// out[k] = w[k] * r for k < w.length (one rounded multiplication each).
using ScaleKernel = void (*)(const VectorView& w, double r, double* out) noexcept;

// Over the view, out[k] = (u_k * r) * r (gamma) or u_k * h (vega).
using GreekWeightsKernel = void (*)(const VectorView& w_terminals,
                                    const ConstantFlowGreekConstants& c, GreekWeight kind,
                                    double* out) noexcept;

// The sums of the fused constant-flow Greeks loop (lanes payoff, delta, gamma,
// vega), paths in index order, continuing the sums `from` (so a long view can
// be summed in pieces with the bits of one pass).
using GreekSumsKernel = LaneSums<4> (*)(PayoffKind kind, double strike,
                                        const VectorView& terminal_states,
                                        const VectorView& w_terminals,
                                        const ConstantFlowGreekConstants& c,
                                        const LaneSums<4>& from) noexcept;

// The constant-flow average weight's data (core/weights/average.hpp,
// AverageConstantFlow) as plain fields: the monitored values of n_paths x
// n_dates at byte strides, W_T, the dates t_k and the average's weights a_k.
struct AverageFlowKernelInputs {
  const std::byte* states;
  std::size_t n_paths, n_dates;
  std::ptrdiff_t row_stride, col_stride;  // bytes
  const std::byte* w_terminals;
  std::ptrdiff_t w_stride;
  const std::byte* times;
  std::ptrdiff_t times_stride;
  const std::byte* weights;
  std::ptrdiff_t weights_stride;
  double slope, sigma0;
};

// Paths [first, first + count): the GBM average weights into weights[0 ..
// count) (when not null) and the averages A = sum_k a_k S_k into
// averages[0 .. count) (when not null), each path with the bits of
// AverageConstantFlow::weight and of PathFunctional::weighted_average.
using AverageFlowKernel = void (*)(const AverageFlowKernelInputs& inputs, std::size_t first,
                                   std::size_t count, double* weights, double* averages) noexcept;

// One slot per recursion (its raw kernel) and per one-dimensional loop. A new
// recursion is a slot here, a RawSlot below and a table entry in
// target_kernels.inl; a new target is a lane-traits struct and one table.
struct TargetKernels {
  RawRecursionKernel<TangentFlowInputs> delta_raw;             // DeltaRecursion
  RawRecursionKernel<TangentFlowGammaInputs> gamma_raw;        // GammaRecursion<false>
  RawRecursionKernel<TangentFlowGammaInputs> delta_gamma_raw;  // GammaRecursion<true>
  RawRecursionKernel<TangentFlowInputs> delta_variation_raw;   // DeltaVariationRecursion
  RawRecursionKernel<TangentFlowGammaInputs> variations_raw;   // GammaRecursion<true, true>
  RawRecursionKernel<AverageInputs> average_raw;               // AverageRecursion
  ScaleKernel scale;
  GreekWeightsKernel greek_weights;
  GreekSumsKernel greek_sums;
  AverageFlowKernel average_flow;
};

const TargetKernels& kernels_baseline() noexcept;
const TargetKernels& kernels_avx2() noexcept;
const TargetKernels& kernels_avx512() noexcept;
const TargetKernels& kernels_neon() noexcept;

// The build for `target`; a target the CPU does not support is an internal failure.
// Only builds with the AVX2 and AVX-512 objects (x86-64, not QUORVANE_PORTABLE;
// CMake defines QUORVANE_AVX2_TARGET and QUORVANE_AVX512_TARGET) can name
// kernels_avx2 and kernels_avx512, and only arm64 builds with the NEON objects
// (QUORVANE_NEON_TARGET) kernels_neon; elsewhere those targets are never
// supported, so require_kernel_target stops first.
inline const TargetKernels& kernels_for(KernelTarget target) {
  require_kernel_target(target);
#if defined(QUORVANE_AVX2_TARGET)
  if (target == KernelTarget::avx2) return kernels_avx2();
#endif
#if defined(QUORVANE_AVX512_TARGET)
  if (target == KernelTarget::avx512) return kernels_avx512();
#endif
#if defined(QUORVANE_NEON_TARGET)
  if (target == KernelTarget::neon) return kernels_neon();
#endif
  return kernels_baseline();
}

namespace {

// The table slot of each recursion's raw kernel.
template <class Rec>
struct RawSlot;
template <>
struct RawSlot<DeltaRecursion> {
  static constexpr auto kSlot = &TargetKernels::delta_raw;
};
template <>
struct RawSlot<GammaRecursion<false>> {
  static constexpr auto kSlot = &TargetKernels::gamma_raw;
};
template <>
struct RawSlot<GammaRecursion<true>> {
  static constexpr auto kSlot = &TargetKernels::delta_gamma_raw;
};
template <>
struct RawSlot<DeltaVariationRecursion> {
  static constexpr auto kSlot = &TargetKernels::delta_variation_raw;
};
template <>
struct RawSlot<GammaRecursion<true, true>> {
  static constexpr auto kSlot = &TargetKernels::variations_raw;
};

template <>
struct RawSlot<AverageRecursion> {
  static constexpr auto kSlot = &TargetKernels::average_raw;
};

}  // namespace

}  // namespace quorvane::detail
