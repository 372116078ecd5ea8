// The one body of every kernel table, included once by the translation unit of
// each target (kernels_baseline.cpp, kernels_avx2.cpp, kernels_avx512.cpp,
// kernels_neon.cpp) and
// instantiated there with that target's lane traits. Everything here has
// internal linkage, so each target's object keeps its own copies and defines,
// as a symbol others can bind, only its kernels_<target>() (see kernels.hpp).
#include "core/kernels/average_flow.hpp"
#include "core/kernels/kernels.hpp"
#include "core/kernels/recursion_groups.hpp"
#include "core/kernels/streams.hpp"

namespace quorvane::detail {

namespace {

// Register chains and Fortran blocks by vector width and recursion, chosen by
// measurement (bench_tangent_flow.cpp and the gamma benchmark shapes):
// {C order, Fortran-order rest, any strides, Fortran block}.
template <std::size_t kLanes>
struct Widths;

// One lane: the scalar build (the baseline on arm64). Independent paths in
// separate chains hide the latency of each path's own operations, as the
// vector chains do.
template <>
struct Widths<1> {
  static constexpr Chains kDelta{4, 4, 2, 2048};
  static constexpr Chains kGamma{2, 2, 2, 256};
  static constexpr Chains kAverage{2, 2, 2, kHistoryBlockLanes};
  static constexpr std::size_t kAverageFlowChains = 4;
};

// Two lanes (SSE2, NEON). Delta: the divider is the shared resource (about one
// division per cycle and a half whatever the vector width); three chains keep
// it busy behind the latency of the Y chain in C order. With arbitrary strides
// building each vector from scalar loads dominates and two chains do best.
// Gamma: a step holds two dependency chains (Y and Z) of about 20 cycles, so
// two chains keep the multipliers busy; its larger state takes blocks of 512
// paths in Fortran order (24 KiB of state, in L1), which read at 83-88% of the
// read bound at 65,536 and 60,000 x 256 against 74-78% for blocks of 256.
template <>
struct Widths<2> {
  static constexpr Chains kDelta{3, 3, 2, 2048};
  static constexpr Chains kGamma{2, 2, 2, 512};
  // The average's forward pass stores a history per lane, so its groups stay
  // within kHistoryGroupLanes and its Fortran blocks within kHistoryBlockLanes.
  static constexpr Chains kAverage{2, 2, 2, kHistoryBlockLanes};
  // The constant-flow average: a date adds three products to three sums per
  // path, a chain of additions 4 cycles long against 3 cycles of arithmetic
  // per vector on two ports; two vectors of paths keep both ports busy.
  static constexpr std::size_t kAverageFlowChains = 2;
};

// Four lanes (AVX2). Three chains for the delta in C order; with arbitrary
// strides building the vectors lane by lane, not the arithmetic, is the
// bottleneck and a single chain does best (wider groups spill their lane
// offsets). The gamma's Fortran blocks are 512 paths: 4 KiB runs of each
// array a step, with 24 KiB of state that stays in L1. Measured at 65,536 and
// 60,000 paths x 256 steps (bench_average.cpp), blocks of 512 read at about
// 84% of the read bound at both sizes, blocks of 128 and 256 at 64-76% and
// blocks of 1,024 (48 KiB of state) at about 72%; so the loss at 256 was the
// short runs, not the power-of-two column stride. AVX-512 keeps 256 (512
// measured no faster there).
template <>
struct Widths<4> {
  static constexpr Chains kDelta{3, 3, 1, 2048};
  static constexpr Chains kGamma{2, 2, 1, 512};
  static constexpr Chains kAverage{2, 2, 1, kHistoryBlockLanes};
  static constexpr std::size_t kAverageFlowChains = 2;
};

// Eight lanes (AVX-512). A 512-bit division costs the divider about twice a
// 256-bit one, so the divider bounds the delta in cache at the same paths per
// cycle as with AVX2: on an Intel Xeon at 1,000 x 64 in C order, one, two and
// three chains of eight measured within the noise of each other and of AVX2's
// three chains of four. Two chains make a group of 16 paths, which divides
// kPassPaths. One chain with arbitrary strides, as for AVX2. The average's
// groups hold at most kHistoryGroupLanes lanes: one chain.
template <>
struct Widths<8> {
  static constexpr Chains kDelta{2, 2, 1, 2048};
  static constexpr Chains kGamma{2, 2, 1, 256};
  static constexpr Chains kAverage{1, 1, 1, kHistoryBlockLanes};
  static constexpr std::size_t kAverageFlowChains = 2;
};

template <class L>
struct Kernels {
  using W = Widths<L::kWidth>;

  static constexpr TargetKernels kTable{&recursion_raw<DeltaRecursion, L, W::kDelta>,
                                        &recursion_raw<GammaRecursion<false>, L, W::kGamma>,
                                        &recursion_raw<GammaRecursion<true>, L, W::kGamma>,
                                        &recursion_raw<DeltaVariationRecursion, L, W::kDelta>,
                                        &recursion_raw<GammaRecursion<true, true>, L, W::kGamma>,
                                        &recursion_raw<AverageRecursion, L, W::kAverage>,
                                        &scale_by_reciprocal<L>,
                                        &constant_flow_greek_weights<L>,
                                        &constant_flow_greek_sums<L>,
                                        &average_flow<L, W::kAverageFlowChains>};
};

}  // namespace

}  // namespace quorvane::detail
