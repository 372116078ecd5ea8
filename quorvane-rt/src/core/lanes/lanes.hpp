// Lane traits: the vector types the kernel bodies are written over.
//
// A kernel body is a template over one of these traits and is compiled once per
// target (the AVX2 instances only in translation units built with -mavx2, the
// AVX-512 ones only in those built with -mavx512f); its
// ScalarLanes instance is the plain one-element loop, so every loop is spelled
// once. Each trait offers the handful of IEEE-754 operations the bodies use,
// lane by lane: multiplication, division and addition are separate instructions
// (the build never contracts them into fused multiply-adds), so a lane performs
// exactly the operations a scalar loop would on its own element.
//
// Everything here has internal linkage (anonymous namespace, own load helper):
// each including translation unit gets its own copy compiled for its own target,
// and nothing compiled with -mavx2 or -mavx512f can be picked by the linker for
// baseline code. Kernel bodies built on these traits must keep to the same
// rule: an AVX2 or AVX-512 translation unit may call no inline function of external linkage (the views'
// member functions, for instance), only read plain data members.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/platform/platform.hpp"

// The two-lane traits are SSE2 intrinsics on x86-64, and GCC/Clang vector
// extensions (the same IEEE-754 operations lane by lane) in the portable build
// and on other processors. On arm64 the NEON lanes use the same vectors, with
// NEON's own comparisons and shuffles.
#if defined(__x86_64__) && !defined(QUORVANE_PORTABLE)
#define QUORVANE_SSE2_LANES 1
#include <emmintrin.h>
#endif
#if defined(__aarch64__) && !defined(QUORVANE_PORTABLE)
#define QUORVANE_NEON_LANES 1
#include <arm_neon.h>
#endif
#if defined(__AVX2__) || defined(__AVX512F__)
#include <immintrin.h>
#endif

