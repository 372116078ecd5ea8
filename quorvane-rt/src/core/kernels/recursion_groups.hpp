// The one group and source machinery of every per-path recursion
// (core/recursions): a recursion is run for a group of paths, one path per
// lane, R register chains of kWidth lanes each, or for one path as the scalar
// one-lane instance (ScalarLanes, R = 1), over whatever layout its arrays have.
//
// A single path is a serial dependency chain (a division and a state update of
// ~20 cycles of latency a step), so the R chains exist to keep the divider and
// the multipliers busy with independent work while each one waits. Every lane
// performs exactly its own path's operation sequence (the recursion's step, in
// its order), so every lane has the bits of the one-lane instance.
//
// Where the operands come from is a group's one policy, a *source*:
//   fetch<K, N>(r, j)  the first N arrays' operands of chain r for steps
//                      j .. j + K - 1, read by get<A>(q) for array A and step
//                      j + q (a lazy source loads, and may check bounds, at
//                      each call);
//   stops(s)           whether this sigma ends the chain (the zero test of the
//                      one-lane instance; the raw sources never stop);
//   prefetch<N>(r, j)  called before each fetch of the main loop, so that a
//                      source can spread software prefetches evenly over a
//                      group's work;
//   kNoexcept          whether no access can throw (the body is then noexcept,
//                      and a noexcept caller needs no unwinding tables for it).
//
// A recursion may also keep a per-step history (kHistory doubles per lane and
// step, see core/recursions/recursion.hpp): run_group then hands each chain its
// entries in the calling thread's reserved scratch (core/support/scratch.hpp),
// step j of chain r at history + (j * R + r) * kHistory * kWidth, and the
// recursion's finish may walk them back (a backward pass). The drivers reserve
// history_doubles before they run a kernel.
//
// The steps of every recursion are walked in one place, run_phases: its phases
// in order, each in runs of kKernelPaceSteps steps with a kernel_pace call
// between two runs (core/support/interrupt.hpp), each run a loop over steps and
// chains.
//
// Everything here has internal linkage (anonymous namespace) and reads only the
// data members of the views, so each including translation unit gets its own
// copy compiled for its own target (core/lanes/lanes.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "core/lanes/lanes.hpp"
#include "core/recursions/recursion.hpp"
#include "core/support/interrupt.hpp"
#include "core/support/scratch.hpp"
#include "core/views/views.hpp"

