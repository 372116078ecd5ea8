// Internal interface between the tangent-flow gamma driver and its per-target
// kernels.
//
// A raw kernel runs the recursion of paths [first, first + count) with every
// path in its own SIMD lane and *no* zero-sigma test, writing the gamma weights
// to gamma_out and, for the delta-and-gamma kernels, the delta weights to
// delta_out. The driver (tangent_flow_gamma.cpp) recomputes every non-finite
// result with the one-lane recursion; why that is exact is argued there.
//
// Each raw kernel lives in a translation unit compiled for its target; they share
// nothing but this declaration.
#pragma once

#include <cstddef>

#include "core/estimators/tangent_flow_gamma.hpp"

namespace quorvane::detail {

using RawGammaKernel = void (*)(const TangentFlowGammaInputs& inputs, std::size_t first,
                                std::size_t count, double* gamma_out, double* delta_out) noexcept;

// delta_out is not written by the gamma-only kernels.
void tangent_flow_gamma_raw_baseline(const TangentFlowGammaInputs& inputs, std::size_t first,
                                     std::size_t count, double* gamma_out,
                                     double* delta_out) noexcept;
void tangent_flow_gamma_raw_avx2(const TangentFlowGammaInputs& inputs, std::size_t first,
                                 std::size_t count, double* gamma_out, double* delta_out) noexcept;
void tangent_flow_delta_gamma_raw_baseline(const TangentFlowGammaInputs& inputs,
                                           std::size_t first, std::size_t count,
                                           double* gamma_out, double* delta_out) noexcept;
void tangent_flow_delta_gamma_raw_avx2(const TangentFlowGammaInputs& inputs, std::size_t first,
                                       std::size_t count, double* gamma_out,
                                       double* delta_out) noexcept;

}  // namespace quorvane::detail