namespace quorvane::detail {
namespace {

inline double lane_load(const std::byte* p) noexcept {
  double v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}

// Software prefetch (core/platform). A prefetch is only a hint: it never
// faults, so reaching past the end of an array is harmless (addresses are
// formed as integers for that reason).
inline constexpr std::size_t kCacheLineBytes = 64;

using platform::prefetch_l1;
using platform::prefetch_l2;

// For long sequential reads. On the machines this is tuned on, the hardware
// prefetcher runs only a short way ahead of a sequential stream, and a loop
// that reads two large arrays waits on memory at about half the bandwidth a
// single core can draw; asking for the data 8 KiB ahead roughly doubles the
// speed of such loops.
inline constexpr std::ptrdiff_t kPrefetchAheadBytes = 8192;

inline void prefetch_ahead(const void* p) noexcept {
  prefetch_l1(reinterpret_cast<std::uintptr_t>(p) + kPrefetchAheadBytes);
}

// The operations the packed widths spell alike. GCC and Clang define the
// arithmetic operators of __m128d, __m256d and __m512d as the lane-wise IEEE-754
// operations (their _mm_add_pd, _mm256_mul_pd, _mm512_div_pd and kin are these
// operators), and
// their loads and stores are dereferences of the vector type (U: its unaligned
// twin): each width's own instructions. The types are named through
// Packed<kWidth>, which keeps their may_alias and alignment attributes (a
// template argument would drop them).
template <std::size_t Width>
struct Packed;
#if defined(QUORVANE_SSE2_LANES)
template <>
struct Packed<2> {
  using V = __m128d;
  using U = __m128d_u;
};
#else
// Two doubles in a vector of the compiler's own (no processor's intrinsics),
// and its unaligned twin.
using Pair = double __attribute__((vector_size(16)));
using PairMask = decltype(Pair{} < Pair{});  // a lane of all ones where true
typedef double PairU __attribute__((vector_size(16), aligned(8), may_alias));
template <>
struct Packed<2> {
  using V = Pair;
  using U = PairU;
};
#endif
#if defined(__AVX2__)
template <>
struct Packed<4> {
  using V = __m256d;
  using U = __m256d_u;
};
#endif
#if defined(__AVX512F__)
template <>
struct Packed<8> {
  using V = __m512d;
  using U = __m512d_u;
};
#endif

template <std::size_t Width>
struct PackedLanes {
  using V = typename Packed<Width>::V;
  using U = typename Packed<Width>::U;
  static constexpr std::size_t kWidth = Width;
  static V zero() noexcept { return V{}; }
  static V div(V a, V b) noexcept { return a / b; }
  static V mul(V a, V b) noexcept { return a * b; }
  static V add(V a, V b) noexcept { return a + b; }
  static V sub(V a, V b) noexcept { return a - b; }
  static V loadu(const void* p) noexcept { return *static_cast<const U*>(p); }
  static void storeu(double* p, V v) noexcept { *reinterpret_cast<U*>(p) = v; }
  static V loada(const double* p) noexcept { return *reinterpret_cast<const V*>(p); }
  static void storea(double* p, V v) noexcept { *reinterpret_cast<V*>(p) = v; }
};

// Sum registers: the vectors the fused loops keep their running sums in, a
// path's row of sums side by side (see SumRegisters, core/kernels/streams.hpp).
// Each lane of a register is one accumulator; R is the register type.
template <std::size_t Width>
struct PackedSums : PackedLanes<Width> {
  using R = typename PackedLanes<Width>::V;
};
using Sse2Sums = PackedSums<2>;
#if defined(__AVX2__)
using Avx2Sums = PackedSums<4>;
#endif

// One lane: plain doubles. The scalar loops are this instance of the same
// bodies, so every recursion is spelled once.
struct ScalarLanes {
  using V = double;
  using Sums = Sse2Sums;
  static constexpr std::size_t kWidth = 1;
  static V set1(double x) noexcept { return x; }
  static V div(V a, V b) noexcept { return a / b; }
  static V mul(V a, V b) noexcept { return a * b; }
  static V add(V a, V b) noexcept { return a + b; }
  static V sub(V a, V b) noexcept { return a - b; }
  // d if d > 0, else +0.0 (NaN included). MAXSD returns its second operand
  // unless the first is strictly greater, which is exactly that, without the
  // data-dependent branch gcc makes of the ternary.
  static V positive(V d) noexcept {
#if defined(QUORVANE_SSE2_LANES)
    return _mm_cvtsd_f64(_mm_max_sd(_mm_set_sd(d), _mm_setzero_pd()));
#else
    return d > 0.0 ? d : 0.0;
#endif
  }
  // 1.0 if a < b, else 0.0 (NaN on either side gives 0.0); branch-free.
  static V one_if_less(V a, V b) noexcept {
#if defined(QUORVANE_SSE2_LANES)
    return _mm_cvtsd_f64(_mm_and_pd(_mm_cmplt_sd(_mm_set_sd(a), _mm_set_sd(b)), _mm_set_sd(1.0)));
#else
    return a < b ? 1.0 : 0.0;
#endif
  }
  static V loadu(const std::byte* p) noexcept { return lane_load(p); }
  static void storeu(double* p, V v) noexcept { *p = v; }
  static V loada(const double* p) noexcept { return *p; }
  static void storea(double* p, V v) noexcept { *p = v; }
  static V gather(const std::byte* p, const std::ptrdiff_t* lane) noexcept {
    return lane_load(p + lane[0]);
  }
  static V gather_rows(const std::byte* p, std::ptrdiff_t rs, std::size_t k0) noexcept {
    return lane_load(p + static_cast<std::ptrdiff_t>(k0) * rs);
  }
  // Row k0, steps (j, j + 1) at p.
  static void load_pair(const std::byte* p, std::ptrdiff_t rs, std::size_t k0, V& a,
                        V& b) noexcept {
    const std::byte* q = p + static_cast<std::ptrdiff_t>(k0) * rs;
    a = lane_load(q);
    b = lane_load(q + sizeof(double));
  }
  // rows<S>(x, out): the rows of the kWidth paths of the S::kWidth vectors
  // x[0 ..), path by path: out[i] = [x[0] of path i, x[1] of path i, ...].
  template <class S>
  static void rows(const V* x, typename S::R* out) noexcept {
    if constexpr (S::kWidth == 2) {
#if defined(QUORVANE_SSE2_LANES)
      out[0] = _mm_set_pd(x[1], x[0]);
#else
      out[0] = Pair{x[0], x[1]};
#endif
    } else {
#if defined(__AVX2__)
      out[0] = _mm256_set_pd(x[3], x[2], x[1], x[0]);
#endif
    }
  }
};

// Two lanes, spelled once over the few primitives each instruction set gives
// its own way (Ops): a vector from two doubles, lane 0 first (pair); the
// interleaves of the low and of the high lanes of two vectors (zip_lo, zip_hi);
// positive, d where d > 0 and +0.0 elsewhere, NaN and -0.0 included (MAXPD's
// rule with +0.0 second); one_if_less, 1.0 where a < b and 0.0 elsewhere, NaN
// included (CMPLTPD's rule).
template <class Ops>
struct TwoLanes : PackedLanes<2> {
  using Sums = Sse2Sums;
  static V set1(double x) noexcept { return Ops::pair(x, x); }
  static V positive(V d) noexcept { return Ops::positive(d); }
  static V one_if_less(V a, V b) noexcept { return Ops::one_if_less(a, b); }
  static V gather(const std::byte* p, const std::ptrdiff_t* lane) noexcept {
    return Ops::pair(lane_load(p + lane[0]), lane_load(p + lane[1]));
  }
  static V gather_rows(const std::byte* p, std::ptrdiff_t rs, std::size_t k0) noexcept {
    const std::ptrdiff_t k = static_cast<std::ptrdiff_t>(k0);
    return Ops::pair(lane_load(p + k * rs), lane_load(p + (k + 1) * rs));
  }
  // Rows k0 and k0 + 1, steps (j, j + 1) at p: the low lanes' interleave is
  // step j of both rows, the high lanes' step j + 1.
  static void load_pair(const std::byte* p, std::ptrdiff_t rs, std::size_t k0, V& a,
                        V& b) noexcept {
    const std::ptrdiff_t k = static_cast<std::ptrdiff_t>(k0);
    const V r0 = loadu(p + k * rs);
    const V r1 = loadu(p + (k + 1) * rs);
    a = Ops::zip_lo(r0, r1);
    b = Ops::zip_hi(r0, r1);
  }
  // Two paths: [a0, b0], then [a1, b1].
  template <class S>
  static void rows(const V* x, typename S::R* out) noexcept {
    static_assert(S::kWidth == 2);
    out[0] = Ops::zip_lo(x[0], x[1]);
    out[1] = Ops::zip_hi(x[0], x[1]);
  }
};

#if defined(QUORVANE_SSE2_LANES)
struct Sse2Ops {
  using V = __m128d;
  static V pair(double lo, double hi) noexcept { return _mm_set_pd(hi, lo); }
  static V zip_lo(V a, V b) noexcept { return _mm_unpacklo_pd(a, b); }
  static V zip_hi(V a, V b) noexcept { return _mm_unpackhi_pd(a, b); }
  static V positive(V d) noexcept { return _mm_max_pd(d, _mm_setzero_pd()); }
  static V one_if_less(V a, V b) noexcept { return _mm_and_pd(_mm_cmplt_pd(a, b), _mm_set1_pd(1.0)); }
};
using Sse2Lanes = TwoLanes<Sse2Ops>;
#else
// The same two lanes in the compiler's vectors: each operation is the IEEE-754
// operation of each lane, as the SSE2 instructions are; the comparisons give
// masks of all ones where true.
struct VectorOps {
  using V = Pair;
  static V pair(double lo, double hi) noexcept { return V{lo, hi}; }
  static V zip_lo(V a, V b) noexcept { return V{a[0], b[0]}; }
  static V zip_hi(V a, V b) noexcept { return V{a[1], b[1]}; }
  static V positive(V d) noexcept {
    return reinterpret_cast<V>(reinterpret_cast<PairMask>(d) & (d > V{0.0, 0.0}));
  }
  static V one_if_less(V a, V b) noexcept {
    return reinterpret_cast<V>((a < b) & reinterpret_cast<PairMask>(pair(1.0, 1.0)));
  }
};
using Sse2Lanes = TwoLanes<VectorOps>;
#endif

#if defined(QUORVANE_NEON_LANES)
// NEON's comparisons and zips on the compiler's vectors, whose loads, stores
// and arithmetic are NEON's (FDIV, FMUL, FADD, FSUB on each lane). positive is
// a mask too: FCMGT is false for NaN and -0.0 (FMAX would return the NaN).
struct NeonOps {
  using V = Pair;
  static V pair(double lo, double hi) noexcept { return vcombine_f64(vdup_n_f64(lo), vdup_n_f64(hi)); }
  static V zip_lo(V a, V b) noexcept { return vzip1q_f64(a, b); }
  static V zip_hi(V a, V b) noexcept { return vzip2q_f64(a, b); }
  static V positive(V d) noexcept {
    return vreinterpretq_f64_u64(vandq_u64(vreinterpretq_u64_f64(d), vcgtzq_f64(d)));
  }
  static V one_if_less(V a, V b) noexcept {
    return vreinterpretq_f64_u64(vandq_u64(vcltq_f64(a, b), vreinterpretq_u64_f64(vdupq_n_f64(1.0))));
  }
};
using NeonLanes = TwoLanes<NeonOps>;
#endif

// The lanes of the baseline kernels (kernels_baseline.cpp): SSE2's two on
// x86-64 and in the portable build; on arm64, where NEON is a target of its
// own, one, so that forcing the baseline runs the scalar build.
#if defined(QUORVANE_NEON_LANES)
using BaselineLanes = ScalarLanes;
#else
using BaselineLanes = Sse2Lanes;
#endif

#if defined(__AVX2__)
struct Avx2Lanes : PackedLanes<4> {
  using Sums = Avx2Sums;
  static V set1(double x) noexcept { return _mm256_set1_pd(x); }
  static V positive(V d) noexcept { return _mm256_max_pd(d, _mm256_setzero_pd()); }
  static V one_if_less(V a, V b) noexcept {
    return _mm256_and_pd(_mm256_cmp_pd(a, b, _CMP_LT_OQ), _mm256_set1_pd(1.0));
  }
  static V gather(const std::byte* p, const std::ptrdiff_t* lane) noexcept {
    return _mm256_set_pd(lane_load(p + lane[3]), lane_load(p + lane[2]), lane_load(p + lane[1]),
                         lane_load(p + lane[0]));
  }
  static V gather_rows(const std::byte* p, std::ptrdiff_t rs, std::size_t k0) noexcept {
    const std::ptrdiff_t k = static_cast<std::ptrdiff_t>(k0);
    return _mm256_set_pd(lane_load(p + (k + 3) * rs), lane_load(p + (k + 2) * rs),
                         lane_load(p + (k + 1) * rs), lane_load(p + k * rs));
  }
  // Rows k0 .. k0 + 3, steps (j, j + 1) at p: lo = [r0 r0' | r2 r2'],
  // hi = [r1 r1' | r3 r3'], then the in-lane unpacks give step j and step j + 1.
  static void load_pair(const std::byte* p, std::ptrdiff_t rs, std::size_t k0, V& a,
                        V& b) noexcept {
    const std::ptrdiff_t k = static_cast<std::ptrdiff_t>(k0);
    const auto half = [](const std::byte* q) noexcept {
      return _mm_loadu_pd(reinterpret_cast<const double*>(q));
    };
    const V lo = _mm256_insertf128_pd(_mm256_castpd128_pd256(half(p + k * rs)),
                                      half(p + (k + 2) * rs), 1);
    const V hi = _mm256_insertf128_pd(_mm256_castpd128_pd256(half(p + (k + 1) * rs)),
                                      half(p + (k + 3) * rs), 1);
    a = _mm256_unpacklo_pd(lo, hi);
    b = _mm256_unpackhi_pd(lo, hi);
  }
  // Four paths. Pairs: [a_k, b_k] for k = 0, 1, 2, 3 from the 128-bit
  // halves. Quads: a 4 x 4 transpose, [a_k, b_k, c_k, d_k] for k = 0 .. 3.
  template <class S>
  static void rows(const V* x, typename S::R* out) noexcept {
    if constexpr (S::kWidth == 2) {
      const __m128d a_lo = _mm256_castpd256_pd128(x[0]), b_lo = _mm256_castpd256_pd128(x[1]);
      const __m128d a_hi = _mm256_extractf128_pd(x[0], 1), b_hi = _mm256_extractf128_pd(x[1], 1);
      out[0] = _mm_unpacklo_pd(a_lo, b_lo);
      out[1] = _mm_unpackhi_pd(a_lo, b_lo);
      out[2] = _mm_unpacklo_pd(a_hi, b_hi);
      out[3] = _mm_unpackhi_pd(a_hi, b_hi);
    } else {
      const V t0 = _mm256_unpacklo_pd(x[0], x[1]);  // a0 b0 a2 b2
      const V t1 = _mm256_unpackhi_pd(x[0], x[1]);  // a1 b1 a3 b3
      const V t2 = _mm256_unpacklo_pd(x[2], x[3]);  // c0 d0 c2 d2
      const V t3 = _mm256_unpackhi_pd(x[2], x[3]);  // c1 d1 c3 d3
      out[0] = _mm256_permute2f128_pd(t0, t2, 0x20);
      out[1] = _mm256_permute2f128_pd(t1, t3, 0x20);
      out[2] = _mm256_permute2f128_pd(t0, t2, 0x31);
      out[3] = _mm256_permute2f128_pd(t1, t3, 0x31);
    }
  }
};
#endif

#if defined(__AVX512F__)
// Eight lanes (AVX-512F only: no instruction of the DQ, BW or VL extensions).
// The sums stay in 256-bit registers (Avx2Sums): a register's lanes are
// accumulators of one path's row, fed path by path, so their width never
// changes a sum, and a row of the four fused estimates is one of them.
//
// Shuffles and the maximum are written in their zero-masking forms with every
// lane selected (kAll), which compile to the plain instructions: GCC 12's
// unmasked intrinsics merge into an undefined vector, which -Wmaybe-uninitialized
// reports at every inlined use.
struct Avx512Lanes : PackedLanes<8> {
  using Sums = Avx2Sums;
  static constexpr __mmask8 kAll = 0xff;
  static V set1(double x) noexcept { return _mm512_set1_pd(x); }
  // VMAXPD, like MAXPD: the second operand unless the first is strictly greater.
  static V positive(V d) noexcept { return _mm512_maskz_max_pd(kAll, d, _mm512_setzero_pd()); }
  // The comparison gives a mask; the lanes it leaves out are +0.0.
  static V one_if_less(V a, V b) noexcept {
    return _mm512_maskz_mov_pd(_mm512_cmp_pd_mask(a, b, _CMP_LT_OQ), _mm512_set1_pd(1.0));
  }
  static V gather(const std::byte* p, const std::ptrdiff_t* lane) noexcept {
    return _mm512_set_pd(lane_load(p + lane[7]), lane_load(p + lane[6]), lane_load(p + lane[5]),
                         lane_load(p + lane[4]), lane_load(p + lane[3]), lane_load(p + lane[2]),
                         lane_load(p + lane[1]), lane_load(p + lane[0]));
  }
  static V gather_rows(const std::byte* p, std::ptrdiff_t rs, std::size_t k0) noexcept {
    const std::ptrdiff_t k = static_cast<std::ptrdiff_t>(k0);
    return _mm512_set_pd(lane_load(p + (k + 7) * rs), lane_load(p + (k + 6) * rs),
                         lane_load(p + (k + 5) * rs), lane_load(p + (k + 4) * rs),
                         lane_load(p + (k + 3) * rs), lane_load(p + (k + 2) * rs),
                         lane_load(p + (k + 1) * rs), lane_load(p + k * rs));
  }
  // Rows k0 .. k0 + 7, steps (j, j + 1) at p: the 128-bit pairs of the even
  // rows make lo = [r0 r0' | r2 r2' | r4 r4' | r6 r6'], those of the odd rows
  // hi = [r1 r1' | r3 r3' | r5 r5' | r7 r7'], then the in-lane unpacks give
  // step j and step j + 1 of rows 0 .. 7 in order.
  static void load_pair(const std::byte* p, std::ptrdiff_t rs, std::size_t k0, V& a,
                        V& b) noexcept {
    const std::ptrdiff_t k = static_cast<std::ptrdiff_t>(k0);
    const auto half = [](const std::byte* q) noexcept {
      return _mm_loadu_pd(reinterpret_cast<const double*>(q));
    };
    // Rows r and r + 2 as one 256-bit vector.
    const auto two = [&](std::ptrdiff_t r) noexcept {
      return _mm256_insertf128_pd(_mm256_castpd128_pd256(half(p + r * rs)), half(p + (r + 2) * rs), 1);
    };
    const V lo = _mm512_maskz_insertf64x4(kAll, _mm512_castpd256_pd512(two(k)), two(k + 4), 1);
    const V hi = _mm512_maskz_insertf64x4(kAll, _mm512_castpd256_pd512(two(k + 1)), two(k + 5), 1);
    a = _mm512_maskz_unpacklo_pd(kAll, lo, hi);
    b = _mm512_maskz_unpackhi_pd(kAll, lo, hi);
  }
  // Eight paths from S::kWidth vectors: the 256-bit halves are paths 0 .. 3
  // and 4 .. 7, each transposed as the AVX2 lanes do.
  template <class S>
  static void rows(const V* x, typename S::R* out) noexcept {
    constexpr std::size_t A = S::kWidth;
    static_assert(A == 2 || A == 4);
    Avx2Lanes::V lo[A], hi[A];
    for (std::size_t m = 0; m < A; ++m) {
      lo[m] = _mm512_maskz_extractf64x4_pd(0xf, x[m], 0);
      hi[m] = _mm512_maskz_extractf64x4_pd(0xf, x[m], 1);
    }
    Avx2Lanes::rows<S>(lo, out);
    Avx2Lanes::rows<S>(hi, out + 4);
  }
};
#endif

}  // namespace
}  // namespace quorvane::detail