namespace quorvane::detail {
namespace {

// A recursion that stores a per-step history for a backward pass in finish.
template <class Rec>
concept KeepsHistory = requires { Rec::kHistory; };

// The lanes of a history recursion's groups: its register groups have at most
// kHistoryGroupLanes, its Fortran-order blocks kHistoryBlockLanes, and the
// blocks run only while their history stays within kHistoryBlockBytes per
// thread (longer paths run in register groups), so that the history of a
// group stays in the caches. Measured on the average weights, 200,000 x 52 in
// Fortran order: blocks of 8 lanes took 2.6 times as long as blocks of 64,
// which did as well as 256.
inline constexpr std::size_t kHistoryGroupLanes = 8;
inline constexpr std::size_t kHistoryBlockLanes = 64;
inline constexpr std::size_t kHistoryBlockBytes = std::size_t{4} << 20;

// Whether a history recursion's Fortran-order paths run in blocks (written as
// a division, so that no product of n_steps can wrap).
template <class Rec>
bool history_blocks(const typename Rec::Inputs& in) noexcept {
  return Rec::n_steps(in) <= kHistoryBlockBytes / (Rec::kHistory * kHistoryBlockLanes * sizeof(double));
}

// kHistory * n_steps * lanes doubles, or SIZE_MAX when that does not fit a
// size_t (which no allocation grants).
template <class Rec>
std::size_t history_size(const typename Rec::Inputs& in, std::size_t lanes) noexcept {
  const std::size_t per_step = Rec::kHistory * lanes;
  const std::size_t n_steps = Rec::n_steps(in);
  return n_steps > static_cast<std::size_t>(-1) / per_step ? static_cast<std::size_t>(-1) : n_steps * per_step;
}

// The scratch doubles a history recursion's raw kernels need on this thread
// (the one-lane instance needs history_size(in, 1)).
template <class Rec>
std::size_t history_doubles(const typename Rec::Inputs& in) noexcept {
  return history_size<Rec>(in, history_blocks<Rec>(in) ? kHistoryBlockLanes : kHistoryGroupLanes);
}

// Steps [begin, end) of phase P for R chains. Returns end, or the step at which
// the source stopped a chain (the first such step of the lowest chain; the
// state is then partial).
template <std::size_t P, class Rec, class L, std::size_t R, class Source>
inline std::size_t run_phase(const Source& src, std::size_t begin, std::size_t end,
                             const typename Rec::template Constants<L>& c,
                             typename Rec::template State<L> (&st)[R]) noexcept(Source::kNoexcept) {
  constexpr std::size_t N = Rec::kPhaseArrays[P];
  // One step of chain r from operands f at q: sigma first, then its zero test,
  // then the other arrays in their order; false when the source stops it.
  const auto advance = [&](const auto& f, std::size_t r, std::size_t q) noexcept(Source::kNoexcept) {
    typename L::V v[N];
    v[0] = f.template get<0>(q);
    if (src.stops(v[0])) return false;
    [&]<std::size_t... A>(std::index_sequence<A...>) {
      ((v[A + 1] = f.template get<A + 1>(q)), ...);
    }(std::make_index_sequence<N - 1>{});
    Rec::template step<P, L>(st[r], v, c);
    return true;
  };
  constexpr std::size_t K = Source::kSteps;
  std::size_t j = begin;
  for (; j + K <= end; j += K) {
#pragma GCC unroll 16
    for (std::size_t r = 0; r < R; ++r) {
      src.template prefetch<N>(r, j);
      const auto f = src.template fetch<K, N>(r, j);
      for (std::size_t q = 0; q < K; ++q)
        if (!advance(f, r, q)) return j + q;
    }
  }
  if constexpr (K > 1) {
    // A lone last step of the phase, one step at a time.
    for (; j < end; ++j) {
#pragma GCC unroll 16
      for (std::size_t r = 0; r < R; ++r)
        if (!advance(src.template fetch<1, N>(r, j), r, 0)) return j;
    }
  }
  return end;
}

// What run_group returns when kernel_pace stopped it (never a step index).
inline constexpr std::size_t kPacedOut = static_cast<std::size_t>(-1);

// Phases P, P + 1, ... from step `begin`; returns n_steps, the stop step, or
// kPacedOut. Each phase runs in runs of kKernelPaceSteps steps (the last may be
// shorter) with kernel_pace(lanes * kKernelPaceSteps) between two runs. Every
// run but a phase's last is kKernelPaceSteps (even) long and starts at the
// phase's first step plus a multiple of it, so a source that takes its steps
// two at a time pairs them exactly as in one run; each lane's operations are
// the same in any case.
template <std::size_t P, class Rec, class L, std::size_t R, class Source>
inline std::size_t run_phases(const Source& src, const typename Rec::Inputs& in, std::size_t begin,
                              const typename Rec::template Constants<L>& c,
                              typename Rec::template State<L> (&st)[R]) noexcept(Source::kNoexcept) {
  const std::size_t end = Rec::phase_end(in, P);
  for (std::size_t j0 = begin;;) {
    const std::size_t j1 = end - j0 > kKernelPaceSteps ? j0 + kKernelPaceSteps : end;
    const std::size_t stop = run_phase<P, Rec, L, R>(src, j0, j1, c, st);
    if (stop != j1) return stop;
    if (j1 == end) break;
    j0 = j1;
    if (kernel_pace(L::kWidth * R * kKernelPaceSteps)) return kPacedOut;
  }
  if constexpr (P + 1 < Rec::kPhases) {
    return run_phases<P + 1, Rec, L, R>(src, in, end, c, st);
  }
  return end;
}

// One group: R chains from the recursion's start over every step, then the
// outputs of its first `lanes` lanes, output o into outs[o][0 .. lanes).
// Returns n_steps, or the step at which the source stopped, or kPacedOut when
// kernel_pace stopped the group (outs are then not written).
template <class Rec, class L, std::size_t R, class Source>
inline std::size_t run_group(const Source& src, const typename Rec::Inputs& in, std::size_t lanes,
                             double* const* outs) noexcept(Source::kNoexcept) {
  using V = typename L::V;
  constexpr std::size_t W = L::kWidth;
  constexpr std::size_t G = W * R;
  constexpr std::size_t O = Rec::kOutputs;
  const typename Rec::template Constants<L> c(in);
  typename Rec::template State<L> st[R];
  if constexpr (KeepsHistory<Rec>) {
    static_assert(G <= kHistoryBlockLanes, "a history recursion's groups fit the reserved scratch");
    double* const history = reserved_history();
    for (std::size_t r = 0; r < R; ++r)
      Rec::start(st[r], history + r * Rec::kHistory * W, R * Rec::kHistory * W);
  } else {
    for (std::size_t r = 0; r < R; ++r) Rec::start(st[r]);
  }
  const std::size_t n_steps = Rec::n_steps(in);
  const std::size_t stop = run_phases<0, Rec, L, R>(src, in, 0, c, st);
  if (stop != n_steps) return stop;
  V out[O];
  if (lanes == G) {
    for (std::size_t r = 0; r < R; ++r) {
      Rec::finish(st[r], c, out);
      for (std::size_t o = 0; o < O; ++o) L::storeu(outs[o] + r * W, out[o]);
    }
  } else {
    double tmp[O][G];
    for (std::size_t r = 0; r < R; ++r) {
      Rec::finish(st[r], c, out);
      for (std::size_t o = 0; o < O; ++o) L::storeu(tmp[o] + r * W, out[o]);
    }
    for (std::size_t o = 0; o < O; ++o) std::memcpy(outs[o], tmp[o], lanes * sizeof(double));
  }
  return stop;
}

// ---------------------------------------------------------------------------
// Sources.

// The one-lane instance's source: path `path` through the views, one step at a
// time, loading each operand when it is asked for. `Checked` bounds-checks
// every access (an element outside its view is an internal failure), so the
// first missing element in row-major order is the one reported.
template <class Rec, bool Checked>
struct PathViewSource {
  static constexpr std::size_t kSteps = 1;
  static constexpr bool kNoexcept = !Checked;
  ViewList<Rec::kArrays> arrays;
  std::size_t path;

