// The constant-flow Greeks loops over lane traits: one body, instantiated for one
// lane (the scalar loop), for SSE2 and, in *_avx2.cpp files only, for AVX2.
//
// Per path, with W = W_T and the per-call constants of constant_flow_greeks.hpp
// (r, slope_t = sigma' * T, T, h):
//
//   u  = ((W * W) - (slope_t * W)) - T       the numerator W^2 - sigma' T W - T
//   gamma weight = (u * r) * r,  vega weight = u * h
//
// and, fused with a payoff p = payoff(X_T):
//
//   delta sample d = (W * p) * r    (exactly price_and_delta_constant_flow's)
//   up = u * p;  gamma sample = (up * r) * r;  vega sample = up * h
//
// each rounded in exactly the order written. The gamma's 1 / (T sigma0)^2 is two
// multiplications by r, so that it neither overflows nor underflows where the
// gamma is representable (constant_flow_greeks.hpp). The lanes of a vector are paths;
// the fused loop then adds the four samples of each path, path by path in index
// order, to the four sums S1 (and their squares to S2), so every sum is one
// accumulator updated in index order whatever the vector width. The vector
// accumulators hold the four estimates side by side (payoff, delta, gamma,
// vega), which is why each target transposes its path vectors first.
//
// Everything here has internal linkage (anonymous namespace): each including
// translation unit gets its own copy compiled for its own target. Nothing here
// calls an inline function of another header (RunningSums::add, positive_part):
// an AVX2 copy of one could be the copy the linker keeps for baseline callers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/estimators/constant_flow_greeks.hpp"
#include "core/estimators/payoff.hpp"
#include "core/kernels/lanes.hpp"

