#include "core/estimates/constant_flow_price.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "core/weights/constant_flow.hpp"
#include "core/payoffs/payoffs.hpp"
#include "core/kernels/streams.hpp"
#include "core/support/failure.hpp"
#include "core/support/interrupt.hpp"

namespace quorvane {

namespace {

// One pass: per path p = payoff(x) and d = (W * p) * r, the product of Brownian
// value and payoff rounded first, fed path by path into [S1 payoff, S1 delta]
// and [S2 payoff, S2 delta]. The loop waits on those two addition chains, not on
// the per-path arithmetic, so the SSE2 build (two paths a step) is the only one.
// The views are read in place; copying them first would give the same bits.
// The walk goes in chunks, so that a long call can be interrupted between two
// of them; the four sums carry on from chunk to chunk, in index order.
template <class Payoff, bool Contiguous>
LaneSums<2> run(const VectorView& xs, const VectorView& ws, double r, double strike) {
  using S = detail::Stream<Contiguous>;
  detail::PriceSums<Payoff, true, S, S> body{S::of(xs), {S::of(ws)}, strike, r};
  for_each_interrupt_chunk(xs.length, [&](std::size_t first, std::size_t last) {
    detail::walk<detail::Sse2Lanes>(body, first, last);
  });
  return body.sums.sums(xs.length);
}

}  // namespace

Outcome<LaneSums<2>> price_and_delta_constant_flow_sums(const VectorView& terminal_states,
                                                        const VectorView& w_terminals,
                                                        double horizon, double sigma_at_x0,
                                                        std::string_view payoff, double strike) {
  if (terminal_states.length != w_terminals.length) {
    return ValueFailure{"terminal_states and w_terminals must have the same length"};
  }
  const std::optional<PayoffKind> kind = payoff_kind_from_name(payoff);
  if (!kind) return ValueFailure{unknown_payoff_message(payoff)};
  if (!(horizon > 0.0)) fail("horizon must be positive");
  if (!(sigma_at_x0 > 0.0)) fail("sigma_at_x0 must be positive");
  const double r = constant_flow_reciprocal(horizon, sigma_at_x0);
  // The loop is specialised per payoff kind (chosen once per call, so there is
  // no per-path switch) and per layout.
  const bool contiguous = terminal_states.is_contiguous() && w_terminals.is_contiguous();
  return detail::with_payoff(*kind, [&](auto row) {
    using Payoff = decltype(row);
    return contiguous ? run<Payoff, true>(terminal_states, w_terminals, r, strike)
                      : run<Payoff, false>(terminal_states, w_terminals, r, strike);
  });
}

Outcome<Estimate> price_and_delta_constant_flow(const VectorView& terminal_states,
                                                const VectorView& w_terminals, double horizon,
                                                double sigma_at_x0, std::string_view payoff,
                                                double strike) {
  Outcome<LaneSums<2>> sums = price_and_delta_constant_flow_sums(terminal_states, w_terminals,
                                                                 horizon, sigma_at_x0, payoff, strike);
  if (!sums.ok()) return std::move(sums).failure();
  return price_and_delta_estimate(sums.value());
}

}  // namespace quorvane