  PathViewSource(const typename Rec::Inputs& in, std::size_t p) noexcept
      : arrays(Rec::arrays(in)), path(p) {}

  struct Step {
    const PathViewSource& src;
    std::size_t j;
    template <std::size_t A>
    double get(std::size_t) const noexcept(!Checked) {
      const MatrixView& m = src.arrays.m[A];
      if constexpr (Checked) {
        return m.at(src.path, j);
      } else {
        return m(src.path, j);
      }
    }
  };
  template <std::size_t K, std::size_t N>
  Step fetch(std::size_t, std::size_t j) const noexcept {
    return Step{*this, j};
  }
  // Compares equal for +0.0 and -0.0, never for NaN.
  static bool stops(double s) noexcept { return s == 0.0; }
  template <std::size_t N>
  static void prefetch(std::size_t, std::size_t) noexcept {}
};

// One array as seen by a group: the address of the group's first path at step 0
// and the byte strides.
struct GroupArray {
  const std::byte* base;
  std::ptrdiff_t row_stride;
  std::ptrdiff_t col_stride;

  GroupArray() = default;
  GroupArray(const MatrixView& m, std::size_t first_path) noexcept
      : base(m.data + static_cast<std::ptrdiff_t>(first_path) * m.row_stride),
        row_stride(m.row_stride),
        col_stride(m.col_stride) {}
  const std::byte* step(std::size_t j) const noexcept {
    return base + static_cast<std::ptrdiff_t>(j) * col_stride;
  }
};

// The read arrays of a group, in the recursion's order.
template <class Rec>
struct GroupArrays {
  GroupArray a[Rec::kArrays];
  GroupArrays(const typename Rec::Inputs& in, std::size_t first) noexcept {
    const ViewList<Rec::kArrays> views = Rec::arrays(in);
    for (std::size_t k = 0; k < Rec::kArrays; ++k) a[k] = GroupArray(views.m[k], first);
  }
};

// The operands a raw source hands over: K steps of N arrays.
template <class L, std::size_t K, std::size_t N>
struct Operands {
  typename L::V v[N][K];
  template <std::size_t A>
  typename L::V get(std::size_t q) const noexcept {
    return v[A][q];
  }
};

// The raw sources never stop a chain: a zero sigma flows through the IEEE
// arithmetic, and the driver finds it afterwards (core/weights/recursion_weights.hpp).
struct RawSource {
  static constexpr bool kNoexcept = true;
  template <class V>
  static constexpr bool stops(const V&) noexcept {
    return false;
  }
};

// row_stride == 8 for every array (Fortran order, or a column slice of it):
// consecutive paths are adjacent at a given step, so a lane vector is one load.
// Each step of a group reads one run of every array, a new one for every step;
// the runs of the next step are prefetched into L2 while this step runs, one
// cache line of each array the phase reads per line's worth of lanes, so that
// the hardware prefetchers find each new run already started.
template <class Rec, class L>
struct PathContiguousSource : RawSource {
  static constexpr std::size_t kSteps = 1;
  static constexpr std::size_t kStepsAhead = 1;
  GroupArrays<Rec> g;
  std::size_t n_steps;
  PathContiguousSource(const typename Rec::Inputs& in, std::size_t first) noexcept
      : g(in, first), n_steps(Rec::n_steps(in)) {}
  template <std::size_t N>
  void prefetch(std::size_t r, std::size_t j) const noexcept {
    constexpr std::size_t kLaneBytes = L::kWidth * sizeof(double);
    if ((r * kLaneBytes) % kCacheLineBytes != 0 || j + kStepsAhead >= n_steps) return;
    const std::size_t o = r * kLaneBytes;
#pragma GCC unroll 8
    for (std::size_t k = 0; k < N; ++k)
      prefetch_l2(reinterpret_cast<std::uintptr_t>(g.a[k].step(j + kStepsAhead)) + o);
  }
  template <std::size_t K, std::size_t N>
  Operands<L, 1, N> fetch(std::size_t r, std::size_t j) const noexcept {
    const std::ptrdiff_t o = static_cast<std::ptrdiff_t>(r * L::kWidth * sizeof(double));
    Operands<L, 1, N> f;
#pragma GCC unroll 8
    for (std::size_t k = 0; k < N; ++k) f.v[k][0] = L::loadu(g.a[k].step(j) + o);
    return f;
  }
};

// Where a C-order group prefetches: the block of the group `groups_ahead`
// groups on (none when 0), into L2 or, with into_l1, into L1 as well.
struct BlockPrefetch {
  std::size_t groups_ahead;
  bool into_l1;
};
inline constexpr BlockPrefetch kBlockPrefetch{1, false};
inline constexpr BlockPrefetch kBlockPrefetchL1{1, true};

// col_stride == 8 for every array (C order): each path's steps are adjacent,
// so two steps of every lane are loaded at once and transposed in registers; a
// lone last step of a phase is gathered.
//
// A group reads kWidth * R rows of every array side by side, more streams than
// the hardware prefetchers follow. When the rows are packed (row_stride ==
// n_steps * 8, as in any C-ordered array), the rows of a group are one
// contiguous block of each array, and the block of the group kGroupsAhead
// groups on is prefetched into L2 in address order while this group runs:
// every fetch of a chain consumes K * kWidth * 8 bytes of its group's block,
// and prefetches as many bytes of the block ahead, so the prefetches are spread
// evenly over the group and end with it. Memory then streams in long runs, near
// a plain sequential read, instead of waiting on kArrays * kWidth * R row
// streams (prefetching rows step by step gains nothing; copying blocks first is
// slower). One group ahead is enough: a row of the block ahead is complete long
// before the next group reaches its end, and two groups ahead measured the
// same. The addresses ahead are formed as integers (a prefetch never faults,
// and no pointer past the arrays is formed), and the prefetches stop where the
// group ahead would pass the last path. The distance and the cache level are
// the policy P (recursion_raw picks L1 or L2 by the size of the block;
// benchmarks/native/bench_c_order.cpp measures the others side by side).
template <class Rec, class L, std::size_t R, BlockPrefetch P = kBlockPrefetch>
struct StepContiguousSource : RawSource {
  static constexpr std::size_t kSteps = 2;
  static constexpr std::size_t kGroupsAhead = P.groups_ahead;
  static constexpr std::size_t kFetchBytes = kSteps * L::kWidth * sizeof(double);
  GroupArrays<Rec> g;
  std::uintptr_t ahead[Rec::kArrays];  // the blocks kGroupsAhead groups on; unused when !prefetching
  bool prefetching;
  StepContiguousSource(const typename Rec::Inputs& in, std::size_t first) noexcept : g(in, first) {
    constexpr std::size_t G = L::kWidth * R;
    const std::size_t n_steps = Rec::n_steps(in);
    const auto packed = static_cast<std::ptrdiff_t>(n_steps * sizeof(double));
    prefetching = kGroupsAhead > 0 && first + (kGroupsAhead + 1) * G <= Rec::n_paths(in);
    for (std::size_t k = 0; k < Rec::kArrays; ++k) {
      prefetching = prefetching && g.a[k].row_stride == packed;
      ahead[k] = reinterpret_cast<std::uintptr_t>(g.a[k].base) +
                 static_cast<std::uintptr_t>(kGroupsAhead * G * n_steps * sizeof(double));
    }
  }
  template <std::size_t N>
  void prefetch(std::size_t r, std::size_t j) const noexcept {
    if (!prefetching) return;
    const std::uintptr_t at = ((j / kSteps) * R + r) * kFetchBytes;
#pragma GCC unroll 4
    for (std::size_t done = 0; done < kFetchBytes; done += kCacheLineBytes) {
#pragma GCC unroll 8
      for (std::size_t k = 0; k < Rec::kArrays; ++k) {
        if constexpr (P.into_l1) {
          prefetch_l1(ahead[k] + at + done);
        } else {
          prefetch_l2(ahead[k] + at + done);
        }
      }
    }
  }
  template <std::size_t K, std::size_t N>
  Operands<L, K, N> fetch(std::size_t r, std::size_t j) const noexcept {
    Operands<L, K, N> f;
    const std::size_t k0 = r * L::kWidth;
#pragma GCC unroll 8
    for (std::size_t k = 0; k < N; ++k) {
      const std::byte* p = g.a[k].base + static_cast<std::ptrdiff_t>(j * sizeof(double));
      if constexpr (K == 2) {
        L::load_pair(p, g.a[k].row_stride, k0, f.v[k][0], f.v[k][1]);
      } else {
        f.v[k][0] = L::gather_rows(p, g.a[k].row_stride, k0);
      }
    }
    return f;
  }
};

// Lane k of a gathered vector reads path first + min(k, lanes - 1): a short last
// group repeats its last path in the spare lanes, whose results are dropped.
template <class L, std::size_t R>
struct GatherOffsets {
  std::ptrdiff_t lane[L::kWidth * R];
  GatherOffsets() = default;
  GatherOffsets(std::ptrdiff_t row_stride, std::size_t lanes) noexcept {
    for (std::size_t k = 0; k < L::kWidth * R; ++k)
      lane[k] = static_cast<std::ptrdiff_t>(k < lanes ? k : lanes - 1) * row_stride;
  }
};

// Any byte strides: every lane element is a scalar load, combined into a vector.
template <class Rec, class L, std::size_t R>
struct GatherSource : RawSource {
  static constexpr std::size_t kSteps = 1;
  GroupArrays<Rec> g;
  GatherOffsets<L, R> off[Rec::kArrays];
  GatherSource(const typename Rec::Inputs& in, std::size_t first, std::size_t lanes) noexcept
      : g(in, first) {
    for (std::size_t k = 0; k < Rec::kArrays; ++k)
      off[k] = GatherOffsets<L, R>(g.a[k].row_stride, lanes);
  }
  template <std::size_t N>
  static void prefetch(std::size_t, std::size_t) noexcept {}
  template <std::size_t K, std::size_t N>
  Operands<L, 1, N> fetch(std::size_t r, std::size_t j) const noexcept {
    const std::size_t k0 = r * L::kWidth;
    Operands<L, 1, N> f;
#pragma GCC unroll 8
    for (std::size_t k = 0; k < N; ++k) f.v[k][0] = L::gather(g.a[k].step(j), off[k].lane + k0);
    return f;
  }
};

// ---------------------------------------------------------------------------
// The raw kernels: the outputs of paths [first, first + count) into
// outs[o][0 .. count), without the zero test.

// Output rows moved on by k paths.
template <std::size_t O>
struct OutputRows {
  double* p[O];
  OutputRows(double* const* outs, std::size_t k) noexcept {
    for (std::size_t o = 0; o < O; ++o) p[o] = outs[o] + k;
  }
};

enum class LaneLayout { gather, path_contiguous, step_contiguous };

// One group of `lanes` <= kWidth * R paths starting at `first` (lanes < G only
// with the gather layout); P is the C-order group prefetch.
template <class Rec, class L, std::size_t R, LaneLayout Layout, BlockPrefetch P = kBlockPrefetch>
inline void lane_group(const typename Rec::Inputs& in, std::size_t first, std::size_t lanes,
                       double* const* outs) noexcept {
  if constexpr (Layout == LaneLayout::path_contiguous) {
    run_group<Rec, L, R>(PathContiguousSource<Rec, L>(in, first), in, lanes, outs);
  } else if constexpr (Layout == LaneLayout::step_contiguous) {
    run_group<Rec, L, R>(StepContiguousSource<Rec, L, R, P>(in, first), in, lanes, outs);
  } else {
    run_group<Rec, L, R>(GatherSource<Rec, L, R>(in, first, lanes), in, lanes, outs);
  }
}

// Whole groups in the layout, the rest as one gathered group.
template <class Rec, class L, std::size_t R, LaneLayout Layout, BlockPrefetch P = kBlockPrefetch>
inline void lane_kernel(const typename Rec::Inputs& in, std::size_t first, std::size_t count,
                        double* const* outs) noexcept {
  constexpr std::size_t G = L::kWidth * R;
  std::size_t done = 0;
  for (; done + G <= count; done += G)
    lane_group<Rec, L, R, Layout, P>(in, first + done, G, OutputRows<Rec::kOutputs>(outs, done).p);
  if (done < count)
    lane_group<Rec, L, R, LaneLayout::gather>(in, first + done, count - done,
                                              OutputRows<Rec::kOutputs>(outs, done).p);
}

// The smallest path block of Fortran order: blocks halve down to it, and it is
// the least run of paths a parallel block hands a kernel at once.
inline constexpr std::size_t kMinPathBlock = 256;

// Fortran order, many paths at once: a block of B paths advances step by step,
// its running state kept in (L1-resident) arrays. At each step the block reads
// B * 8 contiguous bytes of every array, runs of whole pages that the hardware
// prefetchers follow, instead of one line per array and step for a register
// group (which left the big Fortran batches at ~70% of the C-order speed). The
// runs must be long: for the delta, blocks of 256 paths (2 KiB a run) reached
// only about 65% of a sequential read of the four arrays at 256 steps, blocks
// of 2048 (16 KiB a run, 32 KiB of state) about 85%. The chains of the block
// give the out-of-order core many independent chains in its window. The rest
// of a range runs in blocks of half the size, down to kMinPathBlock paths, then
// in register groups of R vectors.
template <class Rec, class L, std::size_t B, std::size_t R>
inline void path_block_kernel(const typename Rec::Inputs& in, std::size_t first, std::size_t count,
                              double* const* outs) noexcept {
  static_assert(B % L::kWidth == 0);
  std::size_t done = 0;
  for (; done + B <= count; done += B)
    lane_group<Rec, L, B / L::kWidth, LaneLayout::path_contiguous>(
        in, first + done, B, OutputRows<Rec::kOutputs>(outs, done).p);
  if (done == count) return;
  if constexpr (B > kMinPathBlock) {
    path_block_kernel<Rec, L, B / 2, R>(in, first + done, count - done,
                                        OutputRows<Rec::kOutputs>(outs, done).p);
  } else {
    lane_kernel<Rec, L, R, LaneLayout::path_contiguous>(in, first + done, count - done,
                                                        OutputRows<Rec::kOutputs>(outs, done).p);
  }
}

template <class Rec>
inline bool all_strides_are(const typename Rec::Inputs& in, std::ptrdiff_t MatrixView::*stride) noexcept {
  const ViewList<Rec::kArrays> views = Rec::arrays(in);
  bool all = true;
  for (std::size_t k = 0; k < Rec::kArrays; ++k)
    all = all && views.m[k].*stride == static_cast<std::ptrdiff_t>(sizeof(double));
  return all;
}

// The register chains and Fortran block of one recursion on one target,
// chosen by measurement (bench_tangent_flow.cpp and the gamma shapes).
struct Chains {
  std::size_t step_contiguous, path_contiguous, gather, path_block;
};

// The raw kernel of one recursion on one target, by layout.
template <class Rec, class L, Chains C>
inline void recursion_raw(const typename Rec::Inputs& in, std::size_t first, std::size_t count,
                          double* const* outs) noexcept {
  if constexpr (KeepsHistory<Rec>) {
    static_assert(C.path_block <= kHistoryBlockLanes);
    static_assert(L::kWidth * (C.step_contiguous > C.path_contiguous ? C.step_contiguous : C.path_contiguous) <=
                      kHistoryGroupLanes &&
                  L::kWidth * C.gather <= kHistoryGroupLanes);
  }
  if (all_strides_are<Rec>(in, &MatrixView::row_stride)) {
    if constexpr (KeepsHistory<Rec>) {
      if (!history_blocks<Rec>(in)) {
        lane_kernel<Rec, L, C.path_contiguous, LaneLayout::path_contiguous>(in, first, count, outs);
        return;
      }
    }
    path_block_kernel<Rec, L, C.path_block, C.path_contiguous>(in, first, count, outs);
  } else if (all_strides_are<Rec>(in, &MatrixView::col_stride)) {
    // A group's block (kArrays rows of n_steps doubles per lane) that fits the
    // L1 data cache is prefetched into L1, a larger one into L2 only. Measured
    // side by side (benchmarks/native/bench_c_order.cpp, Intel Xeon, 48 KiB
    // L1): into L1, 24-32 KiB blocks (64 steps) ran 1-12 % faster from memory
    // and 11-16 % from the caches; 96-196 KiB blocks (256 steps) ran 4-26 %
    // slower, evicting what the group still had to read.
    constexpr std::size_t kLaneRowDoubles = Rec::kArrays * L::kWidth * C.step_contiguous;
    if (Rec::n_steps(in) <= platform::l1_data_cache_bytes() / (kLaneRowDoubles * sizeof(double))) {
      lane_kernel<Rec, L, C.step_contiguous, LaneLayout::step_contiguous, kBlockPrefetchL1>(in, first, count,
                                                                                           outs);
    } else {
      lane_kernel<Rec, L, C.step_contiguous, LaneLayout::step_contiguous>(in, first, count, outs);
    }
  } else {
    lane_kernel<Rec, L, C.gather, LaneLayout::gather>(in, first, count, outs);
  }
}

}  // namespace
}  // namespace quorvane::detail
