// The kernels built once per target (internal): the entry points of the
// baseline (SSE2) and AVX2 builds, and the one place that maps a target to its
// build.
//
// Each build lives in a translation unit compiled for its target
// (kernels_baseline.cpp, kernels_avx2.cpp); they share nothing but these
// declarations, so no inline function compiled for AVX2 can be merged by the
// linker into code that runs on a baseline CPU (.ci/check_avx2_symbols.sh
// checks the AVX2 objects for that). An AVX2 entry point may only be called
// after the caller has checked that the CPU supports AVX2: kernel_for does.
#pragma once

#include <cstddef>

#include "core/estimators/tangent_flow.hpp"
#include "core/kernels/target.hpp"

namespace quorvane::detail {

// The tangent-flow recursion of paths [first, first + count) into out[0 ..
// count), every path in its own SIMD lane and *no* zero-sigma test: a zero sigma
// simply flows through the IEEE arithmetic. The driver (tangent_flow.cpp)
// recomputes every path whose raw weight is not finite with the scalar
// recursion; why that is exact is argued there.
using RawTangentFlowKernel = void (*)(const TangentFlowInputs& inputs, std::size_t first,
                                      std::size_t count, double* out) noexcept;
void tangent_flow_raw_baseline(const TangentFlowInputs& inputs, std::size_t first,
                               std::size_t count, double* out) noexcept;
void tangent_flow_raw_avx2(const TangentFlowInputs& inputs, std::size_t first, std::size_t count,
                           double* out) noexcept;

// out[k] = w[k] * r for k < w.length (one rounded multiplication each).
using ScaleKernel = void (*)(const VectorView& w, double r, double* out) noexcept;
void scale_baseline(const VectorView& w, double r, double* out) noexcept;
void scale_avx2(const VectorView& w, double r, double* out) noexcept;

// The build of a kernel for `target`; a target the CPU does not support is an
// internal failure.
template <class Kernel>
Kernel kernel_for(KernelTarget target, Kernel baseline, Kernel avx2) {
  require_kernel_target(target);
  return target == KernelTarget::avx2 ? avx2 : baseline;
}

}  // namespace quorvane::detail
