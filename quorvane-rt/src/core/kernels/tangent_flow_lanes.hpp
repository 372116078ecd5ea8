// The tangent-flow recursion as one body over lane traits: the scalar per-path
// recursion (tangent_flow.cpp) is its one-lane instance, the raw multi-path
// kernels (kernels_baseline.cpp, kernels_avx2.cpp) its SSE2 and AVX2 instances.
//
// A group runs R chains of kWidth lanes each, one path per lane. A single path
// is a serial dependency chain (Y / s and the Y update take ~20 cycles of
// latency a step), so the R chains exist to keep the divider and the
// multipliers busy with independent work while each one waits. Every lane
// performs exactly the scalar operation sequence of its own path (the same
// IEEE-754 operations on the same operands in the same order), so each lane's
// result has the bits of the scalar recursion.
//
// Where the operands come from is the body's one policy, a *source*:
//   fetch<K>(r, j)  the operands of chain r for steps j .. j + K - 1, read by
//                   sigma(q), dws(q), d_mu_dx(q), d_sigma_dx(q) in that order
//                   (a lazy source loads, and may check bounds, at each call);
//   stops(s)        whether this sigma ends the chain (the zero test of the
//                   scalar recursion; the raw sources never stop);
//   prefetch(r, j)  called before each fetch of the main loop, so that a source
//                   can spread software prefetches evenly over a group's work;
//   kNoexcept       whether no access can throw (the body is then noexcept, and
//                   a noexcept caller needs no unwinding tables for it).
//
// Everything here has internal linkage (anonymous namespace) and reads only the
// data members of the views, so each including translation unit gets its own
// copy compiled for its own target (lanes.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/estimators/tangent_flow.hpp"
#include "core/kernels/lanes.hpp"
#include "core/support/interrupt.hpp"

