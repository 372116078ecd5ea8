#include "from_paths/constant_flow_price.hpp"

#include <string>

#include "estimators/constant_flow.hpp"
#include "estimators/payoff.hpp"
#include "support/failure.hpp"

namespace quorvane {

namespace {

// One loop body per payoff kind, chosen once: no per-path switch and, through
// positive_part, no data-dependent branch. Per path: p = payoff(x),
// d = (W * p) * r (the product of Brownian value and payoff is rounded first),
// then the four sums, each strictly in index order. The two views are read in
// place; copying them first would give the same bits.
template <PayoffKind Kind, bool Contiguous>
Estimate run(const VectorView& xs, const VectorView& ws, double r, double strike) noexcept {
  RunningSums payoff, delta;
  const Payoff f{Kind, strike};
  const std::size_t n = xs.length;
  const std::byte* px = xs.data;
  const std::byte* pw = ws.data;
  const std::ptrdiff_t sx = Contiguous ? 8 : xs.stride;
  const std::ptrdiff_t sw = Contiguous ? 8 : ws.stride;
  for (std::size_t k = 0; k < n; ++k, px += sx, pw += sw) {
    const double p = f(load_double(px));
    const double d = (load_double(pw) * p) * r;
    payoff.add(p);
    delta.add(d);
  }
  return make_estimate(payoff, delta, n);
}

template <PayoffKind Kind>
Estimate dispatch_layout(const VectorView& xs, const VectorView& ws, double r, double strike) noexcept {
  if (xs.is_contiguous() && ws.is_contiguous()) return run<Kind, true>(xs, ws, r, strike);
  return run<Kind, false>(xs, ws, r, strike);
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
