// The lane-parallel body of the raw tangent-flow kernels, shared in source by the
// baseline (SSE2) and the AVX2 translation units.
//
// A group of G = kWidth * R paths runs side by side: R independent vector registers
// of kWidth lanes each, one path per lane. A single path is a serial dependency
// chain (Y / s and the Y update take ~20 cycles of latency a step), so the R
// registers exist to keep the divider and the multipliers busy with independent
// chains while each one waits. Every lane performs exactly the scalar operation
// sequence of its own path (the same IEEE-754 operations on the same operands in
// the same order), so each lane's result has the bits of the scalar recursion.
//
// Everything here has internal linkage (anonymous namespace): each including
// translation unit gets its own copy compiled for its own target, and nothing
// compiled with -mavx2 can be picked by the linker for baseline code.
#pragma once

#include <cstddef>
#include <cstring>

#include "core/estimators/tangent_flow.hpp"
#include "core/kernels/lanes.hpp"

namespace quorvane::detail {
namespace {

// How the four read arrays are laid out, which decides how a lane vector is built.
enum class LaneLayout {
  // Any byte strides: every lane element is a scalar load, combined into a vector.
  gather,
  // row_stride == 8 for all four arrays (Fortran order, or a column slice of it):
  // consecutive paths are adjacent at a given step, so a vector is one load.
  path_contiguous,
  // col_stride == 8 for all four arrays (C order): each path's steps are adjacent,
  // so two steps of every lane are loaded at once and transposed in registers.
  step_contiguous,
};

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
  y = L::add(y, L::add(a, b));
}

// One array as seen by a group: the address of the group's first path at step 0
// and the byte strides.
struct GroupArray {
  const std::byte* base;
  std::ptrdiff_t row_stride;
  std::ptrdiff_t col_stride;
};

inline GroupArray group_array(const MatrixView& m, std::size_t first_path) noexcept {
  return GroupArray{m.data + static_cast<std::ptrdiff_t>(first_path) * m.row_stride, m.row_stride,
                    m.col_stride};
}

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

// Runs one group of `lanes` <= kWidth * R paths starting at `first` (lanes < G
// only with the gather layout) and stores their raw weights into out[0 .. lanes).
template <class L, std::size_t R, LaneLayout Layout>
inline void lane_group(const TangentFlowInputs& in, std::size_t first, std::size_t lanes,
                       double* out) noexcept {
  using V = typename L::V;
  constexpr std::size_t W = L::kWidth;
  constexpr std::size_t G = W * R;
  const V inv_horizon = L::set1(in.inv_horizon);
  const V dt = L::set1(in.dt);
  const GroupArray sg = group_array(in.sigma, first);
  const GroupArray dw = group_array(in.dws, first);
  const GroupArray mu = group_array(in.d_mu_dx, first);
  const GroupArray sd = group_array(in.d_sigma_dx, first);

  V y[R], acc[R];
  for (std::size_t r = 0; r < R; ++r) {
    y[r] = L::set1(1.0);
    acc[r] = L::set1(0.0);
  }
  const std::size_t n = in.n_steps;

  if constexpr (Layout == LaneLayout::path_contiguous) {
    const std::byte* ps = sg.base;
    const std::byte* pw = dw.base;
    const std::byte* pm = mu.base;
    const std::byte* pd = sd.base;
    for (std::size_t j = 0; j < n; ++j) {
#pragma GCC unroll 16
      for (std::size_t r = 0; r < R; ++r) {
        const std::ptrdiff_t o = static_cast<std::ptrdiff_t>(r * W * sizeof(double));
        lane_step<L>(y[r], acc[r], L::loadu(ps + o), L::loadu(pw + o), L::loadu(pm + o),
                     L::loadu(pd + o), inv_horizon, dt);
      }
      ps += sg.col_stride;
      pw += dw.col_stride;
      pm += mu.col_stride;
      pd += sd.col_stride;
    }
  } else if constexpr (Layout == LaneLayout::step_contiguous) {
    // Two steps at a time: for every lane a 16-byte load of steps (j, j + 1),
    // transposed into one vector for step j and one for step j + 1.
    std::ptrdiff_t off = 0;
    std::size_t j = 0;
    const auto pair = [&](std::ptrdiff_t o) {
#pragma GCC unroll 16
      for (std::size_t r = 0; r < R; ++r) {
        V s0, s1, w0, w1, m0, m1, d0, d1;
        L::load_pair(sg.base + o, sg.row_stride, r * W, s0, s1);
        L::load_pair(dw.base + o, dw.row_stride, r * W, w0, w1);
        L::load_pair(mu.base + o, mu.row_stride, r * W, m0, m1);
        L::load_pair(sd.base + o, sd.row_stride, r * W, d0, d1);
        lane_step<L>(y[r], acc[r], s0, w0, m0, d0, inv_horizon, dt);
        lane_step<L>(y[r], acc[r], s1, w1, m1, d1, inv_horizon, dt);
      }
    };
    constexpr std::ptrdiff_t kPair = 2 * static_cast<std::ptrdiff_t>(sizeof(double));
    for (; j + 2 <= n; j += 2, off += kPair) pair(off);
    if (j < n) {
#pragma GCC unroll 16
      for (std::size_t r = 0; r < R; ++r) {
        const V s = L::gather_rows(sg.base + off, sg.row_stride, r * W);
        const V w = L::gather_rows(dw.base + off, dw.row_stride, r * W);
        const V m = L::gather_rows(mu.base + off, mu.row_stride, r * W);
        const V d = L::gather_rows(sd.base + off, sd.row_stride, r * W);
        lane_step<L>(y[r], acc[r], s, w, m, d, inv_horizon, dt);
      }
    }
  } else {
    const GatherOffsets<L, R> os(sg.row_stride, lanes), ow(dw.row_stride, lanes),
        om(mu.row_stride, lanes), od(sd.row_stride, lanes);
    const std::byte* ps = sg.base;
    const std::byte* pw = dw.base;
    const std::byte* pm = mu.base;
    const std::byte* pd = sd.base;
    for (std::size_t j = 0; j < n; ++j) {
#pragma GCC unroll 16
      for (std::size_t r = 0; r < R; ++r) {
        lane_step<L>(y[r], acc[r], L::gather(ps, os.lane + r * W), L::gather(pw, ow.lane + r * W),
                     L::gather(pm, om.lane + r * W), L::gather(pd, od.lane + r * W), inv_horizon,
                     dt);
      }
      ps += sg.col_stride;
      pw += dw.col_stride;
      pm += mu.col_stride;
      pd += sd.col_stride;
    }
  }

  if (lanes == G) {
    for (std::size_t r = 0; r < R; ++r) L::storeu(out + r * W, acc[r]);
  } else {
    double tmp[G];
    for (std::size_t r = 0; r < R; ++r) L::storeu(tmp + r * W, acc[r]);
    std::memcpy(out, tmp, lanes * sizeof(double));
  }
}

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
// with Y and acc of the block kept in (L1-resident) arrays. At each step the
// block reads B * 8 contiguous bytes of every array, long runs inside one page
// that the hardware prefetchers follow, instead of one line per array and step
// for a register group (which left the big Fortran batches at ~70% of the
// C-order speed). The R-register loop over the block gives the out-of-order core
// 4 * kWidth independent chains at a time and many more in its window. Every
// lane still performs its own path's operations in order.
template <class L, std::size_t B>
inline void path_block(const TangentFlowInputs& in, std::size_t first, double* out) noexcept {
  using V = typename L::V;
  constexpr std::size_t W = L::kWidth;
  static_assert(B % (4 * W) == 0);
  const V inv_horizon = L::set1(in.inv_horizon);
  const V dt = L::set1(in.dt);
  const GroupArray sg = group_array(in.sigma, first);
  const GroupArray dw = group_array(in.dws, first);
  const GroupArray mu = group_array(in.d_mu_dx, first);
  const GroupArray sd = group_array(in.d_sigma_dx, first);
  alignas(64) double ys[B];
  alignas(64) double accs[B];
  for (std::size_t k = 0; k < B; ++k) {
    ys[k] = 1.0;
    accs[k] = 0.0;
  }
  const std::byte* ps = sg.base;
  const std::byte* pw = dw.base;
  const std::byte* pm = mu.base;
  const std::byte* pd = sd.base;
  for (std::size_t j = 0; j < in.n_steps; ++j) {
    for (std::size_t k = 0; k < B; k += 4 * W) {
#pragma GCC unroll 4
      for (std::size_t q = 0; q < 4; ++q) {
        const std::size_t lane = k + q * W;
        const std::ptrdiff_t o = static_cast<std::ptrdiff_t>(lane * sizeof(double));
        V y = L::loada(ys + lane);
        V acc = L::loada(accs + lane);
        lane_step<L>(y, acc, L::loadu(ps + o), L::loadu(pw + o), L::loadu(pm + o),
                     L::loadu(pd + o), inv_horizon, dt);
        L::storea(ys + lane, y);
        L::storea(accs + lane, acc);
      }
    }
    ps += sg.col_stride;
    pw += dw.col_stride;
    pm += mu.col_stride;
    pd += sd.col_stride;
  }
  __builtin_memcpy(out, accs, sizeof accs);
}

// Blocks of B paths, then register groups of R vectors for the rest.
template <class L, std::size_t B, std::size_t R>
inline void path_block_kernel(const TangentFlowInputs& in, std::size_t first, std::size_t count,
                              double* out) noexcept {
  std::size_t done = 0;
  for (; done + B <= count; done += B) path_block<L, B>(in, first + done, out + done);
  if (done < count)
    lane_kernel<L, R, LaneLayout::path_contiguous>(in, first + done, count - done, out + done);
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

}  // namespace
}  // namespace quorvane::detail