namespace quorvane::detail {
namespace {

// The per-step recursion on vectors; the operation order is the scalar one.
template <class L>
inline void lane_step(typename L::V& y, typename L::V& acc, typename L::V s, typename L::V dw,
                      typename L::V dmu, typename L::V dsig, typename L::V inv_horizon,
                      typename L::V dt) noexcept {
  using V = typename L::V;
  V t = L::div(y, s);
  t = L::mul(t, inv_horizon);
  t = L::mul(t, dw);
  acc = L::add(acc, t);
  const V a = L::mul(L::mul(dsig, y), dw);
  const V b = L::mul(L::mul(dmu, y), dt);
  // a + b is rounded before it is added to Y; (Y + a) + b would differ.
  y = L::add(y, L::add(a, b));
}

// Runs run(j0, j1) over steps [begin, end) (begin <= end) in runs of
// kKernelPaceSteps (the last may be shorter), calling kernel_pace(lanes *
// kKernelPaceSteps) between two runs (core/support/interrupt.hpp); a run that
// returns false ends the walk. False when kernel_pace said stop: the runs
// after it are not made. Every run but the last is kKernelPaceSteps long and
// starts at begin plus a multiple of it, so a kernel that takes its steps two
// at a time pairs them exactly as in one run; each lane's operations are the
// same in any case.
// (One call of `run` in the loop, so that the compiler inlines its body once
// and keeps the kernel's state in registers as in a plain loop.)
template <class Run>
inline bool paced_steps(std::size_t begin, std::size_t end, std::size_t lanes, Run&& run) {
  for (;;) {
    const std::size_t stop = end - begin > kKernelPaceSteps ? begin + kKernelPaceSteps : end;
    if (!run(begin, stop) || stop == end) return true;
    begin = stop;
    if (kernel_pace(lanes * kKernelPaceSteps)) return false;
  }
}

// What chain_group returns when kernel_pace stopped it (never a step index).
inline constexpr std::size_t kPacedOut = static_cast<std::size_t>(-1);

// Runs R chains over steps [begin, end) from the given Y and acc. Returns end,
// or the step at which the source stopped a chain (the first such step of the
// lowest chain; the state is then partial).
template <class L, std::size_t R, class Source>
inline std::size_t run_chains(const Source& src, std::size_t begin, std::size_t end,
                              typename L::V inv_horizon, typename L::V dt, typename L::V (&y)[R],
                              typename L::V (&acc)[R]) noexcept(Source::kNoexcept) {
  using V = typename L::V;
  // One step of chain r from operands f at q; false when the source stops it.
  const auto advance = [&](const auto& f, std::size_t r, std::size_t q) noexcept(Source::kNoexcept) {
    const V s = f.sigma(q);
    if (src.stops(s)) return false;
    const V dw = f.dws(q);
    const V dmu = f.d_mu_dx(q);
    const V dsig = f.d_sigma_dx(q);
    lane_step<L>(y[r], acc[r], s, dw, dmu, dsig, inv_horizon, dt);
    return true;
  };
  constexpr std::size_t K = Source::kSteps;
  std::size_t j = begin;
  for (; j + K <= end; j += K) {
#pragma GCC unroll 16
    for (std::size_t r = 0; r < R; ++r) {
      src.prefetch(r, j);
      const auto f = src.template fetch<K>(r, j);
      for (std::size_t q = 0; q < K; ++q)
        if (!advance(f, r, q)) return j + q;
    }
  }
  if constexpr (K > 1) {
    for (; j < end; ++j) {
#pragma GCC unroll 16
      for (std::size_t r = 0; r < R; ++r)
        if (!advance(src.template fetch<1>(r, j), r, 0)) return j;
    }
  }
  return end;
}

// One group: R chains from Y = 1.0, acc = +0.0 over every step, then the
// weights of its first `lanes` lanes into out[0 .. lanes). Returns n_steps, or
// the step at which the source stopped, or kPacedOut when kernel_pace stopped
// the group between two runs of steps (out is then not written).
template <class L, std::size_t R, class Source>
inline std::size_t chain_group(const Source& src, const TangentFlowInputs& in, std::size_t lanes,
                               double* out) noexcept(Source::kNoexcept) {
  using V = typename L::V;
  constexpr std::size_t W = L::kWidth;
  constexpr std::size_t G = W * R;
  V y[R], acc[R];
  for (std::size_t r = 0; r < R; ++r) {
    y[r] = L::set1(1.0);
    acc[r] = L::set1(0.0);
  }
  const V inv_horizon = L::set1(in.inv_horizon);
  const V dt = L::set1(in.dt);
  std::size_t stop = in.n_steps;
  const bool ran = paced_steps(0, in.n_steps, G, [&](std::size_t begin, std::size_t end) {
    const std::size_t at = run_chains<L, R>(src, begin, end, inv_horizon, dt, y, acc);
    if (at == end) return true;
    stop = at;  // the source stopped a chain here
    return false;
  });
  if (!ran) return kPacedOut;
  if (stop != in.n_steps) return stop;
  if (lanes == G) {
    for (std::size_t r = 0; r < R; ++r) L::storeu(out + r * W, acc[r]);
  } else {
    double tmp[G];
    for (std::size_t r = 0; r < R; ++r) L::storeu(tmp + r * W, acc[r]);
    std::memcpy(out, tmp, lanes * sizeof(double));
  }
  return stop;
}

// ---------------------------------------------------------------------------
// Sources.

// The scalar recursion's source: path `path` through the views, one step at a
// time, loading each operand when it is asked for, in the order sigma (then its
// zero test), dws, d_mu_dx, d_sigma_dx. `Checked` bounds-checks every access (an
// element outside its view is an internal failure), so the first missing
// element in row-major order is the one reported.
template <bool Checked>
struct PathViewSource {
  static constexpr std::size_t kSteps = 1;
  static constexpr bool kNoexcept = !Checked;
  const TangentFlowInputs& in;
  std::size_t path;

  double get(const MatrixView& m, std::size_t j) const {
    if constexpr (Checked) {
      return m.at(path, j);
    } else {
      return m(path, j);
    }
  }
  struct Step {
    const PathViewSource& src;
    std::size_t j;
    double sigma(std::size_t) const { return src.get(src.in.sigma, j); }
    double dws(std::size_t) const { return src.get(src.in.dws, j); }
    double d_mu_dx(std::size_t) const { return src.get(src.in.d_mu_dx, j); }
    double d_sigma_dx(std::size_t) const { return src.get(src.in.d_sigma_dx, j); }
  };
  template <std::size_t K>
  Step fetch(std::size_t, std::size_t j) const noexcept {
    return Step{*this, j};
  }
  // Compares equal for +0.0 and -0.0, never for NaN.
  static bool stops(double s) noexcept { return s == 0.0; }
  static void prefetch(std::size_t, std::size_t) noexcept {}
};

// One array as seen by a group: the address of the group's first path at step 0
// and the byte strides.
struct GroupArray {
  const std::byte* base;
  std::ptrdiff_t row_stride;
  std::ptrdiff_t col_stride;