namespace quorvane::detail {
namespace {

// Lane operations the traits do not offer.
inline double cf_sub(double a, double b) noexcept { return a - b; }
inline __m128d cf_sub(__m128d a, __m128d b) noexcept { return _mm_sub_pd(a, b); }
// "d if d > 0 else +0.0": MAXSD/MAXPD return the second operand unless the first
// is strictly greater, NaN included.
inline double cf_positive(double d) noexcept {
  return _mm_cvtsd_f64(_mm_max_sd(_mm_set_sd(d), _mm_setzero_pd()));
}
inline __m128d cf_positive(__m128d d) noexcept { return _mm_max_pd(d, _mm_setzero_pd()); }
// 1.0 if k < x else 0.0 (NaN on either side gives 0.0).
inline double cf_above(double k, double x) noexcept { return k < x ? 1.0 : 0.0; }
inline __m128d cf_above(__m128d k, __m128d x) noexcept {
  return _mm_and_pd(_mm_cmplt_pd(k, x), _mm_set1_pd(1.0));
}
#if defined(__AVX2__)
inline __m256d cf_sub(__m256d a, __m256d b) noexcept { return _mm256_sub_pd(a, b); }
inline __m256d cf_positive(__m256d d) noexcept { return _mm256_max_pd(d, _mm256_setzero_pd()); }
inline __m256d cf_above(__m256d k, __m256d x) noexcept {
  return _mm256_and_pd(_mm256_cmp_pd(k, x, _CMP_LT_OQ), _mm256_set1_pd(1.0));
}
#endif

template <class L>
struct CfLanes {
  using V = typename L::V;
  V r, slope_t, horizon, h, strike;
  CfLanes(const ConstantFlowGreekConstants& c, double k) noexcept
      : r(L::set1(c.r)),
        slope_t(L::set1(c.slope_t)),
        horizon(L::set1(c.horizon)),
        h(L::set1(c.h)),
        strike(L::set1(k)) {}
};

// u = ((W * W) - (slope_t * W)) - T.
template <class L>
inline typename L::V cf_numerator(typename L::V w, const CfLanes<L>& c) noexcept {
  return cf_sub(cf_sub(L::mul(w, w), L::mul(c.slope_t, w)), c.horizon);
}

template <class L, PayoffKind Kind>
inline typename L::V cf_payoff(typename L::V x, const CfLanes<L>& c) noexcept {
  if constexpr (Kind == PayoffKind::identity) return x;
  if constexpr (Kind == PayoffKind::call) return cf_positive(cf_sub(x, c.strike));
  if constexpr (Kind == PayoffKind::put) return cf_positive(cf_sub(c.strike, x));
  if constexpr (Kind == PayoffKind::digital_call) return cf_above(c.strike, x);
}

// Adds the samples of paths in index order. One overload set per target: the
// vector forms keep [payoff, delta, gamma, vega] of S1 and of S2 in registers.
struct ScalarGreekAccumulator {
  GreekSums sums;
  explicit ScalarGreekAccumulator(const GreekSums& s) noexcept : sums(s) {}
  static void lane(RunningSums& s, double v) noexcept {
    s.s1 = s.s1 + v;
    s.s2 = s.s2 + v * v;
  }
  void add(double p, double d, double g, double v) noexcept {
    lane(sums.payoff, p);
    lane(sums.delta, d);
    lane(sums.gamma, g);
    lane(sums.vega, v);
  }
  GreekSums result() const noexcept { return sums; }
};

struct Sse2GreekAccumulator {
  __m128d s1_pd, s1_gv, s2_pd, s2_gv;  // [payoff, delta], [gamma, vega]
  explicit Sse2GreekAccumulator(const GreekSums& s) noexcept
      : s1_pd(_mm_set_pd(s.delta.s1, s.payoff.s1)),
        s1_gv(_mm_set_pd(s.vega.s1, s.gamma.s1)),
        s2_pd(_mm_set_pd(s.delta.s2, s.payoff.s2)),
        s2_gv(_mm_set_pd(s.vega.s2, s.gamma.s2)) {}
  void path(__m128d pd, __m128d gv) noexcept {
    s1_pd = _mm_add_pd(s1_pd, pd);
    s2_pd = _mm_add_pd(s2_pd, _mm_mul_pd(pd, pd));
    s1_gv = _mm_add_pd(s1_gv, gv);
    s2_gv = _mm_add_pd(s2_gv, _mm_mul_pd(gv, gv));
  }
  // Two paths per vector: path k before path k + 1.
  void add(__m128d p, __m128d d, __m128d g, __m128d v) noexcept {
    path(_mm_unpacklo_pd(p, d), _mm_unpacklo_pd(g, v));
    path(_mm_unpackhi_pd(p, d), _mm_unpackhi_pd(g, v));
  }
  GreekSums result() const noexcept {
    alignas(16) double a[2], b[2], c[2], e[2];
    _mm_store_pd(a, s1_pd);
    _mm_store_pd(b, s1_gv);
    _mm_store_pd(c, s2_pd);
    _mm_store_pd(e, s2_gv);
    return GreekSums{{a[0], c[0]}, {a[1], c[1]}, {b[0], e[0]}, {b[1], e[1]}};
  }
};

#if defined(__AVX2__)
struct Avx2GreekAccumulator {
  __m256d s1, s2;  // [payoff, delta, gamma, vega]
  explicit Avx2GreekAccumulator(const GreekSums& s) noexcept
      : s1(_mm256_set_pd(s.vega.s1, s.gamma.s1, s.delta.s1, s.payoff.s1)),
        s2(_mm256_set_pd(s.vega.s2, s.gamma.s2, s.delta.s2, s.payoff.s2)) {}
  void path(__m256d row) noexcept {
    s1 = _mm256_add_pd(s1, row);
    s2 = _mm256_add_pd(s2, _mm256_mul_pd(row, row));
  }
  // Four paths per vector: a 4 x 4 transpose gives each path's
  // [p, d, g, v], added for paths k, k + 1, k + 2, k + 3 in this order.
  void add(__m256d p, __m256d d, __m256d g, __m256d v) noexcept {
    const __m256d t0 = _mm256_unpacklo_pd(p, d);  // p0 d0 p2 d2
    const __m256d t1 = _mm256_unpackhi_pd(p, d);  // p1 d1 p3 d3
    const __m256d t2 = _mm256_unpacklo_pd(g, v);  // g0 v0 g2 v2
    const __m256d t3 = _mm256_unpackhi_pd(g, v);  // g1 v1 g3 v3
    path(_mm256_permute2f128_pd(t0, t2, 0x20));
    path(_mm256_permute2f128_pd(t1, t3, 0x20));
    path(_mm256_permute2f128_pd(t0, t2, 0x31));
    path(_mm256_permute2f128_pd(t1, t3, 0x31));
  }
  GreekSums result() const noexcept {
    alignas(32) double a[4], b[4];
    _mm256_store_pd(a, s1);
    _mm256_store_pd(b, s2);
    return GreekSums{{a[0], b[0]}, {a[1], b[1]}, {a[2], b[2]}, {a[3], b[3]}};
  }
};
#endif

template <class L>
struct AccumulatorOf;
template <>
struct AccumulatorOf<ScalarLanes> {
  using type = ScalarGreekAccumulator;
};
template <>
struct AccumulatorOf<Sse2Lanes> {
  using type = Sse2GreekAccumulator;
};
#if defined(__AVX2__)
template <>
struct AccumulatorOf<Avx2Lanes> {
  using type = Avx2GreekAccumulator;
};
#endif

// A vector of kWidth consecutive elements of a view, contiguous or not.
template <class L, bool Contiguous>
inline typename L::V cf_load(const std::byte* p, const std::ptrdiff_t* lane) noexcept {
  if constexpr (Contiguous) {
    return L::loadu(p);
  } else {
    return L::gather(p, lane);
  }
}

// 8 KiB ahead, once per cache line: on its own the hardware prefetcher leaves a
// long stream of two arrays waiting on memory. A hint: it never faults.
inline void cf_prefetch(const std::byte* p) noexcept {
  __builtin_prefetch(
      reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(p) + 8192), 0, 3);
}

// Paths [0, count) of the fused loop for one payoff kind, from `sums` on.
template <class L, PayoffKind Kind, bool Contiguous>
inline GreekSums cf_greeks(const std::byte* xs, std::ptrdiff_t x_stride, const std::byte* ws,
                           std::ptrdiff_t w_stride, std::size_t count,
                           const ConstantFlowGreekConstants& constants, double strike,
                           GreekSums sums) noexcept {
  using V = typename L::V;
  constexpr std::size_t W = L::kWidth;
  const CfLanes<L> c(constants, strike);
  typename AccumulatorOf<L>::type acc(sums);
  std::ptrdiff_t xl[W], wl[W];
  for (std::size_t k = 0; k < W; ++k) {
    xl[k] = static_cast<std::ptrdiff_t>(k) * x_stride;
    wl[k] = static_cast<std::ptrdiff_t>(k) * w_stride;
  }
  const std::ptrdiff_t x_step = static_cast<std::ptrdiff_t>(W) * x_stride;
  const std::ptrdiff_t w_step = static_cast<std::ptrdiff_t>(W) * w_stride;
  std::size_t k = 0;
  for (; k + W <= count; k += W, xs += x_step, ws += w_step) {
    if constexpr (Contiguous && W > 1) {
      if (k % 8 == 0) {  // once per cache line of each array
        cf_prefetch(xs);
        cf_prefetch(ws);
      }
    }
    const V x = cf_load<L, Contiguous>(xs, xl);
    const V w = cf_load<L, Contiguous>(ws, wl);
    const V p = cf_payoff<L, Kind>(x, c);
    const V d = L::mul(L::mul(w, p), c.r);
    const V up = L::mul(cf_numerator<L>(w, c), p);
    acc.add(p, d, L::mul(L::mul(up, c.r), c.r), L::mul(up, c.h));
  }
  GreekSums out = acc.result();
  if constexpr (W > 1) {
    // The last count % W paths, one lane at a time, continuing the same sums.
    out = cf_greeks<ScalarLanes, Kind, false>(xs, x_stride, ws, w_stride, count - k, constants,
                                              strike, out);
  }
  return out;
}

// The weight of numerator u: (u * r) * r for the gamma, u * h for the vega.
template <class L, GreekWeight Kind>
inline typename L::V cf_weight(typename L::V u, const CfLanes<L>& c) noexcept {
  if constexpr (Kind == GreekWeight::gamma) return L::mul(L::mul(u, c.r), c.r);
  if constexpr (Kind == GreekWeight::vega) return L::mul(u, c.h);
}

// out[k] = the gamma or vega weight of path k.
template <class L, GreekWeight Kind, bool Contiguous>
inline void cf_weights(const std::byte* ws, std::ptrdiff_t w_stride, std::size_t count,
                       const ConstantFlowGreekConstants& constants, double* out) noexcept {
  constexpr std::size_t W = L::kWidth;
  const CfLanes<L> c(constants, 0.0);
  std::ptrdiff_t wl[W];
  for (std::size_t k = 0; k < W; ++k) wl[k] = static_cast<std::ptrdiff_t>(k) * w_stride;
  const std::ptrdiff_t w_step = static_cast<std::ptrdiff_t>(W) * w_stride;
  std::size_t k = 0;
  for (; k + W <= count; k += W, ws += w_step) {
    if constexpr (Contiguous && W > 1) {
      if (k % 8 == 0) cf_prefetch(ws);
    }
    L::storeu(out + k, cf_weight<L, Kind>(cf_numerator<L>(cf_load<L, Contiguous>(ws, wl), c), c));
  }
  if constexpr (W > 1) {
    cf_weights<ScalarLanes, Kind, false>(ws, w_stride, count - k, constants, out + k);
  }
}

// The kernels of one target over views: contiguous views (stride 8) take the
// vector loads, any other stride gathers lane by lane.
template <class L>
inline GreekSums cf_greek_sums(PayoffKind kind, double strike, const VectorView& xs,
                               const VectorView& ws, const ConstantFlowGreekConstants& c,
                               const GreekSums& from) noexcept {
  constexpr std::ptrdiff_t k8 = sizeof(double);
  const bool contiguous = xs.stride == k8 && ws.stride == k8;
  const std::size_t n = xs.length;
  const auto run = [&]<PayoffKind Kind>() {
    return contiguous ? cf_greeks<L, Kind, true>(xs.data, k8, ws.data, k8, n, c, strike, from)
                      : cf_greeks<L, Kind, false>(xs.data, xs.stride, ws.data, ws.stride, n, c,
                                                  strike, from);
  };
  switch (kind) {
    case PayoffKind::identity: return run.template operator()<PayoffKind::identity>();
    case PayoffKind::call: return run.template operator()<PayoffKind::call>();
    case PayoffKind::put: return run.template operator()<PayoffKind::put>();
    case PayoffKind::digital_call: return run.template operator()<PayoffKind::digital_call>();
  }
  return from;
}

template <class L>
inline void cf_greek_weights(const VectorView& ws, const ConstantFlowGreekConstants& c,
                             GreekWeight kind, double* out) noexcept {
  constexpr std::ptrdiff_t k8 = sizeof(double);
  const auto run = [&]<GreekWeight Kind>() {
    if (ws.stride == k8) {
      cf_weights<L, Kind, true>(ws.data, k8, ws.length, c, out);
    } else {
      cf_weights<L, Kind, false>(ws.data, ws.stride, ws.length, c, out);
    }
  };
  if (kind == GreekWeight::gamma) {
    run.template operator()<GreekWeight::gamma>();
  } else {
    run.template operator()<GreekWeight::vega>();
  }
}

}  // namespace
}  // namespace quorvane::detail
