// The one body of every kernel table, included once by the translation unit of
// each target (kernels_baseline.cpp, kernels_avx2.cpp) and instantiated there
// with that target's lane traits. Everything here has internal linkage, so each
// target's object keeps its own copies and defines, as a symbol others can
// bind, only its kernels_<target>() (see kernels.hpp).
#include "core/kernels/constant_flow_greeks_lanes.hpp"
#include "core/kernels/kernels.hpp"
#include "core/kernels/streams.hpp"
#include "core/kernels/tangent_flow_gamma_lanes.hpp"
#include "core/kernels/tangent_flow_lanes.hpp"

namespace quorvane::detail {

namespace {

// Register-group widths (independent register chains) by vector width, chosen
// by measurement (bench_tangent_flow.cpp and the gamma benchmark shapes).
template <std::size_t kLanes>
struct Widths;

// Two lanes (SSE2). Delta: the divider is the shared resource (about one
// division per cycle and a half whatever the vector width); three chains keep
// it busy behind the latency of the Y chain in C order. With arbitrary strides
// building each vector from scalar loads dominates and two chains do best.
// Gamma (C order, Fortran order, any strides): a step holds two dependency
// chains (Y and Z) of about 20 cycles, so two chains keep the multipliers busy.
template <>
struct Widths<2> {
  static constexpr std::size_t kDeltaSteps = 3, kDeltaGather = 2;
  static constexpr std::size_t kGammaC = 2, kGammaF = 2, kGammaGather = 2;
};

// Four lanes (AVX2). Three chains for C order; with arbitrary strides building
// the vectors lane by lane, not the arithmetic, is the bottleneck and a single
// chain does best (wider groups spill their lane offsets).
template <>
struct Widths<4> {
  static constexpr std::size_t kDeltaSteps = 3, kDeltaGather = 1;
  static constexpr std::size_t kGammaC = 2, kGammaF = 2, kGammaGather = 1;
};

template <class L>
struct Kernels {
  using W = Widths<L::kWidth>;

  static void tangent_flow(const TangentFlowInputs& in, std::size_t first, std::size_t count,
                           double* out) noexcept {
    tangent_flow_raw<L, W::kDeltaSteps, W::kDeltaGather>(in, first, count, out);
  }
  template <bool WithDelta>
  static void gamma(const TangentFlowGammaInputs& in, std::size_t first, std::size_t count,
                    double* gamma_out, double* delta_out) noexcept {
    gamma_raw<L, W::kGammaC, W::kGammaF, W::kGammaGather, WithDelta>(in, first, count, gamma_out,
                                                                     WithDelta ? delta_out : nullptr);
  }
  static void scale(const VectorView& w, double r, double* out) noexcept {
    scale_by_reciprocal<L>(w, r, out);
  }
  static void greek_weights(const VectorView& w_terminals, const ConstantFlowGreekConstants& c,
                            GreekWeight kind, double* out) noexcept {
    cf_greek_weights<L>(w_terminals, c, kind, out);
  }
  static GreekSums greek_sums(PayoffKind kind, double strike, const VectorView& terminal_states,
                              const VectorView& w_terminals,
                              const ConstantFlowGreekConstants& c, const GreekSums& from) noexcept {
    return cf_greek_sums<L>(kind, strike, terminal_states, w_terminals, c, from);
  }

  static constexpr TargetKernels kTable{&tangent_flow, &gamma<false>, &gamma<true>,
                                        &scale,        &greek_weights, &greek_sums};
};

}  // namespace

}  // namespace quorvane::detail
