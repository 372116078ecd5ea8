// The tangent-flow gamma recursion over lane traits: one body, instantiated for
// one lane (the scalar recursion), for SSE2 and, in *_avx2.cpp files only, for
// AVX2.
//
// Per path, with the values before step j (Y_0 = 1, Z_0 = 0) and the grid split
// at m = floor(N / 2) steps:
//
//   k = Y / s                                       every step (s = sigma)
//   j <  m:  a = a + (k * dW)
//            e = (Z / s) - ((k * k) * sigma')
//            c = c + (e * dW)
//            Z = Z + ((((sigma'' * (Y * Y)) + (sigma' * Z)) * dW)
//                      + (((mu'' * (Y * Y)) + (mu' * Z)) * dt))
//   j >= m:  b = b + (k * dW)
//   every step, exactly the delta recursion's update:
//            Y = Y + (((sigma' * Y) * dW) + ((mu' * Y) * dt))
//   with the delta weight (the fused estimator only):
//            acc = acc + ((k * inv_horizon) * dW)
//
// and at the end pi = ((a * inv_t1) * (b * inv_t2)) + (c * inv_t1), that is
// A * B + C with A = a / T1, B = b / (T - T1), C = c / T1. Z is not needed after
// step m - 1, so the second interval neither updates it nor reads the second
// derivatives. Each operation is rounded in exactly the order written (no fused
// multiply-add, no reassociation); a lane performs exactly this sequence for its
// own path, so every lane has the bits of the one-lane instance.
//
// Everything here has internal linkage (anonymous namespace): each including
// translation unit gets its own copy compiled for its own target, and nothing
// compiled with -mavx2 can be picked by the linker for baseline code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/estimators/tangent_flow_gamma.hpp"
#include "core/kernels/lanes.hpp"
#include "core/kernels/tangent_flow_lanes.hpp"

