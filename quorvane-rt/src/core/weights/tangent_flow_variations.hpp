// The last variations of a path beside its BEL weights: Y_N = dX_N/dX_0 and
// Z_N = d2X_N/dX_0^2 after the last Euler step, the pathwise terms of the
// localised estimators (core/estimates/localised_greeks.hpp), from the same
// pass as the delta and gamma weights.
//
// The recursions are the delta and gamma recursions themselves
// (core/recursions): DeltaVariationRecursion outputs the delta weight and Y_N;
// GammaRecursion<true, true> outputs the gamma weight, the delta weight, Y_N
// and Z_N, carrying Z through the second interval as well (it then reads the
// second derivatives at every step). Their weights have the bits of the plain
// weights functions wherever they are finite; the fast kernels go through the
// one driver (core/weights/recursion_weights.hpp), and the exactness argument of
// tangent_flow.cpp and tangent_flow_gamma.cpp holds as it stands: a zero sigma
// still leaves the weight non-finite, and Y and Z never divide, so a finite
// output saw no NaN and has the bits of the one-lane instance.
#pragma once

#include <cstddef>
#include <optional>

#include "core/kernels/target.hpp"
#include "core/recursions/delta_recursion.hpp"
#include "core/recursions/gamma_recursion.hpp"
#include "core/support/outcome.hpp"
#include "core/views/views.hpp"

namespace quorvane {

// The four outputs of one path (gamma weight, delta weight, Y_N, Z_N), or the
// first step whose sigma is zero: the one-lane instance, kept out of line so
// that every caller runs the same machine code.
struct PathVariations {
  double out[4] = {};
  std::optional<std::size_t> zero_sigma_step;
};
PathVariations tangent_flow_variations_path(const TangentFlowGammaInputs& inputs, std::size_t path);

// Paths [first, first + count): gamma weights, delta weights, Y_N and Z_N into
// the four arrays (each count long), every value with the bits of
// tangent_flow_variations_path; or the first zero sigma in row-major order of
// the range. Reads only immutable data, so disjoint ranges may run concurrently.
std::optional<ZeroSigma> tangent_flow_variations_with(KernelTarget target,
                                                      const TangentFlowGammaInputs& inputs,
                                                      std::size_t first, std::size_t count,
                                                      double* gamma_out, double* delta_out,
                                                      double* y_out, double* z_out);

// Delta weights and Y_N only (the delta recursion's steps), likewise.
std::optional<ZeroSigma> tangent_flow_delta_variation_with(KernelTarget target,
                                                           const TangentFlowInputs& inputs,
                                                           std::size_t first, std::size_t count,
                                                           double* delta_out, double* y_out);

}  // namespace quorvane