  GroupArray(const MatrixView& m, std::size_t first_path) noexcept
      : base(m.data + static_cast<std::ptrdiff_t>(first_path) * m.row_stride),
        row_stride(m.row_stride),
        col_stride(m.col_stride) {}
  const std::byte* step(std::size_t j) const noexcept {
    return base + static_cast<std::ptrdiff_t>(j) * col_stride;
  }
};

// The four read arrays of a group, and the operands a raw source hands over.
struct GroupArrays {
  GroupArray sigma, dws, d_mu_dx, d_sigma_dx;
  GroupArrays(const TangentFlowInputs& in, std::size_t first) noexcept
      : sigma(in.sigma, first), dws(in.dws, first), d_mu_dx(in.d_mu_dx, first),
        d_sigma_dx(in.d_sigma_dx, first) {}
};

template <class L, std::size_t K>
struct Operands {
  using V = typename L::V;
  V s[K], w[K], m[K], d[K];
  V sigma(std::size_t q) const noexcept { return s[q]; }
  V dws(std::size_t q) const noexcept { return w[q]; }
  V d_mu_dx(std::size_t q) const noexcept { return m[q]; }
  V d_sigma_dx(std::size_t q) const noexcept { return d[q]; }
};

// The raw sources never stop a chain: a zero sigma flows through the IEEE
// arithmetic, and the driver finds it afterwards (tangent_flow.cpp).
struct RawSource {
  static constexpr bool kNoexcept = true;
  template <class V>
  static constexpr bool stops(const V&) noexcept {
    return false;
  }
  static void prefetch(std::size_t, std::size_t) noexcept {}
};

// row_stride == 8 for all four arrays (Fortran order, or a column slice of it):
// consecutive paths are adjacent at a given step, so a lane vector is one load.
// Each step of a group reads one run of every array, a new one for every step;
// the runs of the next step are prefetched into L2 while this step runs, one
// cache line of each array per line's worth of lanes, so that the hardware
// prefetchers find each new run already started.
template <class L>
struct PathContiguousSource : RawSource {
  static constexpr std::size_t kSteps = 1;
  static constexpr std::size_t kStepsAhead = 1;
  GroupArrays a;
  std::size_t n_steps;
  PathContiguousSource(const TangentFlowInputs& in, std::size_t first) noexcept
      : a(in, first), n_steps(in.n_steps) {}
  void prefetch(std::size_t r, std::size_t j) const noexcept {
    constexpr std::size_t kLaneBytes = L::kWidth * sizeof(double);
    if ((r * kLaneBytes) % kCacheLineBytes != 0 || j + kStepsAhead >= n_steps) return;
    const std::size_t o = r * kLaneBytes;
    const auto at = [&](const GroupArray& g) noexcept {
      return reinterpret_cast<std::uintptr_t>(g.step(j + kStepsAhead)) + o;
    };
    prefetch_l2(at(a.sigma));
    prefetch_l2(at(a.dws));
    prefetch_l2(at(a.d_mu_dx));
    prefetch_l2(at(a.d_sigma_dx));
  }
  template <std::size_t K>
  Operands<L, 1> fetch(std::size_t r, std::size_t j) const noexcept {
    const std::ptrdiff_t o = static_cast<std::ptrdiff_t>(r * L::kWidth * sizeof(double));
    return {{L::loadu(a.sigma.step(j) + o)},
            {L::loadu(a.dws.step(j) + o)},
            {L::loadu(a.d_mu_dx.step(j) + o)},
            {L::loadu(a.d_sigma_dx.step(j) + o)}};
  }
};

// col_stride == 8 for all four arrays (C order): each path's steps are adjacent,
// so two steps of every lane are loaded at once and transposed in registers; an
// odd last step is gathered.
//
// A group reads kWidth * R rows of every array side by side, more streams than
// the hardware prefetchers follow. When the rows are packed (row_stride ==
// n_steps * 8, as in any C-ordered array), the rows of a group are one
// contiguous block of each array, and the block of the group kGroupsAhead
// groups on is prefetched into L2 in address order while this group runs:
// every fetch of a chain consumes K * kWidth * 8 bytes of its group's block,
// and prefetches as many bytes of the block ahead, so the prefetches are spread
// evenly over the group and end with it. Memory then streams in long runs, near
// a plain sequential read, instead of waiting on 4 * kWidth * R row streams
// (prefetching rows step by step gains nothing; copying blocks first is slower).
// One group ahead is enough: a row of the block ahead is complete long before
// the next group reaches its end, and two groups ahead measured the same.
// The prefetches stop where the group ahead would pass the last path.
template <class L, std::size_t R>
struct StepContiguousSource : RawSource {
  static constexpr std::size_t kSteps = 2;
  static constexpr std::size_t kGroupsAhead = 1;
  static constexpr std::size_t kFetchBytes = kSteps * L::kWidth * sizeof(double);
  GroupArrays a;
  std::uintptr_t ahead[4];  // the blocks kGroupsAhead groups on; unused when !prefetching
  bool prefetching;
  StepContiguousSource(const TangentFlowInputs& in, std::size_t first) noexcept : a(in, first) {
    constexpr std::size_t G = L::kWidth * R;
    const GroupArray* arrays[] = {&a.sigma, &a.dws, &a.d_mu_dx, &a.d_sigma_dx};
    const auto packed = static_cast<std::ptrdiff_t>(in.n_steps * sizeof(double));
    prefetching = first + (kGroupsAhead + 1) * G <= in.n_paths;
    for (std::size_t k = 0; k < 4; ++k) {
      prefetching = prefetching && arrays[k]->row_stride == packed;
      ahead[k] = reinterpret_cast<std::uintptr_t>(arrays[k]->base) +
                 static_cast<std::uintptr_t>(kGroupsAhead * G * in.n_steps * sizeof(double));
    }
  }
  void prefetch(std::size_t r, std::size_t j) const noexcept {
    if (!prefetching) return;
    const std::uintptr_t at = ((j / kSteps) * R + r) * kFetchBytes;
#pragma GCC unroll 4
    for (std::size_t done = 0; done < kFetchBytes; done += kCacheLineBytes) {
      prefetch_l2(ahead[0] + at + done);
      prefetch_l2(ahead[1] + at + done);
      prefetch_l2(ahead[2] + at + done);
      prefetch_l2(ahead[3] + at + done);
    }
  }
  template <std::size_t K>
  Operands<L, K> fetch(std::size_t r, std::size_t j) const noexcept {
    Operands<L, K> o;
    const std::size_t k0 = r * L::kWidth;
    const auto load = [&](const GroupArray& g, typename L::V* v) noexcept {
      const std::byte* p = g.base + static_cast<std::ptrdiff_t>(j * sizeof(double));
      if constexpr (K == 2) {
        L::load_pair(p, g.row_stride, k0, v[0], v[1]);
      } else {
        v[0] = L::gather_rows(p, g.row_stride, k0);
      }
    };
    load(a.sigma, o.s);
    load(a.dws, o.w);
    load(a.d_mu_dx, o.m);
    load(a.d_sigma_dx, o.d);
    return o;
  }
};

// Lane k of a gathered vector reads path first + min(k, lanes - 1): a short last
// group repeats its last path in the spare lanes, whose results are dropped.
template <class L, std::size_t R>
struct GatherOffsets {
  std::ptrdiff_t lane[L::kWidth * R];
  GatherOffsets(std::ptrdiff_t row_stride, std::size_t lanes) noexcept {
    for (std::size_t k = 0; k < L::kWidth * R; ++k)
      lane[k] = static_cast<std::ptrdiff_t>(k < lanes ? k : lanes - 1) * row_stride;
  }
};

// Any byte strides: every lane element is a scalar load, combined into a vector.
template <class L, std::size_t R>
struct GatherSource : RawSource {
  static constexpr std::size_t kSteps = 1;
  GroupArrays a;
  GatherOffsets<L, R> os, ow, om, od;
  GatherSource(const TangentFlowInputs& in, std::size_t first, std::size_t lanes) noexcept
      : a(in, first), os(in.sigma.row_stride, lanes), ow(in.dws.row_stride, lanes),
        om(in.d_mu_dx.row_stride, lanes), od(in.d_sigma_dx.row_stride, lanes) {}
  template <std::size_t K>
  Operands<L, 1> fetch(std::size_t r, std::size_t j) const noexcept {
    const std::size_t k0 = r * L::kWidth;
    return {{L::gather(a.sigma.step(j), os.lane + k0)},
            {L::gather(a.dws.step(j), ow.lane + k0)},
            {L::gather(a.d_mu_dx.step(j), om.lane + k0)},
            {L::gather(a.d_sigma_dx.step(j), od.lane + k0)}};
  }
};

// ---------------------------------------------------------------------------
// The raw kernels: weights of paths [first, first + count) into out[0 .. count),
// without the zero test.

enum class LaneLayout { gather, path_contiguous, step_contiguous };

// One group of `lanes` <= kWidth * R paths starting at `first` (lanes < G only
// with the gather layout).
template <class L, std::size_t R, LaneLayout Layout>
inline void lane_group(const TangentFlowInputs& in, std::size_t first, std::size_t lanes,
                       double* out) noexcept {
  if constexpr (Layout == LaneLayout::path_contiguous) {
    chain_group<L, R>(PathContiguousSource<L>(in, first), in, lanes, out);
  } else if constexpr (Layout == LaneLayout::step_contiguous) {
    chain_group<L, R>(StepContiguousSource<L, R>(in, first), in, lanes, out);
  } else {
    chain_group<L, R>(GatherSource<L, R>(in, first, lanes), in, lanes, out);
  }
}

// Whole groups in the layout, the rest as one gathered group.
template <class L, std::size_t R, LaneLayout Layout>
inline void lane_kernel(const TangentFlowInputs& in, std::size_t first, std::size_t count,
                        double* out) noexcept {
  constexpr std::size_t G = L::kWidth * R;
  std::size_t done = 0;
  for (; done + G <= count; done += G) lane_group<L, R, Layout>(in, first + done, G, out + done);
  if (done < count)
    lane_group<L, R, LaneLayout::gather>(in, first + done, count - done, out + done);
}

// Fortran order, many paths at once: a block of B paths advances step by step,
// its Y and acc kept in (L1-resident) arrays. At each step the block reads B * 8
// contiguous bytes of every array, runs of whole pages that the hardware
// prefetchers follow, instead of one line per array and step for a register
// group (which left the big Fortran batches at ~70% of the C-order speed). The
// runs must be long: blocks of 256 paths (2 KiB a run) reached only about 65% of
// a sequential read of the four arrays at 256 steps, blocks of 2048 (16 KiB a
// run, 32 KiB of state) about 85%. The chains of the block give the
// out-of-order core many independent chains in its window. The rest of a range
// runs in blocks of half the size, down to 256 paths, then in register groups
// of R vectors.
template <class L, std::size_t B, std::size_t R>
inline void path_block_kernel(const TangentFlowInputs& in, std::size_t first, std::size_t count,
                              double* out) noexcept {
  static_assert(B % L::kWidth == 0);
  std::size_t done = 0;
  for (; done + B <= count; done += B)
    lane_group<L, B / L::kWidth, LaneLayout::path_contiguous>(in, first + done, B, out + done);
  if (done == count) return;
  if constexpr (B > 256) {
    path_block_kernel<L, B / 2, R>(in, first + done, count - done, out + done);
  } else {
    lane_kernel<L, R, LaneLayout::path_contiguous>(in, first + done, count - done, out + done);
  }
}

inline bool all_path_contiguous(const TangentFlowInputs& in) noexcept {
  constexpr std::ptrdiff_t k = sizeof(double);
  return in.sigma.row_stride == k && in.dws.row_stride == k && in.d_mu_dx.row_stride == k &&
         in.d_sigma_dx.row_stride == k;
}

inline bool all_step_contiguous(const TangentFlowInputs& in) noexcept {
  constexpr std::ptrdiff_t k = sizeof(double);
  return in.sigma.col_stride == k && in.dws.col_stride == k && in.d_mu_dx.col_stride == k &&
         in.d_sigma_dx.col_stride == k;
}

// The raw kernel of one target, by layout. StepChains and GatherChains are the
// register-group widths for C order and for arbitrary strides, chosen by
// measurement per target (bench_tangent_flow.cpp); Fortran order runs in blocks
// of 2048 paths, with groups of three vectors for the rest.
template <class L, std::size_t StepChains, std::size_t GatherChains>
inline void tangent_flow_raw(const TangentFlowInputs& in, std::size_t first, std::size_t count,
                             double* out) noexcept {
  if (all_path_contiguous(in)) {
    path_block_kernel<L, 2048, 3>(in, first, count, out);
  } else if (all_step_contiguous(in)) {
    lane_kernel<L, StepChains, LaneLayout::step_contiguous>(in, first, count, out);
  } else {
    lane_kernel<L, GatherChains, LaneLayout::gather>(in, first, count, out);
  }
}

}  // namespace
}  // namespace quorvane::detail