namespace quorvane::detail {
namespace {

// Lane subtraction, which the traits do not offer (a - b, one rounding).
inline double lane_sub(double a, double b) noexcept { return a - b; }
inline __m128d lane_sub(__m128d a, __m128d b) noexcept { return _mm_sub_pd(a, b); }
#if defined(__AVX2__)
inline __m256d lane_sub(__m256d a, __m256d b) noexcept { return _mm256_sub_pd(a, b); }
#endif

// The running state of one lane vector of paths.
template <class L, bool WithDelta>
struct GammaState {
  using V = typename L::V;
  V y, z, a, b, c, acc;
  void start() noexcept {
    y = L::set1(1.0);
    z = L::set1(0.0);
    a = b = c = acc = L::set1(0.0);
  }
};

// The constants of a call, broadcast once per kernel.
template <class L>
struct GammaConstants {
  using V = typename L::V;
  V dt, inv_horizon, inv_t1, inv_t2;
  explicit GammaConstants(const TangentFlowGammaInputs& in) noexcept
      : dt(L::set1(in.flow.dt)),
        inv_horizon(L::set1(in.flow.inv_horizon)),
        inv_t1(L::set1(in.inv_t1)),
        inv_t2(L::set1(in.inv_t2)) {}
};

template <class L, bool WithDelta>
inline void delta_term(GammaState<L, WithDelta>& st, typename L::V k, typename L::V dw,
                       const GammaConstants<L>& cst) noexcept {
  if constexpr (WithDelta) st.acc = L::add(st.acc, L::mul(L::mul(k, cst.inv_horizon), dw));
}

template <class L, bool WithDelta>
inline void tangent_update(GammaState<L, WithDelta>& st, typename L::V dw, typename L::V dmu,
                           typename L::V dsig, const GammaConstants<L>& cst) noexcept {
  // (sigma' * Y) * dW + (mu' * Y) * dt is rounded before it is added to Y.
  st.y = L::add(st.y, L::add(L::mul(L::mul(dsig, st.y), dw), L::mul(L::mul(dmu, st.y), cst.dt)));
}

// One step of the first interval (j < m).
template <class L, bool WithDelta>
inline void first_step(GammaState<L, WithDelta>& st, typename L::V s, typename L::V dw,
                       typename L::V dmu, typename L::V dsig, typename L::V d2mu,
                       typename L::V d2sig, const GammaConstants<L>& cst) noexcept {
  using V = typename L::V;
  const V k = L::div(st.y, s);
  delta_term(st, k, dw, cst);
  st.a = L::add(st.a, L::mul(k, dw));
  const V e = lane_sub(L::div(st.z, s), L::mul(L::mul(k, k), dsig));
  st.c = L::add(st.c, L::mul(e, dw));
  const V y2 = L::mul(st.y, st.y);
  const V zs = L::mul(L::add(L::mul(d2sig, y2), L::mul(dsig, st.z)), dw);
  const V zm = L::mul(L::add(L::mul(d2mu, y2), L::mul(dmu, st.z)), cst.dt);
  st.z = L::add(st.z, L::add(zs, zm));
  tangent_update(st, dw, dmu, dsig, cst);
}

// One step of the second interval (j >= m).
template <class L, bool WithDelta>
inline void second_step(GammaState<L, WithDelta>& st, typename L::V s, typename L::V dw,
                        typename L::V dmu, typename L::V dsig,
                        const GammaConstants<L>& cst) noexcept {
  const typename L::V k = L::div(st.y, s);
  delta_term(st, k, dw, cst);
  st.b = L::add(st.b, L::mul(k, dw));
  tangent_update(st, dw, dmu, dsig, cst);
}

// pi = A * B + C.
template <class L, bool WithDelta>
inline typename L::V gamma_weight(const GammaState<L, WithDelta>& st,
                                  const GammaConstants<L>& cst) noexcept {
  const typename L::V big_a = L::mul(st.a, cst.inv_t1);
  const typename L::V big_b = L::mul(st.b, cst.inv_t2);
  const typename L::V big_c = L::mul(st.c, cst.inv_t1);
  return L::add(L::mul(big_a, big_b), big_c);
}

// ---------------------------------------------------------------------------
// Multi-path kernels. They run the recursion without the per-step zero test;
// the driver (tangent_flow_gamma.cpp) recomputes every non-finite result with
// the one-lane recursion; why that is exact is argued there.

// How the six read arrays are laid out, which decides how a lane vector is built.
enum class GammaLayout {
  gather,           // any byte strides: one scalar load per lane element
  path_contiguous,  // row stride 8 for all six (Fortran order): a vector is one load
  step_contiguous,  // column stride 8 for all six (C order): two steps per row load
};

struct GammaArray {
  const std::byte* base;  // the group's first path at step 0
  std::ptrdiff_t row_stride;
  std::ptrdiff_t col_stride;
};

// first_path < m.rows: the address is that of an element of the array.
inline GammaArray gamma_array(const MatrixView& m, std::size_t first_path) noexcept {
  return GammaArray{m.data + static_cast<std::ptrdiff_t>(first_path) * m.row_stride, m.row_stride,
                    m.col_stride};
}

// The six arrays of a group, in the order sigma, dws, mu', sigma', mu'', sigma''.
struct GammaArrays {
  GammaArray s, w, mu, sd, mu2, sd2;
  GammaArrays(const TangentFlowGammaInputs& in, std::size_t first) noexcept
      : s(gamma_array(in.flow.sigma, first)),
        w(gamma_array(in.flow.dws, first)),
        mu(gamma_array(in.flow.d_mu_dx, first)),
        sd(gamma_array(in.flow.d_sigma_dx, first)),
        mu2(gamma_array(in.d2_mu_dx2, first)),
        sd2(gamma_array(in.d2_sigma_dx2, first)) {}
};

// C order: while a group computes, the rows of the next group are asked for, a
// few cache lines per step pair and array, walking each of its rows from the
// start. Every array of a C-order batch is then read as one sequential stream
// of rows, as a one-path-at-a-time loop reads it, instead of the many short
// interleaved row streams of a group, which outnumber what the hardware
// prefetchers track. (A prefetch is only a hint: it never faults.) The next
// group may lie past the last path, so its addresses are formed as integers
// (wrapping, never undefined) and only those of existing rows are prefetched.
class NextGroupRows {
 public:
  NextGroupRows(const TangentFlowGammaInputs& in, std::size_t first, std::size_t rows,
                std::size_t n_steps, std::size_t split, std::size_t calls) noexcept
      : rows_(rows) {
    const MatrixView* arrays[6] = {&in.flow.sigma,      &in.flow.dws,  &in.flow.d_mu_dx,
                                   &in.flow.d_sigma_dx, &in.d2_mu_dx2, &in.d2_sigma_dx2};
    for (int k = 0; k < 6; ++k) {
      // The second derivatives are read in the first interval only.
      const std::size_t cols = k < 4 ? n_steps : split;
      const auto row_stride = static_cast<std::uintptr_t>(arrays[k]->row_stride);
      cursor_[k] = Cursor{reinterpret_cast<std::uintptr_t>(arrays[k]->data) + first * row_stride,
                          row_stride, cols * sizeof(double)};
    }
    const std::size_t lines = rows * (n_steps * sizeof(double) / 64 + 2);
    per_call_ = calls == 0 ? 0 : (lines + calls - 1) / calls;
  }
  void step() noexcept {
    for (Cursor& c : cursor_) {
      for (std::size_t k = 0; k < per_call_ && c.row < rows_; ++k) {
        __builtin_prefetch(
            reinterpret_cast<const void*>(c.base + c.row * c.row_stride + c.offset), 0, 3);
        // Lines at 64-byte steps, then the row's last byte (an unaligned row
        // ends in a line of its own).
        if (c.offset + 1 == c.bytes) {
          ++c.row;
          c.offset = 0;
        } else {
          c.offset = c.offset + 64 < c.bytes ? c.offset + 64 : c.bytes - 1;
        }
      }
    }
  }

