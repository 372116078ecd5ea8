// Internal interface between the tangent-flow driver and its per-target kernels.
//
// A raw kernel computes the recursion of paths [first, first + count) with every
// path in its own SIMD lane and *no* zero-sigma test: a zero sigma simply flows
// through the IEEE arithmetic. The driver (tangent_flow.cpp) then recomputes every
// path whose raw weight is not finite with the scalar recursion, which reports the
// zero sigma or returns that path's bits. Why that is exact is argued there.
//
// Each raw kernel lives in a translation unit compiled for its target; they share
// nothing but this declaration, so no inline function compiled for AVX2 can be
// merged by the linker into code that runs on a baseline CPU.
#pragma once

#include <cstddef>

#include "core/estimators/tangent_flow.hpp"

namespace quorvane::detail {

using RawTangentFlowKernel = void (*)(const TangentFlowInputs& inputs, std::size_t first,
                                      std::size_t count, double* out) noexcept;

void tangent_flow_raw_baseline(const TangentFlowInputs& inputs, std::size_t first,
                               std::size_t count, double* out) noexcept;
void tangent_flow_raw_avx2(const TangentFlowInputs& inputs, std::size_t first, std::size_t count,
                           double* out) noexcept;

}  // namespace quorvane::detail
