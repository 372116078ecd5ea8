// The single-pass loops over per-path or per-sample vectors, as bodies over lane
// traits: the sample sums, the constant-flow weights and the fused price/delta
// sums of both estimators.
//
// A body is a small struct with `step<L>(k)`, the work of elements k .. k +
// L::kWidth - 1, and `prefetch(k)`; `walk` runs it over a range with the vector
// trait and then over the remainder with ScalarLanes, so the tail is the
// one-lane instance of the same body. Sums are PairSum lanes fed element by
// element in index order (lanes.hpp): however wide the trait, each of S1 and
// S2 stays one accumulator updated in index order.
//
// Internal linkage throughout, like lanes.hpp: bodies read the views' data
// members only, so they can be instantiated in an AVX2 translation unit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/payoffs/payoffs.hpp"
#include "core/statistics/statistics.hpp"
#include "core/lanes/lanes.hpp"
#include "core/views/views.hpp"

namespace quorvane::detail {
namespace {

// A read-only vector of doubles: contiguous (vector loads, prefetched ahead) or
// any byte stride (each lane a scalar load).
template <bool Contiguous>
struct Stream {
  const std::byte* data;
  std::ptrdiff_t stride;  // bytes; sizeof(double) when Contiguous

  static Stream of(const VectorView& v) noexcept {
    return Stream{v.data, Contiguous ? static_cast<std::ptrdiff_t>(sizeof(double)) : v.stride};
  }
  static Stream of(const double* p) noexcept {
    return Stream{reinterpret_cast<const std::byte*>(p), sizeof(double)};
  }
  const std::byte* at(std::size_t k) const noexcept {
    return data + static_cast<std::ptrdiff_t>(k) * stride;
  }
  template <class L>
  typename L::V load(std::size_t k) const noexcept {
    if constexpr (Contiguous) {
      return L::loadu(at(k));
    } else {
      return L::gather_rows(at(k), stride, 0);
    }
  }
  void prefetch(std::size_t k) const noexcept {
    if constexpr (Contiguous) prefetch_ahead(at(k));
  }
};

// body.step<L>(k) for k = first, first + W, ... while a whole step fits below
// `last`, with one prefetch per cache line of elements; returns the first
// index not done (last - first is then below W).
template <class L, class Body>
inline std::size_t walk_lanes(Body& body, std::size_t first, std::size_t last) noexcept {
  constexpr std::size_t W = L::kWidth;
  constexpr std::size_t kLine = kCacheLineBytes / sizeof(double);
  static_assert(kLine % W == 0);
  std::size_t k = first;
  for (; k + kLine <= last; k += kLine) {
    body.prefetch(k);
#pragma GCC unroll 8
    for (std::size_t q = 0; q < kLine; q += W) body.template step<L>(k + q);
  }
  for (; k + W <= last; k += W) body.template step<L>(k);
  return k;
}

// Elements [first, last): vector steps, then the scalar instance for the rest.
template <class L, class Body>
inline void walk(Body& body, std::size_t first, std::size_t last) noexcept {
  walk_lanes<ScalarLanes>(body, walk_lanes<L>(body, first, last), last);
}

// S1 = sum x, S2 = sum x * x over a stream, as one PairSum [S1, S2].
template <bool Contiguous>
struct SampleSums {
  Stream<Contiguous> x;
  PairSum sums{};
  template <class L>
  void step(std::size_t k) noexcept {
    const typename L::V v = x.template load<L>(k);
    L::fold(sums, v, L::mul(v, v));
  }
  void prefetch(std::size_t k) const noexcept { x.prefetch(k); }
};

// out[k] = W_k * r: one rounded multiplication by the rounded reciprocal.
template <bool Contiguous>
struct ScaleByReciprocal {
  Stream<Contiguous> w;
  double r;
  double* out;
  template <class L>
  void step(std::size_t k) noexcept {
    L::storeu(out + k, L::mul(w.template load<L>(k), L::set1(r)));
  }
  void prefetch(std::size_t k) const noexcept { w.prefetch(k); }
};

// The constant-flow weights out[k] = W_k * r of a whole view.
template <class L>
inline void scale_by_reciprocal(const VectorView& w, double r, double* out) noexcept {
  if (w.stride == static_cast<std::ptrdiff_t>(sizeof(double))) {
    ScaleByReciprocal<true> body{Stream<true>::of(w), r, out};
    walk<L>(body, 0, w.length);
  } else {
    ScaleByReciprocal<false> body{Stream<false>::of(w), r, out};
    walk<L>(body, 0, w.length);
  }
}

// The fused price/delta sums of path k: p = payoff(X_k); the delta sample is
// d = (W_k * p) * r when Scaled (constant flow: W the terminal Brownian value,
// r the reciprocal), else d = w_k * p (tangent flow: w the path's weight).
// first = [S1 payoff, S1 delta], second = [S2 payoff, S2 delta].
template <class Payoff, bool Scaled, class XStream, class WStream>
struct PriceSums {
  XStream x;
  WStream w;
  double strike;
  double r;  // used when Scaled
  PairSum first{}, second{};
  template <class L>
  void step(std::size_t k) noexcept {
    using V = typename L::V;
    const V p = Payoff::template eval<L>(x.template load<L>(k), L::set1(strike));
    V d = L::mul(w.template load<L>(k), p);
    if constexpr (Scaled) d = L::mul(d, L::set1(r));
    L::fold_with_squares(first, second, p, d);
  }
  void prefetch(std::size_t k) const noexcept {
    x.prefetch(k);
    w.prefetch(k);
  }
  Estimate estimate(std::uint64_t n) const noexcept {
    return make_estimate(RunningSums{first.first(), second.first()},
                         RunningSums{first.second(), second.second()}, n);
  }
};

}  // namespace
}  // namespace quorvane::detail