 private:
  struct Cursor {
    std::uintptr_t base;        // row 0 of the next group, as an integer
    std::uintptr_t row_stride;  // two's complement: adding it wraps as a signed step would
    std::size_t bytes;
    std::size_t row = 0, offset = 0;
  };
  Cursor cursor_[6];
  std::size_t rows_;
  std::size_t per_call_ = 0;
};

// One group of `lanes` <= kWidth * R paths from `first` (lanes < G only with the
// gather layout); writes the raw gamma weights to gamma_out[0 .. lanes) and, with
// WithDelta, the raw delta weights to delta_out[0 .. lanes). Between two runs of
// kKernelPaceSteps steps it asks kernel_pace, and returns without writing when
// that says stop.
template <class L, std::size_t R, GammaLayout Layout, bool WithDelta>
inline void gamma_group(const TangentFlowGammaInputs& in, std::size_t first, std::size_t lanes,
                        double* gamma_out, double* delta_out) noexcept {
  using V = typename L::V;
  constexpr std::size_t W = L::kWidth;
  constexpr std::size_t G = W * R;
  const GammaConstants<L> cst(in);
  const GammaArrays g(in, first);
  GammaState<L, WithDelta> st[R];
  for (std::size_t r = 0; r < R; ++r) st[r].start();
  const std::size_t m = in.split;
  const std::size_t n = in.flow.n_steps;

  if constexpr (Layout == GammaLayout::path_contiguous) {
    const auto at = [](const GammaArray& a, std::size_t j, std::size_t r) {
      return L::loadu(a.base + static_cast<std::ptrdiff_t>(j) * a.col_stride +
                      static_cast<std::ptrdiff_t>(r * W * sizeof(double)));
    };
    const auto first_run = [&](std::size_t begin, std::size_t end) {
      for (std::size_t j = begin; j < end; ++j) {
#pragma GCC unroll 8
        for (std::size_t r = 0; r < R; ++r)
          first_step(st[r], at(g.s, j, r), at(g.w, j, r), at(g.mu, j, r), at(g.sd, j, r),
                     at(g.mu2, j, r), at(g.sd2, j, r), cst);
      }
      return true;
    };
    const auto second_run = [&](std::size_t begin, std::size_t end) {
      for (std::size_t j = begin; j < end; ++j) {
#pragma GCC unroll 8
        for (std::size_t r = 0; r < R; ++r)
          second_step(st[r], at(g.s, j, r), at(g.w, j, r), at(g.mu, j, r), at(g.sd, j, r), cst);
      }
      return true;
    };
    if (!paced_steps(0, m, G, first_run) || !paced_steps(m, n, G, second_run)) return;
  } else if constexpr (Layout == GammaLayout::step_contiguous) {
    // Two steps at a time: per lane a 16-byte load of steps (j, j + 1),
    // transposed into one vector for step j and one for step j + 1. A lone step
    // at the end of an interval is gathered row by row.
    constexpr std::ptrdiff_t kD = sizeof(double);
    const auto pair = [&](const GammaArray& a, std::size_t j, std::size_t r, V& v0, V& v1) {
      L::load_pair(a.base + static_cast<std::ptrdiff_t>(j) * kD, a.row_stride, r * W, v0, v1);
    };
    const auto one = [&](const GammaArray& a, std::size_t j, std::size_t r) {
      return L::gather_rows(a.base + static_cast<std::ptrdiff_t>(j) * kD, a.row_stride, r * W);
    };
    const std::size_t past = first + G;
    const std::size_t left = past < in.flow.n_paths ? in.flow.n_paths - past : 0;
    const std::size_t next_rows = left < G ? left : G;
    NextGroupRows next(in, past, next_rows, n, m, n / 2);
    // The pairs of each interval, in runs of kKernelPaceSteps (even) steps.
    const auto first_pairs = [&](std::size_t begin, std::size_t end) {
      for (std::size_t j = begin; j < end; j += 2) {
        next.step();
#pragma GCC unroll 8
        for (std::size_t r = 0; r < R; ++r) {
          V s0, s1, w0, w1, m0, m1, d0, d1, p0, p1, q0, q1;
          pair(g.s, j, r, s0, s1);
          pair(g.w, j, r, w0, w1);
          pair(g.mu, j, r, m0, m1);
          pair(g.sd, j, r, d0, d1);
          pair(g.mu2, j, r, p0, p1);
          pair(g.sd2, j, r, q0, q1);
          first_step(st[r], s0, w0, m0, d0, p0, q0, cst);
          first_step(st[r], s1, w1, m1, d1, p1, q1, cst);
        }
      }
      return true;
    };
    const auto second_pairs = [&](std::size_t begin, std::size_t end) {
      for (std::size_t j = begin; j < end; j += 2) {
        next.step();
#pragma GCC unroll 8
        for (std::size_t r = 0; r < R; ++r) {
          V s0, s1, w0, w1, m0, m1, d0, d1;
          pair(g.s, j, r, s0, s1);
          pair(g.w, j, r, w0, w1);
          pair(g.mu, j, r, m0, m1);
          pair(g.sd, j, r, d0, d1);
          second_step(st[r], s0, w0, m0, d0, cst);
          second_step(st[r], s1, w1, m1, d1, cst);
        }
      }
      return true;
    };
    std::size_t j = m - m % 2;
    if (!paced_steps(0, j, G, first_pairs)) return;
    if (j < m) {
#pragma GCC unroll 8
      for (std::size_t r = 0; r < R; ++r)
        first_step(st[r], one(g.s, j, r), one(g.w, j, r), one(g.mu, j, r), one(g.sd, j, r),
                   one(g.mu2, j, r), one(g.sd2, j, r), cst);
      ++j;
    }
    if (!paced_steps(j, n - (n - j) % 2, G, second_pairs)) return;
    j = n - (n - j) % 2;
    if (j < n) {
#pragma GCC unroll 8
      for (std::size_t r = 0; r < R; ++r)
        second_step(st[r], one(g.s, j, r), one(g.w, j, r), one(g.mu, j, r), one(g.sd, j, r),
                    cst);
    }
  } else {
    const GatherOffsets<L, R> os(g.s.row_stride, lanes), ow(g.w.row_stride, lanes),
        om(g.mu.row_stride, lanes), od(g.sd.row_stride, lanes), op(g.mu2.row_stride, lanes),
        oq(g.sd2.row_stride, lanes);
    const auto at = [](const GammaArray& a, const GatherOffsets<L, R>& o, std::size_t j,
                       std::size_t r) {
      return L::gather(a.base + static_cast<std::ptrdiff_t>(j) * a.col_stride, o.lane + r * W);
    };
    const auto first_run = [&](std::size_t begin, std::size_t end) {
      for (std::size_t j = begin; j < end; ++j) {
#pragma GCC unroll 8
        for (std::size_t r = 0; r < R; ++r)
          first_step(st[r], at(g.s, os, j, r), at(g.w, ow, j, r), at(g.mu, om, j, r),
                     at(g.sd, od, j, r), at(g.mu2, op, j, r), at(g.sd2, oq, j, r), cst);
      }
      return true;
    };
    const auto second_run = [&](std::size_t begin, std::size_t end) {
      for (std::size_t j = begin; j < end; ++j) {
#pragma GCC unroll 8
        for (std::size_t r = 0; r < R; ++r)
          second_step(st[r], at(g.s, os, j, r), at(g.w, ow, j, r), at(g.mu, om, j, r),
                      at(g.sd, od, j, r), cst);
      }
      return true;
    };
    if (!paced_steps(0, m, G, first_run) || !paced_steps(m, n, G, second_run)) return;
  }

  double gm[G];
  double dl[G];
  for (std::size_t r = 0; r < R; ++r) {
    L::storeu(gm + r * W, gamma_weight(st[r], cst));
    if constexpr (WithDelta) L::storeu(dl + r * W, st[r].acc);
  }
  std::memcpy(gamma_out, gm, lanes * sizeof(double));
  if constexpr (WithDelta) std::memcpy(delta_out, dl, lanes * sizeof(double));
}

template <class L, std::size_t R, GammaLayout Layout, bool WithDelta>
inline void gamma_lane_kernel(const TangentFlowGammaInputs& in, std::size_t first,
                              std::size_t count, double* gamma_out, double* delta_out) noexcept {
  constexpr std::size_t G = L::kWidth * R;
  std::size_t done = 0;
  for (; done + G <= count; done += G)
    gamma_group<L, R, Layout, WithDelta>(in, first + done, G, gamma_out + done,
                                         WithDelta ? delta_out + done : nullptr);
  if (done < count)
    gamma_group<L, R, GammaLayout::gather, WithDelta>(in, first + done, count - done,
                                                      gamma_out + done,
                                                      WithDelta ? delta_out + done : nullptr);
}

// Fortran order, many paths at once: a block of B paths advances step by step,
// its running state kept in (L1-resident) arrays, so that every step reads
// B * 8 contiguous bytes of each array, long runs inside one page that the
// hardware prefetchers follow, instead of one line per array and step for a
// register group. Every lane still performs its own path's operations in order.
template <class L, std::size_t B, bool WithDelta>
inline void gamma_path_block(const TangentFlowGammaInputs& in, std::size_t first,
                             double* gamma_out, double* delta_out) noexcept {
  constexpr std::size_t W = L::kWidth;
  static_assert(B % W == 0);
  const GammaConstants<L> cst(in);
  const GammaArrays g(in, first);
  alignas(64) double ys[B], zs[B], as[B], bs[B], cs[B], accs[WithDelta ? B : 1];
  for (std::size_t k = 0; k < B; ++k) {
    ys[k] = 1.0;
    zs[k] = as[k] = bs[k] = cs[k] = 0.0;
    if constexpr (WithDelta) accs[k] = 0.0;
  }
  const auto at = [](const GammaArray& a, std::size_t j, std::size_t lane) {
    return L::loadu(a.base + static_cast<std::ptrdiff_t>(j) * a.col_stride +
                    static_cast<std::ptrdiff_t>(lane * sizeof(double)));
  };
  // The steps of each interval, in runs of kKernelPaceSteps.
  const auto first_run = [&](std::size_t begin, std::size_t end) {
    for (std::size_t j = begin; j < end; ++j) {
#pragma GCC unroll 2
      for (std::size_t lane = 0; lane < B; lane += W) {
        GammaState<L, WithDelta> st;
        st.y = L::loada(ys + lane);
        st.b = L::loada(bs + lane);
        if constexpr (WithDelta) st.acc = L::loada(accs + lane);
        st.z = L::loada(zs + lane);
        st.a = L::loada(as + lane);
        st.c = L::loada(cs + lane);
        first_step(st, at(g.s, j, lane), at(g.w, j, lane), at(g.mu, j, lane), at(g.sd, j, lane),
                   at(g.mu2, j, lane), at(g.sd2, j, lane), cst);
        L::storea(zs + lane, st.z);
        L::storea(as + lane, st.a);
        L::storea(cs + lane, st.c);
        L::storea(ys + lane, st.y);
        if constexpr (WithDelta) L::storea(accs + lane, st.acc);
      }
    }
    return true;
  };
  const auto second_run = [&](std::size_t begin, std::size_t end) {
    for (std::size_t j = begin; j < end; ++j) {
#pragma GCC unroll 2
      for (std::size_t lane = 0; lane < B; lane += W) {
        GammaState<L, WithDelta> st;
        st.y = L::loada(ys + lane);
        st.b = L::loada(bs + lane);
        if constexpr (WithDelta) st.acc = L::loada(accs + lane);
        second_step(st, at(g.s, j, lane), at(g.w, j, lane), at(g.mu, j, lane), at(g.sd, j, lane),
                    cst);
        L::storea(bs + lane, st.b);
        L::storea(ys + lane, st.y);
        if constexpr (WithDelta) L::storea(accs + lane, st.acc);
      }
    }
    return true;
  };
  const std::size_t m = in.split;
  if (!paced_steps(0, m, B, first_run) || !paced_steps(m, in.flow.n_steps, B, second_run)) return;
  for (std::size_t lane = 0; lane < B; lane += W) {
    GammaState<L, WithDelta> st;
    st.a = L::loada(as + lane);
    st.b = L::loada(bs + lane);
    st.c = L::loada(cs + lane);
    L::storeu(gamma_out + lane, gamma_weight(st, cst));
  }
  if constexpr (WithDelta) std::memcpy(delta_out, accs, sizeof accs);
}

// Blocks of B paths, then register groups of R vectors for the rest.
template <class L, std::size_t B, std::size_t R, bool WithDelta>
inline void gamma_path_block_kernel(const TangentFlowGammaInputs& in, std::size_t first,
                                    std::size_t count, double* gamma_out,
                                    double* delta_out) noexcept {
  std::size_t done = 0;
  for (; done + B <= count; done += B)
    gamma_path_block<L, B, WithDelta>(in, first + done, gamma_out + done,
                                      WithDelta ? delta_out + done : nullptr);
  if (done < count)
    gamma_lane_kernel<L, R, GammaLayout::path_contiguous, WithDelta>(
        in, first + done, count - done, gamma_out + done, WithDelta ? delta_out + done : nullptr);
}

inline bool gamma_all_path_contiguous(const TangentFlowGammaInputs& in) noexcept {
  constexpr std::ptrdiff_t k = sizeof(double);
  return in.flow.sigma.row_stride == k && in.flow.dws.row_stride == k &&
         in.flow.d_mu_dx.row_stride == k && in.flow.d_sigma_dx.row_stride == k &&
         in.d2_mu_dx2.row_stride == k && in.d2_sigma_dx2.row_stride == k;
}

inline bool gamma_all_step_contiguous(const TangentFlowGammaInputs& in) noexcept {
  constexpr std::ptrdiff_t k = sizeof(double);
  return in.flow.sigma.col_stride == k && in.flow.dws.col_stride == k &&
         in.flow.d_mu_dx.col_stride == k && in.flow.d_sigma_dx.col_stride == k &&
         in.d2_mu_dx2.col_stride == k && in.d2_sigma_dx2.col_stride == k;
}

// The raw kernel of one target: the layout decides the loads, R the number of
// independent register chains.
template <class L, std::size_t RC, std::size_t RF, std::size_t RG, bool WithDelta>
inline void gamma_raw(const TangentFlowGammaInputs& in, std::size_t first, std::size_t count,
                      double* gamma_out, double* delta_out) noexcept {
  if (gamma_all_step_contiguous(in)) {
    gamma_lane_kernel<L, RC, GammaLayout::step_contiguous, WithDelta>(in, first, count, gamma_out,
                                                                     delta_out);
  } else if (gamma_all_path_contiguous(in)) {
    gamma_path_block_kernel<L, 256, RF, WithDelta>(in, first, count, gamma_out, delta_out);
  } else {
    gamma_lane_kernel<L, RG, GammaLayout::gather, WithDelta>(in, first, count, gamma_out,
                                                            delta_out);
  }
}

}  // namespace
}  // namespace quorvane::detail
