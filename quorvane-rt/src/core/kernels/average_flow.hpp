// The constant-flow average weight as a body over lane traits: paths side by
// side in lanes, each path's sums and weight with exactly the operations of
// AverageConstantFlow::weight (core/weights/average.hpp):
//
//   A = a_0 S_0,  B = (a_0 t_0) S_0,  C = ((a_0 t_0) t_0) S_0, then in
//   increasing k: A = A + a_k S_k, B = B + (a_k t_k) S_k,
//   C = C + ((a_k t_k) t_k) S_k;
//   pi = (((W * A) / B) - (s * (1 - ((A * C) / (B * B))))) / sigma0.
//
// A is also the weighted average of the path (PathFunctional's, a_0 S_0 then
// + a_k S_k), which the fused price reads from here.
//
// The products a_k t_k and (a_k t_k) t_k are the same for every path: formed
// once per call into a table when the dates fit in it, else once per date of
// each group (the same roundings either way).
//
// Layouts: C order (dates contiguous in a row) reads two dates of a group of
// rows at once and transposes them in registers (the lanes' load_pair). The
// rows of a group of a C-ordered array are one contiguous block, and the block
// of the next group is prefetched into L2 while this one runs, spread evenly
// over the group's loads as in the tangent-flow kernels' C-order source
// (core/kernels/recursion_groups.hpp): memory then streams in one long run
// instead of waiting on the group's row streams, more than the hardware
// prefetchers follow (at 1,000,000 x 52 on AVX2 this took the weights from 60
// to 35 ms). Fortran order (paths contiguous in a column) loads a date of the
// group as one vector (prefetching each column 8 KiB ahead measured slower);
// any other strides build each vector from scalar loads.
//
// Internal linkage and data members only, like lanes.hpp: instantiated in the
// AVX2 and AVX-512 translation units.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/kernels/kernels.hpp"
#include "core/lanes/lanes.hpp"

