// The C-order kernel variants that bench_c_order.cpp times, for one target.
// Compiled once per target with its flags, like kernels_avx2.cpp and
// kernels_avx512.cpp (see bench_c_order.cpp for the commands): C_ORDER_LANES
// names the lane traits, C_ORDER_VARIANTS the one function it defines. As in
// those files, everything else has internal linkage and the bodies read only
// data members of the views.
//
// The variants, each for the delta and the gamma recursion with the chains of
// the production table (Widths in target_kernels.inl):
//   production      the table's own raw kernel: the group prefetch 1 group
//                   ahead, into L1 when the group's block fits the L1 data
//                   cache, else into L2 (recursion_raw);
//   prefetch P      StepContiguousSource with one fixed BlockPrefetch;
//   L1 blocks P     BlockTransposeSource: each group's rows copied, a block of
//                   steps at a time, into an L1-resident step-major buffer,
//                   then read one vector a lane chain as in Fortran order.
#include "core/kernels/target_kernels.inl"

#include "c_order_variants.hpp"

#if !defined(C_ORDER_LANES) || !defined(C_ORDER_VARIANTS)
#error "compile with -DC_ORDER_LANES=<lane traits> -DC_ORDER_VARIANTS=<function name>"
#endif

namespace quorvane::detail {
namespace {

using L = C_ORDER_LANES;
using W = Widths<L::kWidth>;

// The bytes of the step-major buffer of a BlockTransposeSource: a third of a
// 48 KiB L1, so that the buffer, the chains' state and the rows being copied
// stay there together.
inline constexpr std::size_t kTransposeBytes = 16384;

// C order through L1: at every kBlockSteps-th step (when chain 0 fetches) the
// group's rows of the next kBlockSteps steps are copied, row by row in address
// order, into buf, step s of lane i of array k at buf[k][s * G + i]; a fetch
// then loads lane chain r of a step as one vector, as a Fortran-order group
// does. The block of the group ahead is prefetched as StepContiguousSource
// does with policy P (at every second step, its own spacing).
template <class Rec, class L, std::size_t R, BlockPrefetch P>
struct BlockTransposeSource : RawSource {
  static constexpr std::size_t kSteps = 1;
  static constexpr std::size_t G = L::kWidth * R;
  static constexpr std::size_t kBlockSteps = kTransposeBytes / (Rec::kArrays * G * sizeof(double));
  static_assert(kBlockSteps >= 2);
  StepContiguousSource<Rec, L, R, P> rows;
  std::size_t n_steps;
  alignas(64) mutable double buf[Rec::kArrays][kBlockSteps * G];

  BlockTransposeSource(const typename Rec::Inputs& in, std::size_t first) noexcept
      : rows(in, first), n_steps(Rec::n_steps(in)) {}
  template <std::size_t N>
  void prefetch(std::size_t r, std::size_t j) const noexcept {
    if (j % 2 == 0) rows.template prefetch<N>(r, j);
  }
  void fill(std::size_t j0) const noexcept {
    const std::size_t steps = n_steps - j0 < kBlockSteps ? n_steps - j0 : kBlockSteps;
    for (std::size_t k = 0; k < Rec::kArrays; ++k) {
      const GroupArray& a = rows.g.a[k];
      for (std::size_t i = 0; i < G; ++i) {
        const std::byte* row = a.base + static_cast<std::ptrdiff_t>(i) * a.row_stride +
                               static_cast<std::ptrdiff_t>(j0 * sizeof(double));
        for (std::size_t s = 0; s < steps; ++s) buf[k][s * G + i] = lane_load(row + s * sizeof(double));
      }
    }
  }
  template <std::size_t K, std::size_t N>
  Operands<L, 1, N> fetch(std::size_t r, std::size_t j) const noexcept {
    const std::size_t s = j % kBlockSteps;
    if (r == 0 && s == 0) fill(j);
    Operands<L, 1, N> f;
#pragma GCC unroll 8
    for (std::size_t k = 0; k < N; ++k)
      f.v[k][0] = L::loadu(reinterpret_cast<const std::byte*>(buf[k] + s * G + r * L::kWidth));
    return f;
  }
};

// Whole groups of Source, the rest as one gathered group (as lane_kernel).
template <class Rec, std::size_t R, class Source>
void c_order_groups(const typename Rec::Inputs& in, std::size_t first, std::size_t count,
                    double* const* outs) noexcept {
  constexpr std::size_t G = L::kWidth * R;
  std::size_t done = 0;
  for (; done + G <= count; done += G)
    run_group<Rec, L, R>(Source(in, first + done), in, G, OutputRows<Rec::kOutputs>(outs, done).p);
  if (done < count)
    lane_group<Rec, L, R, LaneLayout::gather>(in, first + done, count - done,
                                              OutputRows<Rec::kOutputs>(outs, done).p);
}

template <template <class, class, std::size_t, BlockPrefetch> class Source, BlockPrefetch P>
constexpr COrderVariant variant(const char* name) {
  constexpr std::size_t Rd = W::kDelta.step_contiguous, Rg = W::kGamma.step_contiguous;
  return {name, &c_order_groups<DeltaRecursion, Rd, Source<DeltaRecursion, L, Rd, P>>,
          &c_order_groups<GammaRecursion<false>, Rg, Source<GammaRecursion<false>, L, Rg, P>>};
}

template <class Rec, class L, std::size_t R, BlockPrefetch P>
using Direct = StepContiguousSource<Rec, L, R, P>;

constexpr COrderVariant kVariants[] = {
    {"production", &recursion_raw<DeltaRecursion, L, W::kDelta>,
     &recursion_raw<GammaRecursion<false>, L, W::kGamma>},
    variant<Direct, BlockPrefetch{0, false}>("no prefetch"),
    variant<Direct, BlockPrefetch{1, false}>("prefetch 1 L2"),
    variant<Direct, BlockPrefetch{2, false}>("prefetch 2 L2"),
    variant<Direct, BlockPrefetch{1, true}>("prefetch 1 L1"),
    variant<Direct, BlockPrefetch{2, true}>("prefetch 2 L1"),
    variant<BlockTransposeSource, BlockPrefetch{0, false}>("L1 blocks, no prefetch"),
    variant<BlockTransposeSource, BlockPrefetch{1, false}>("L1 blocks, prefetch 1 L2"),
};

}  // namespace
}  // namespace quorvane::detail

COrderVariants C_ORDER_VARIANTS() noexcept {
  return {quorvane::detail::kVariants, sizeof quorvane::detail::kVariants / sizeof quorvane::detail::kVariants[0]};
}
