// The single-pass loops over per-path or per-sample vectors, as bodies over lane
// traits: the sample sums, the constant-flow weights (delta, gamma, vega) and
// the fused sums of every price_and_* estimator.
//
// A body is a small struct with `step<L>(k)`, the work of elements k .. k +
// L::kWidth - 1, and `prefetch(k)`; `walk` runs it over a range with the vector
// trait and then over the remainder with ScalarLanes, so the tail is the
// one-lane instance of the same body. Sums are SumRegisters fed path by path in
// index order: however wide the trait, each S1 and S2 stays one accumulator
// updated in index order, and they end as the one LaneSums type
// (core/statistics/statistics.hpp).
//
// Internal linkage throughout, like lanes.hpp: bodies read the views' data
// members only, so they can be instantiated in an AVX2 translation unit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/lanes/lanes.hpp"
#include "core/payoffs/payoffs.hpp"
#include "core/recursions/constant_flow_formulas.hpp"
#include "core/statistics/statistics.hpp"
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

// The running sums of K estimates in registers of S (Sse2Sums, Avx2Sums): a
// path's row of 2K sums, [S1 of lanes 0 .. K), then [S2 of lanes 0 .. K),
// side by side in kRegs registers, each register lane one accumulator. add<L>
// takes the K sample vectors of kWidth paths of trait L, transposes them into
// one row per path, and adds the rows path by path in index order. When K is a
// multiple of the register width the squares are taken of the transposed
// rows; else of the vectors before the transpose: the same rounded values.
template <std::size_t K, class S>
struct SumRegisters {
  static constexpr std::size_t A = S::kWidth;
  static constexpr bool kSquaresAfter = K % A == 0;
  static constexpr std::size_t kRegs = 2 * K / A;
  static_assert((2 * K) % A == 0);
  typename S::R r[kRegs];

  SumRegisters() noexcept {
    for (std::size_t m = 0; m < kRegs; ++m) r[m] = S::zero();
  }
  // Carrying on from sums already made.
  explicit SumRegisters(const LaneSums<K>& from) noexcept {
    double row[2 * K];
    for (std::size_t k = 0; k < K; ++k) {
      row[k] = from.s1[k];
      row[K + k] = from.s2[k];
    }
    for (std::size_t m = 0; m < kRegs; ++m) r[m] = S::loadu(row + m * A);
  }

  // Always inlined: it is the body of the hot loop, and a call there (which
  // the compiler chose once the kernel file had grown) kept the sums in
  // memory and cost a third of the constant-flow Greeks' speed.
  template <class L>
  [[gnu::always_inline]] inline void add(const typename L::V (&x)[K]) noexcept {
    constexpr std::size_t W = L::kWidth;
    if constexpr (kSquaresAfter) {
      typename S::R rows[K / A][W];
#pragma GCC unroll 4
      for (std::size_t m = 0; m < K / A; ++m) L::template rows<S>(x + m * A, rows[m]);
#pragma GCC unroll 4
      for (std::size_t i = 0; i < W; ++i) {
#pragma GCC unroll 4
        for (std::size_t m = 0; m < K / A; ++m) {
          r[m] = S::add(r[m], rows[m][i]);
          r[K / A + m] = S::add(r[K / A + m], S::mul(rows[m][i], rows[m][i]));
        }
      }
    } else {
      typename L::V all[2 * K];
#pragma GCC unroll 8
      for (std::size_t k = 0; k < K; ++k) {
        all[k] = x[k];
        all[K + k] = L::mul(x[k], x[k]);
      }
      typename S::R rows[kRegs][W];
#pragma GCC unroll 8
      for (std::size_t m = 0; m < kRegs; ++m) L::template rows<S>(all + m * A, rows[m]);
#pragma GCC unroll 4
      for (std::size_t i = 0; i < W; ++i) {
#pragma GCC unroll 8
        for (std::size_t m = 0; m < kRegs; ++m) r[m] = S::add(r[m], rows[m][i]);
      }
    }
  }

  // The sums of the n paths added.
  LaneSums<K> sums(std::uint64_t n) const noexcept {
    double row[2 * K];
    for (std::size_t m = 0; m < kRegs; ++m) S::storeu(row + m * A, r[m]);
    LaneSums<K> out;
    out.n = n;
    for (std::size_t k = 0; k < K; ++k) {
      out.s1[k] = row[k];
      out.s2[k] = row[K + k];
    }
    return out;
  }
};