namespace quorvane::detail {
namespace {

// The per-date products of a date: a_k, a_k t_k, (a_k t_k) t_k.
struct DateProducts {
  double a, at, att;
};

inline DateProducts date_products(const AverageFlowKernelInputs& in, std::size_t k) noexcept {
  const double a = lane_load(in.weights + static_cast<std::ptrdiff_t>(k) * in.weights_stride);
  const double t = lane_load(in.times + static_cast<std::ptrdiff_t>(k) * in.times_stride);
  const double at = a * t;
  return {a, at, at * t};
}

// Dates up to this many take their products from a table made once per call.
inline constexpr std::size_t kAverageTableDates = 256;

struct TabledProducts {
  const DateProducts* table;
  DateProducts operator()(std::size_t k) const noexcept { return table[k]; }
};

struct FormedProducts {
  const AverageFlowKernelInputs* in;
  DateProducts operator()(std::size_t k) const noexcept { return date_products(*in, k); }
};

// Where a group's values of one date are. `base` is the address of (first row
// of the group, date 0); `lane0` the group's lane offset of a chain.
enum class AverageLayout { rows, columns, any };

template <class L, AverageLayout Layout>
inline typename L::V date_of(const AverageFlowKernelInputs& in, const std::byte* base, std::size_t lane0,
                             std::size_t k) noexcept {
  const std::byte* p = base + static_cast<std::ptrdiff_t>(k) * in.col_stride;
  if constexpr (Layout == AverageLayout::columns) {
    return L::loadu(p + static_cast<std::ptrdiff_t>(lane0) * in.row_stride);
  } else {
    return L::gather_rows(p, in.row_stride, lane0);
  }
}

// Dates k and k + 1 of a group's lanes.
template <class L, AverageLayout Layout>
inline void dates_of(const AverageFlowKernelInputs& in, const std::byte* base, std::size_t lane0,
                     std::size_t k, typename L::V& s0, typename L::V& s1) noexcept {
  if constexpr (Layout == AverageLayout::rows) {
    L::load_pair(base + static_cast<std::ptrdiff_t>(k) * in.col_stride, in.row_stride, lane0, s0, s1);
  } else {
    s0 = date_of<L, Layout>(in, base, lane0, k);
    s1 = date_of<L, Layout>(in, base, lane0, k + 1);
  }
}

// One group of Chains * L::kWidth paths from `row`: the weights into w_out
// (when Weights) and the averages A into a_out (when not null).
template <class L, std::size_t Chains, AverageLayout Layout, bool Weights, class Products>
[[gnu::always_inline]] inline void average_flow_group(const AverageFlowKernelInputs& in,
                                                      const Products& products, std::size_t row,
                                                      double* w_out, double* a_out) noexcept {
  using V = typename L::V;
  constexpr std::size_t W = L::kWidth;
  const std::size_t n = in.n_dates;
  const std::byte* const base = in.states + static_cast<std::ptrdiff_t>(row) * in.row_stride;
  V a[Chains], b[Chains], c[Chains];
  // Date k's terms of each chain: A + a_k S, B + (a_k t_k) S, C + ((a_k t_k) t_k) S.
  const auto add = [&](std::size_t m, const DateProducts& p, V s) noexcept {
    a[m] = L::add(a[m], L::mul(L::set1(p.a), s));
    if constexpr (Weights) {
      b[m] = L::add(b[m], L::mul(L::set1(p.at), s));
      c[m] = L::add(c[m], L::mul(L::set1(p.att), s));
    }
  };
  const auto start = [&](std::size_t m, const DateProducts& p, V s) noexcept {
    a[m] = L::mul(L::set1(p.a), s);
    if constexpr (Weights) {
      b[m] = L::mul(L::set1(p.at), s);
      c[m] = L::mul(L::set1(p.att), s);
    }
  };
  // The next group's block, when the rows are packed and that group is whole;
  // each pair of dates of a chain prefetches as many bytes of it as it loads.
  constexpr std::size_t kFetchBytes = 2 * W * sizeof(double);
  const bool prefetching = Layout == AverageLayout::rows && W > 1 &&
                           in.row_stride == static_cast<std::ptrdiff_t>(n * sizeof(double)) &&
                           row + 2 * Chains * W <= in.n_paths;
  const std::uintptr_t ahead = reinterpret_cast<std::uintptr_t>(base) + Chains * W * n * sizeof(double);
  const auto prefetch = [&](std::size_t k, std::size_t m) noexcept {
    if (!prefetching) return;
    const std::uintptr_t at = ahead + ((k / 2) * Chains + m) * kFetchBytes;
    for (std::size_t done = 0; done < kFetchBytes; done += kCacheLineBytes) prefetch_l2(at + done);
  };
  std::size_t k = 0;
  if (n >= 2) {
    const DateProducts p0 = products(0), p1 = products(1);
    V s0[Chains], s1[Chains];
    for (std::size_t m = 0; m < Chains; ++m) {
      prefetch(0, m);
      dates_of<L, Layout>(in, base, m * W, 0, s0[m], s1[m]);
    }
    for (std::size_t m = 0; m < Chains; ++m) start(m, p0, s0[m]);
    for (std::size_t m = 0; m < Chains; ++m) add(m, p1, s1[m]);
    k = 2;
  } else {
    const DateProducts p0 = products(0);
    for (std::size_t m = 0; m < Chains; ++m) start(m, p0, date_of<L, Layout>(in, base, m * W, 0));
    k = 1;
  }
  for (; k + 2 <= n; k += 2) {
    const DateProducts p0 = products(k), p1 = products(k + 1);
    V s0[Chains], s1[Chains];
    for (std::size_t m = 0; m < Chains; ++m) {
      prefetch(k, m);
      dates_of<L, Layout>(in, base, m * W, k, s0[m], s1[m]);
    }
    for (std::size_t m = 0; m < Chains; ++m) add(m, p0, s0[m]);
    for (std::size_t m = 0; m < Chains; ++m) add(m, p1, s1[m]);
  }
  if (k < n) {
    const DateProducts p = products(k);
    for (std::size_t m = 0; m < Chains; ++m) add(m, p, date_of<L, Layout>(in, base, m * W, k));
  }
  for (std::size_t m = 0; m < Chains; ++m) {
    if (a_out != nullptr) L::storeu(a_out + m * W, a[m]);
    if constexpr (Weights) {
      const std::byte* const wp = in.w_terminals + static_cast<std::ptrdiff_t>(row + m * W) * in.w_stride;
      const V w = in.w_stride == static_cast<std::ptrdiff_t>(sizeof(double)) ? L::loadu(wp)
                                                                             : L::gather_rows(wp, in.w_stride, 0);
      // (((W * A) / B) - (s * (1 - ((A * C) / (B * B))))) / sigma0
      const V ratio = L::div(L::mul(a[m], c[m]), L::mul(b[m], b[m]));
      const V tilt = L::mul(L::set1(in.slope), L::sub(L::set1(1.0), ratio));
      L::storeu(w_out + m * W, L::div(L::sub(L::div(L::mul(w, a[m]), b[m]), tilt), L::set1(in.sigma0)));
    }
  }
}

// Paths [first, first + count): whole groups of Chains vectors, then single
// vectors, then one path at a time (the ScalarLanes instance of the same group).
template <class L, std::size_t Chains, AverageLayout Layout, bool Weights, class Products>
inline void average_flow_paths(const AverageFlowKernelInputs& in, const Products& products,
                               std::size_t first, std::size_t count, double* w_out,
                               double* a_out) noexcept {
  constexpr std::size_t W = L::kWidth;
  std::size_t i = 0;
  const auto at = [&](double* p) noexcept { return p == nullptr ? p : p + i; };
  for (; i + Chains * W <= count; i += Chains * W)
    average_flow_group<L, Chains, Layout, Weights>(in, products, first + i, at(w_out), at(a_out));
  if constexpr (Chains > 1)
    for (; i + W <= count; i += W)
      average_flow_group<L, 1, Layout, Weights>(in, products, first + i, at(w_out), at(a_out));
  if constexpr (W > 1)
    for (; i < count; ++i)
      average_flow_group<ScalarLanes, 1, Layout, Weights>(in, products, first + i, at(w_out), at(a_out));
}

template <class L, std::size_t Chains, bool Weights, class Products>
inline void average_flow_laid(const AverageFlowKernelInputs& in, const Products& products,
                              std::size_t first, std::size_t count, double* w_out, double* a_out) noexcept {
  constexpr std::ptrdiff_t k8 = sizeof(double);
  if (in.col_stride == k8) {
    average_flow_paths<L, Chains, AverageLayout::rows, Weights>(in, products, first, count, w_out, a_out);
  } else if (in.row_stride == k8) {
    average_flow_paths<L, Chains, AverageLayout::columns, Weights>(in, products, first, count, w_out, a_out);
  } else {
    average_flow_paths<L, Chains, AverageLayout::any, Weights>(in, products, first, count, w_out, a_out);
  }
}

template <class L, std::size_t Chains, bool Weights>
inline void average_flow_products(const AverageFlowKernelInputs& in, std::size_t first, std::size_t count,
                                  double* w_out, double* a_out) noexcept {
  if (in.n_dates <= kAverageTableDates) {
    DateProducts table[kAverageTableDates];
    for (std::size_t k = 0; k < in.n_dates; ++k) table[k] = date_products(in, k);
    average_flow_laid<L, Chains, Weights>(in, TabledProducts{table}, first, count, w_out, a_out);
  } else {
    average_flow_laid<L, Chains, Weights>(in, FormedProducts{&in}, first, count, w_out, a_out);
  }
}

// The AverageFlowKernel of target L (Chains vectors of paths per group).
template <class L, std::size_t Chains>
inline void average_flow(const AverageFlowKernelInputs& in, std::size_t first, std::size_t count,
                         double* weights, double* averages) noexcept {
  if (count == 0 || in.n_dates == 0) return;
  if (weights != nullptr) {
    average_flow_products<L, Chains, true>(in, first, count, weights, averages);
  } else {
    average_flow_products<L, Chains, false>(in, first, count, nullptr, averages);
  }
}

}  // namespace
}  // namespace quorvane::detail
