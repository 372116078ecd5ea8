#include "core/weights/tangent_flow_variations.hpp"

#include "core/weights/recursion_weights.hpp"

namespace quorvane {

namespace {

struct PathDeltaVariation {
  double out[2] = {};
  std::optional<std::size_t> zero_sigma_step;
};

[[gnu::noinline]] PathDeltaVariation delta_variation_path(const TangentFlowInputs& in,
                                                          std::size_t path) {
  PathDeltaVariation p;
  p.zero_sigma_step = detail::one_lane<detail::DeltaVariationRecursion>(in, path, p.out);
  return p;
}

}  // namespace

[[gnu::noinline]] PathVariations tangent_flow_variations_path(const TangentFlowGammaInputs& in,
                                                              std::size_t path) {
  PathVariations p;
  p.zero_sigma_step = detail::one_lane<detail::GammaRecursion<true, true>>(in, path, p.out);
  return p;
}

// An infinite horizon makes every weight non-finite, so every path is
// recomputed by the one-lane recursion: slow, but with its bits.
std::optional<ZeroSigma> tangent_flow_variations_with(KernelTarget target,
                                                      const TangentFlowGammaInputs& in,
                                                      std::size_t first, std::size_t count,
                                                      double* gamma_out, double* delta_out,
                                                      double* y_out, double* z_out) {
  double* const outs[] = {gamma_out, delta_out, y_out, z_out};
  return detail::recursion_outputs<detail::GammaRecursion<true, true>>(
      target, in, first, count, outs, [&](std::size_t path, double* results) {
        const PathVariations p = tangent_flow_variations_path(in, path);
        for (std::size_t o = 0; o < 4; ++o) results[o] = p.out[o];
        return p.zero_sigma_step;
      });
}

std::optional<ZeroSigma> tangent_flow_delta_variation_with(KernelTarget target,
                                                           const TangentFlowInputs& in,
                                                           std::size_t first, std::size_t count,
                                                           double* delta_out, double* y_out) {
  double* const outs[] = {delta_out, y_out};
  return detail::recursion_outputs<detail::DeltaVariationRecursion>(
      target, in, first, count, outs, [&](std::size_t path, double* results) {
        const PathDeltaVariation p = delta_variation_path(in, path);
        results[0] = p.out[0];
        results[1] = p.out[1];
        return p.zero_sigma_step;
      });
}

}  // namespace quorvane