// S1 = sum x, S2 = sum x * x over a stream.
template <bool Contiguous>
struct SampleSums {
  Stream<Contiguous> x;
  SumRegisters<1, Sse2Sums> sums{};
  template <class L>
  void step(std::size_t k) noexcept {
    sums.template add<L>({x.template load<L>(k)});
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

// Runs Body<true> over a view of stride 8, Body<false> over any other: the
// contiguous form takes the vector loads and the prefetch, the other gathers.
template <template <bool> class Body, class L, class... Args>
inline void over_view(const VectorView& v, double* out, Args... args) noexcept {
  if (v.stride == static_cast<std::ptrdiff_t>(sizeof(double))) {
    Body<true> body{Stream<true>::of(v), args..., out};
    walk<L>(body, 0, v.length);
  } else {
    Body<false> body{Stream<false>::of(v), args..., out};
    walk<L>(body, 0, v.length);
  }
}

// The constant-flow weights out[k] = W_k * r of a whole view.
template <class L>
inline void scale_by_reciprocal(const VectorView& w, double r, double* out) noexcept {
  over_view<ScaleByReciprocal, L>(w, out, r);
}

// The fused price/delta sums of path k: p = payoff(X_k); the delta sample is
// d = (W_k * p) * r when Scaled (constant flow: W the terminal Brownian value,
// r the reciprocal), else d_m = w_m,k * p for each weight stream m (tangent
// flow: the path's delta weight, then its gamma weight). Lanes: payoff, then
// one per weight stream.
template <class Payoff, bool Scaled, class XStream, class WStream, std::size_t M = 1>
struct PriceSums {
  XStream x;
  WStream w[M];
  double strike;
  double r;  // used when Scaled
  SumRegisters<1 + M, Sse2Sums> sums{};
  template <class L>
  void step(std::size_t k) noexcept {
    using V = typename L::V;
    V v[1 + M];
    v[0] = Payoff::template eval<L>(x.template load<L>(k), L::set1(strike));
    for (std::size_t m = 0; m < M; ++m) {
      v[1 + m] = L::mul(w[m].template load<L>(k), v[0]);
      if constexpr (Scaled) v[1 + m] = L::mul(v[1 + m], L::set1(r));
    }
    sums.template add<L>(v);
  }
  void prefetch(std::size_t k) const noexcept {
    x.prefetch(k);
    for (std::size_t m = 0; m < M; ++m) w[m].prefetch(k);
  }
};

// The constant-flow Greeks of path k, with W = W_T and the per-call constants
// c (core/recursions/constant_flow_formulas.hpp):
//   p = payoff(X);  delta sample d = (W * p) * r  (price_and_delta_constant_flow's)
//   up = u * p;  gamma sample = (up * r) * r;  vega sample = up * h
// each rounded in exactly the order written. Lanes: payoff, delta, gamma, vega.
template <class Payoff, class S, bool Contiguous>
struct ConstantFlowGreekSums {
  Stream<Contiguous> x, w;
  ConstantFlowGreekConstants c;
  double strike;
  SumRegisters<4, S> sums;
  template <class L>
  void step(std::size_t k) noexcept {
    using V = typename L::V;
    const V wk = w.template load<L>(k);
    const V p = Payoff::template eval<L>(x.template load<L>(k), L::set1(strike));
    const V d = L::mul(L::mul(wk, p), L::set1(c.r));
    const V up = L::mul(constant_flow_numerator<L>(wk, c), p);
    sums.template add<L>({p, d, constant_flow_weight<GreekWeight::gamma, L>(up, c),
                          constant_flow_weight<GreekWeight::vega, L>(up, c)});
  }
  void prefetch(std::size_t k) const noexcept {
    x.prefetch(k);
    w.prefetch(k);
  }
};

// out[k] = the gamma or vega weight of path k.
template <GreekWeight Kind>
struct ConstantFlowGreekWeights {
  template <bool Contiguous>
  struct Body {
    Stream<Contiguous> w;
    ConstantFlowGreekConstants c;
    double* out;
    template <class L>
    void step(std::size_t k) noexcept {
      L::storeu(out + k,
                constant_flow_weight<Kind, L>(constant_flow_numerator<L>(w.template load<L>(k), c), c));
    }
    void prefetch(std::size_t k) const noexcept { w.prefetch(k); }
  };
};

// The kernels of one target over views; the sums continue from `from`, so that
// a long view can be summed in pieces with the bits of one pass (each piece but
// the last a whole number of cache lines of paths).
template <class L>
inline LaneSums<4> constant_flow_greek_sums(PayoffKind kind, double strike, const VectorView& xs,
                                            const VectorView& ws,
                                            const ConstantFlowGreekConstants& c,
                                            const LaneSums<4>& from) noexcept {
  constexpr std::ptrdiff_t k8 = sizeof(double);
  const bool contiguous = xs.stride == k8 && ws.stride == k8;
  return with_payoff(kind, [&](auto row) {
    using Payoff = decltype(row);
    const auto run = [&](auto body) noexcept {
      walk<L>(body, 0, xs.length);
      return body.sums.sums(from.n + xs.length);
    };
    using Sums = SumRegisters<4, typename L::Sums>;
    if (contiguous) {
      using T = Stream<true>;
      return run(ConstantFlowGreekSums<Payoff, typename L::Sums, true>{T::of(xs), T::of(ws), c,
                                                                      strike, Sums(from)});
    }
    using F = Stream<false>;
    return run(ConstantFlowGreekSums<Payoff, typename L::Sums, false>{F::of(xs), F::of(ws), c,
                                                                     strike, Sums(from)});
  });
}

template <class L>
inline void constant_flow_greek_weights(const VectorView& ws, const ConstantFlowGreekConstants& c,
                                        GreekWeight kind, double* out) noexcept {
  if (kind == GreekWeight::gamma) {
    over_view<ConstantFlowGreekWeights<GreekWeight::gamma>::Body, L>(ws, out, c);
  } else {
    over_view<ConstantFlowGreekWeights<GreekWeight::vega>::Body, L>(ws, out, c);
  }
}

}  // namespace
}  // namespace quorvane::detail
