// The kernels built once per target (internal): the table of entry points of
// the baseline (SSE2) and AVX2 builds, and the one place that maps a target to
// its build.
//
// Each build lives in a translation unit compiled for its target
// (kernels_baseline.cpp, kernels_avx2.cpp), which instantiates the one body of
// every kernel (target_kernels.inl) with its lane traits. They share nothing but
// these declarations: the functions in a table have internal linkage, so no
// inline function compiled for AVX2 can be merged by the linker into code that
// runs on a baseline CPU (.ci/check_avx2_symbols.sh checks the AVX2 objects for
// that). The AVX2 table may only be used after the caller has checked that the
// CPU supports AVX2: kernels_for does.
#pragma once

#include <cstddef>

#include "core/estimators/constant_flow_greeks.hpp"
#include "core/estimators/payoff.hpp"
#include "core/estimators/tangent_flow.hpp"
#include "core/estimators/tangent_flow_gamma.hpp"
#include "core/kernels/target.hpp"

namespace quorvane::detail {

// The tangent-flow recursion of paths [first, first + count) into out[0 ..
// count), every path in its own SIMD lane and *no* zero-sigma test: a zero sigma
// simply flows through the IEEE arithmetic. The driver (tangent_flow.cpp)
// recomputes every path whose raw weight is not finite with the scalar
// recursion; why that is exact is argued there. A group of more than
// kKernelPaceSteps steps calls kernel_pace between two runs of steps and, when
// that says stop, returns early with its results unspecified (the driver's
// KernelPace then throws; core/support/interrupt.hpp). So does the gamma kernel.
using RawTangentFlowKernel = void (*)(const TangentFlowInputs& inputs, std::size_t first,
                                      std::size_t count, double* out) noexcept;

// The same for the gamma weights into gamma_out and, for the delta-and-gamma
// kernel, the delta weights into delta_out (not written by the gamma-only one).
// The driver (tangent_flow_gamma.cpp) recomputes every non-finite result with
// the one-lane recursion.
using RawGammaKernel = void (*)(const TangentFlowGammaInputs& inputs, std::size_t first,
                                std::size_t count, double* gamma_out, double* delta_out) noexcept;

// out[k] = w[k] * r for k < w.length (one rounded multiplication each).
using ScaleKernel = void (*)(const VectorView& w, double r, double* out) noexcept;

// Over the view, out[k] = (u_k * r) * r (gamma) or u_k * h (vega).
using GreekWeightsKernel = void (*)(const VectorView& w_terminals,
                                    const ConstantFlowGreekConstants& c, GreekWeight kind,
                                    double* out) noexcept;

// The four sample sums of the fused constant-flow Greeks loop, paths in index
// order, continuing the sums `from` (so a long view can be summed in pieces with
// the bits of one pass).
using GreekSumsKernel = GreekSums (*)(PayoffKind kind, double strike,
                                      const VectorView& terminal_states,
                                      const VectorView& w_terminals,
                                      const ConstantFlowGreekConstants& c,
                                      const GreekSums& from) noexcept;

struct TargetKernels {
  RawTangentFlowKernel tangent_flow_raw;
  RawGammaKernel gamma_raw;
  RawGammaKernel delta_gamma_raw;
  ScaleKernel scale;
  GreekWeightsKernel greek_weights;
  GreekSumsKernel greek_sums;
};

const TargetKernels& kernels_baseline() noexcept;
const TargetKernels& kernels_avx2() noexcept;

// The build for `target`; a target the CPU does not support is an internal failure.
inline const TargetKernels& kernels_for(KernelTarget target) {
  require_kernel_target(target);
  return target == KernelTarget::avx2 ? kernels_avx2() : kernels_baseline();
}

}  // namespace quorvane::detail
