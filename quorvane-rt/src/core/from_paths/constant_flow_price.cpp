#include "core/from_paths/constant_flow_price.hpp"

#include <algorithm>
#include <string>

#include "core/estimators/constant_flow.hpp"
#include "core/estimators/payoff.hpp"
#include "core/support/failure.hpp"
#include "core/support/interrupt.hpp"
#include "core/support/prefetch.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorvane {

namespace {

#if defined(__SSE2__)

// Two paths per iteration in SSE2 registers. The per-path work (payoff, delta
// sample, squares) is done for both paths at once; the four sums are kept as two
// vectors, first = [S1 payoff, S1 delta] and second = [S2 payoff, S2 delta], and
// each receives path k before path k + 1, so every sum is still one accumulator
// updated in index order. Per path: p = payoff(x); d = (W * p) * r, the product
// of Brownian value and payoff rounded first. The views are read in place;
// copying them first would give the same bits.
template <PayoffKind Kind>
inline __m128d payoff2(__m128d x, __m128d strike) noexcept {
  switch (Kind) {
    case PayoffKind::identity: return x;
    // MAXPD returns its second operand unless the first is strictly greater:
    // exactly "d if d > 0 else +0.0", NaN included.
    case PayoffKind::call: return _mm_max_pd(_mm_sub_pd(x, strike), _mm_setzero_pd());
    case PayoffKind::put: return _mm_max_pd(_mm_sub_pd(strike, x), _mm_setzero_pd());
    case PayoffKind::digital_call: return _mm_and_pd(_mm_cmplt_pd(strike, x), _mm_set1_pd(1.0));
  }
  return x;
}

template <PayoffKind Kind, bool Contiguous>
void run(const VectorView& xs, const VectorView& ws, double r, double strike, RunningSums& payoff,
         RunningSums& delta) noexcept {
  const std::size_t n = xs.length;
  const std::byte* px = xs.data;
  const std::byte* pw = ws.data;
  const std::ptrdiff_t sx = Contiguous ? 8 : xs.stride;
  const std::ptrdiff_t sw = Contiguous ? 8 : ws.stride;
  const __m128d vr = _mm_set1_pd(r), vk = _mm_set1_pd(strike);
  __m128d first = _mm_set_pd(delta.s1, payoff.s1), second = _mm_set_pd(delta.s2, payoff.s2);
  std::size_t k = 0;
  for (; k + 2 <= n; k += 2, px += 2 * sx, pw += 2 * sw) {
    __m128d x, w;
    if constexpr (Contiguous) {
      if ((k & 7) == 0) {  // once per cache line of each array
        prefetch_ahead(px);
        prefetch_ahead(pw);
      }
      x = _mm_loadu_pd(reinterpret_cast<const double*>(px));
      w = _mm_loadu_pd(reinterpret_cast<const double*>(pw));
    } else {
      x = _mm_set_pd(load_double(px + sx), load_double(px));
      w = _mm_set_pd(load_double(pw + sw), load_double(pw));
    }
    const __m128d p = payoff2<Kind>(x, vk);
    const __m128d d = _mm_mul_pd(_mm_mul_pd(w, p), vr);
    const __m128d path0 = _mm_unpacklo_pd(p, d);  // [p_k, d_k]
    const __m128d path1 = _mm_unpackhi_pd(p, d);  // [p_k+1, d_k+1]
    first = _mm_add_pd(first, path0);
    second = _mm_add_pd(second, _mm_mul_pd(path0, path0));
    first = _mm_add_pd(first, path1);
    second = _mm_add_pd(second, _mm_mul_pd(path1, path1));
  }
  if (k < n) {
    const Payoff f{Kind, strike};
    const double p = f(load_double(px));
    const double d = (load_double(pw) * p) * r;
    const __m128d path = _mm_set_pd(d, p);
    first = _mm_add_pd(first, path);
    second = _mm_add_pd(second, _mm_mul_pd(path, path));
  }
  alignas(16) double s1[2], s2[2];
  _mm_store_pd(s1, first);
  _mm_store_pd(s2, second);
  payoff = RunningSums{s1[0], s2[0]};
  delta = RunningSums{s1[1], s2[1]};
}

#else

// One loop body per payoff kind: p = payoff(x), d = (W * p) * r, then the four
// sums, each strictly in index order.
template <PayoffKind Kind, bool Contiguous>
void run(const VectorView& xs, const VectorView& ws, double r, double strike, RunningSums& payoff,
         RunningSums& delta) noexcept {
  const Payoff f{Kind, strike};
  const std::size_t n = xs.length;
  for (std::size_t k = 0; k < n; ++k) {
    const double p = f(xs[k]);
    const double d = (ws[k] * p) * r;
    payoff.add(p);
    delta.add(d);
  }
}

#endif

// The loop is specialised per payoff kind (chosen once per call, so there is no
// per-path switch) and per layout. It runs in chunks, so that a long call can be
// interrupted between two of them; the four sums carry on from chunk to chunk,
// each in index order as in one pass.
template <PayoffKind Kind>
Estimate dispatch_layout(const VectorView& xs, const VectorView& ws, double r, double strike) {
  const bool contiguous = xs.is_contiguous() && ws.is_contiguous();
  const std::size_t n = xs.length;
  RunningSums payoff, delta;
  InterruptBudget budget;
  for (std::size_t first = 0; first < n; first += kInterruptChunk) {
    const std::size_t count = std::min(kInterruptChunk, n - first);
    const VectorView x{xs.address(first), count, xs.stride}, w{ws.address(first), count, ws.stride};
    if (contiguous) {
      run<Kind, true>(x, w, r, strike, payoff, delta);
    } else {
      run<Kind, false>(x, w, r, strike, payoff, delta);
    }
    budget.spend(count);
  }
  return make_estimate(payoff, delta, n);
}

}  // namespace

Outcome<Estimate> price_and_delta_constant_flow(const VectorView& terminal_states,
                                                const VectorView& w_terminals, double horizon,
                                                double sigma_at_x0, std::string_view payoff,
                                                double strike) {
  if (terminal_states.length != w_terminals.length) {
    return ValueFailure{"terminal_states and w_terminals must have the same length"};
  }
  const auto found = payoff_from_name(payoff, strike);
  if (!found) {
    std::string m = "unknown payoff '";
    m += payoff;
    m += "': expected 'identity', 'call', 'put', or 'digital_call'";
    return ValueFailure{std::move(m)};
  }
  if (!(horizon > 0.0)) fail("horizon must be positive");
  if (!(sigma_at_x0 > 0.0)) fail("sigma_at_x0 must be positive");
  const double r = constant_flow_reciprocal(horizon, sigma_at_x0);
  switch (found->kind) {
    case PayoffKind::identity:
      return dispatch_layout<PayoffKind::identity>(terminal_states, w_terminals, r, strike);
    case PayoffKind::call:
      return dispatch_layout<PayoffKind::call>(terminal_states, w_terminals, r, strike);
    case PayoffKind::put:
      return dispatch_layout<PayoffKind::put>(terminal_states, w_terminals, r, strike);
    case PayoffKind::digital_call:
      return dispatch_layout<PayoffKind::digital_call>(terminal_states, w_terminals, r, strike);
  }
  return dispatch_layout<PayoffKind::identity>(terminal_states, w_terminals, r, strike);
}

}  // namespace quorvane
