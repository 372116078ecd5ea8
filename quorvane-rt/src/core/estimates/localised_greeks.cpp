#include "core/estimates/localised_greeks.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <type_traits>
#include <utility>

#include "core/estimates/samples.hpp"
#include "core/kernels/kernels.hpp"
#include "core/parallel/tangent_flow_parallel.hpp"
#include "core/payoffs/payoffs.hpp"
#include "core/statistics/chunk_sums.hpp"
#include "core/statistics/statistics.hpp"
#include "core/support/interrupt.hpp"
#include "core/weights/constant_flow_gamma_vega.hpp"
#include "core/weights/tangent_flow.hpp"
#include "core/weights/tangent_flow_gamma.hpp"
#include "core/weights/tangent_flow_variations.hpp"

namespace quorvane {

namespace {

constexpr std::size_t kAutoBands = std::size(kBandwidthMultiples);

// The candidates of a call: Plain (g = 0) first when present, then B bands.
// Sums lanes: 0 the payoff, then for Greek q and candidate c lane 1 + q * C + c.
template <std::size_t B, bool Plain>
struct Candidates {
  static constexpr std::size_t C = B + (Plain ? 1 : 0);
  // The lanes for G Greeks.
  template <std::size_t G>
  static constexpr std::size_t kLanes = 1 + G * C;
  Band band[B];
  bool usable[B];
};

// The bands of a call: the given bandwidth, or c * sd(X_N) for each multiple.
Candidates<1, false> fixed_band(double strike, double bandwidth) noexcept {
  Candidates<1, false> c;
  c.band[0] = detail::band_around(strike, bandwidth);
  c.usable[0] = true;
  return c;
}

// sd(X_N): the population standard deviation of the terminal values from their
// sums in path order, sqrt(S2 / N - (S1 / N)^2); 0.0 unless that variance is
// positive and finite.
double terminal_spread(const VectorView& terminal) {
  const LaneSums<1> s = sum_samples(terminal);
  const double count = static_cast<double>(s.n);
  const double mean = s.s1[0] / count;
  const double var = s.s2[0] / count - mean * mean;
  return var > 0.0 && std::isfinite(var) ? std::sqrt(var) : 0.0;
}

// The automatic candidates for the spread sd: a band c * sd is usable when it
// is positive and finite (so none is for sd = 0.0 or NaN).
Candidates<kAutoBands, true> automatic_bands(double strike, double sd) {
  Candidates<kAutoBands, true> c;
  for (std::size_t b = 0; b < kAutoBands; ++b) {
    const double delta = kBandwidthMultiples[b] * sd;
    c.usable[b] = delta > 0.0 && std::isfinite(delta);
    c.band[b] = detail::band_around(strike, c.usable[b] ? delta : 1.0);
  }
  return c;
}

// Per Greek q, the candidate with the least standard error: its estimate and
// its bandwidth (0.0 for plain BEL).
template <std::size_t G, std::size_t B, bool Plain, std::size_t K>
void choose(const Candidates<B, Plain>& cand, const std::array<MeanStderr, K>& e,
            MeanStderr (&chosen)[G], double (&bandwidth)[G]) noexcept {
  constexpr std::size_t C = B + (Plain ? 1 : 0);
  for (std::size_t q = 0; q < G; ++q) {
    std::size_t best = 0;
    const auto usable = [&](std::size_t c) { return Plain && c == 0 ? true : cand.usable[c - Plain]; };
    for (std::size_t c = 1; c < C; ++c) {
      if (!usable(c)) continue;
      const double now = e[1 + q * C + c].stderr_, was = e[1 + q * C + best].stderr_;
      if (!std::isnan(now) && (std::isnan(was) || now < was || !usable(best))) best = c;
    }
    chosen[q] = e[1 + q * C + best];
    bandwidth[q] = Plain && best == 0 ? 0.0 : cand.band[best - Plain].delta;
  }
}

// ---------------------------------------------------------------------------
// Constant flow.

struct ConstantFlowPathConstants {
  ConstantFlowGreekConstants c;
  bool gbm;   // sigma' != 0
  double ix;  // 1 / X_0 = sigma' / sigma(X_0), for GBM
};

// The sums of the price lane and of every candidate's Greek lanes, in path order.
template <class Row, std::size_t B, bool Plain>
LaneSums<Candidates<B, Plain>::template kLanes<3>> constant_flow_sums(
    const VectorView& xs, const VectorView& ws, const ConstantFlowPathConstants& k, double strike,
    const Candidates<B, Plain>& cand) {
  using Cs = Candidates<B, Plain>;
  constexpr std::size_t C = Cs::C;
  constexpr std::size_t K = Cs::template kLanes<3>;
  const ConstantFlowGreekConstants& c = k.c;
  LaneSums<K> sums;
  for_each_interrupt_chunk(xs.length, [&](std::size_t first, std::size_t last) {
    for (std::size_t i = first; i < last; ++i) {
      const double x = xs[i], w = ws[i];
      const double p = Row::template eval<detail::ScalarLanes>(x, strike);
      const double u = ((w * w) - (c.slope_t * w)) - c.horizon;
      double v[K];
      v[0] = p;
      if constexpr (Plain) {
        const double up = u * p;
        v[1] = (w * p) * c.r;
        v[1 + C] = (up * c.r) * c.r;
        v[1 + 2 * C] = up * c.h;
      }
      const double y = k.gbm ? x * k.ix : 1.0;
      const double dxdv = k.gbm ? x * (w - c.slope_t) : w;
      for (std::size_t b = 0; b < B; ++b) {
        const Localised l = Row::localise(x, p, cand.band[b]);
        const double ur = u * l.rest;
        const std::size_t at = 1 + Plain + b;
        v[at] = (l.d1 * y) + ((w * l.rest) * c.r);
        v[at + C] = (l.d2 * (y * y)) + ((ur * c.r) * c.r);
        v[at + 2 * C] = (l.d1 * dxdv) + (ur * c.h);
      }
      sums.add(v);
    }
  });
  return sums;
}

// The price and, per Greek, the chosen candidate's estimate, as `Estimate`
// (LocalisedGreekEstimate or LocalisedTangentFlowEstimate): the price, the
// Greeks, then their standard errors in the same order, and the bandwidths.
template <class Estimate, std::size_t B, bool Plain, std::size_t K>
Estimate localised_estimate(const Candidates<B, Plain>& cand, const LaneSums<K>& sums) {
  constexpr std::size_t G = std::extent_v<decltype(Estimate::bandwidth)>;
  const std::array<MeanStderr, K> e = lane_estimates(sums, UndefinedStderr::nan);
  MeanStderr g[G];
  Estimate out;
  choose<G>(cand, e, g, out.bandwidth);
  out.greeks = [&]<std::size_t... i>(std::index_sequence<i...>) {
    return decltype(out.greeks){e[0].mean, g[i].mean..., e[0].stderr_, g[i].stderr_...};
  }(std::make_index_sequence<G>{});
  return out;
}

// "bandwidth must be positive and finite" unless nullopt or in (0, inf).
std::optional<ValueFailure> bandwidth_failure(std::optional<double> bandwidth) {
  if (bandwidth && !(*bandwidth > 0.0 && std::isfinite(*bandwidth)))
    return ValueFailure{"bandwidth must be positive and finite"};
  return std::nullopt;
}

// f(candidates) for the given bandwidth or the automatic ones, whose spread is
// `spread` when given (that of all the paths, for a chunk of them) or else
// that of `terminal`.
template <class F>
decltype(auto) with_candidates(std::optional<double> bandwidth, double strike,
                               const VectorView& terminal, F&& f,
                               std::optional<double> spread = std::nullopt) {
  if (bandwidth) return f(fixed_band(strike, *bandwidth));
  return f(automatic_bands(strike, spread ? *spread : terminal_spread(terminal)));
}

// ---------------------------------------------------------------------------
// Tangent flow.

// The recursion outputs of a run of paths: pi_G, pi_D, Y_N and Z_N, each
// indexed from the run's first path.
struct PathOutputs {
  const double *gamma, *delta, *y, *z;
};

// The serial pass's source: each group of paths through the one-lane-exact
// kernels as it is summed.
class ComputedOutputs {
 public:
  explicit ComputedOutputs(const TangentFlowGammaInputs& in)
      : in_(in), target_(active_kernel_target()) {}
  static constexpr std::size_t kGroup = detail::kPassPaths;
  std::size_t work_per_path() const noexcept { return in_.flow.n_steps; }
  std::optional<ZeroSigma> fill(std::size_t first, std::size_t count, PathOutputs& at) {
    at = {pg_, pd_, ys_, zs_};
    return tangent_flow_variations_with(target_, in_, first, count, pg_, pd_, ys_, zs_);
  }

 private:
  const TangentFlowGammaInputs& in_;
  KernelTarget target_;
  double pg_[kGroup], pd_[kGroup], ys_[kGroup], zs_[kGroup];
};

// The parallel form's source: every path's outputs, computed beforehand.
struct StoredOutputs {
  static constexpr std::size_t kGroup = detail::kPassPaths;
  PathOutputs all;
  std::size_t work_per_path() const noexcept { return 1; }
  std::optional<ZeroSigma> fill(std::size_t first, std::size_t, PathOutputs& at) const {
    at = {all.gamma + first, all.delta + first, all.y + first, all.z + first};
    return std::nullopt;
  }
};

// The samples of every path from its recursion outputs (`Source`: computed
// group by group, or stored), summed in path order.
template <class Row, std::size_t B, bool Plain, class Source>
Outcome<LaneSums<Candidates<B, Plain>::template kLanes<2>>> tangent_flow_sums(
    Source& source, std::size_t n_paths, const VectorView& terminal, double strike,
    const Candidates<B, Plain>& cand) {
  using Cs = Candidates<B, Plain>;
  constexpr std::size_t C = Cs::C;
  constexpr std::size_t K = Cs::template kLanes<2>;
  constexpr std::size_t kGroup = Source::kGroup;
  LaneSums<K> sums;
  InterruptBudget budget;
  for (std::size_t first = 0; first < n_paths; first += kGroup) {
    const std::size_t count = std::min(kGroup, n_paths - first);
    PathOutputs o;
    if (std::optional<ZeroSigma> zero = source.fill(first, count, o))
      return ValueFailure{zero_sigma_message(*zero, "sigma_field")};
    for (std::size_t k = 0; k < count; ++k) {
      const double x = terminal[first + k];
      const double p = Row::template eval<detail::ScalarLanes>(x, strike);
      const double y = o.y[k], z = o.z[k], pd = o.delta[k], pg = o.gamma[k];
      double v[K];
      v[0] = p;
      if constexpr (Plain) {
        v[1] = pd * p;
        v[1 + C] = pg * p;
      }
      for (std::size_t b = 0; b < B; ++b) {
        const Localised l = Row::localise(x, p, cand.band[b]);
        const std::size_t at = 1 + Plain + b;
        v[at] = (l.d1 * y) + (pd * l.rest);
        v[at + C] = ((l.d2 * (y * y)) + (l.d1 * z)) + (pg * l.rest);
      }
      sums.add(v);
    }
    budget.spend(count * source.work_per_path());
  }
  return sums;
}


}  // namespace

namespace {

// The checks, then the sums of the constant-flow pass for the given bandwidth
// or the automatic candidates (with_candidates), turned into the result by
// finish(candidates, sums).
template <class R, class Finish>
Outcome<R> constant_flow_run(const VectorView& terminal_states, const VectorView& w_terminals,
                             double horizon, double sigma_at_x0, double d_sigma_dx,
                             double volatility, std::string_view payoff, double strike,
                             std::optional<double> bandwidth, std::optional<double> spread,
                             Finish&& finish) {
  Outcome<PayoffKind> kind = validate_constant_flow_greeks_inputs(
      terminal_states, w_terminals, horizon, sigma_at_x0, d_sigma_dx, volatility, payoff);
  if (!kind.ok()) return std::move(kind).failure();
  if (std::optional<ValueFailure> f = bandwidth_failure(bandwidth)) return std::move(*f);

  ConstantFlowPathConstants k;
  k.c = constant_flow_greek_constants(horizon, sigma_at_x0, d_sigma_dx, volatility);
  k.gbm = d_sigma_dx != 0.0;
  k.ix = d_sigma_dx / sigma_at_x0;
  return with_candidates(
      bandwidth, strike, terminal_states,
      [&](const auto& cand) -> Outcome<R> {
        return detail::with_payoff(kind.value(), [&](auto row) -> Outcome<R> {
          return finish(cand, constant_flow_sums<decltype(row)>(terminal_states, w_terminals, k,
                                                                strike, cand));
        });
      },
      spread);
}

}  // namespace

Outcome<LocalisedGreekEstimate> price_and_greeks_constant_flow_localised(
    const VectorView& terminal_states, const VectorView& w_terminals, double horizon,
    double sigma_at_x0, double d_sigma_dx, double volatility, std::string_view payoff,
    double strike, std::optional<double> bandwidth) {
  return constant_flow_run<LocalisedGreekEstimate>(
      terminal_states, w_terminals, horizon, sigma_at_x0, d_sigma_dx, volatility, payoff, strike,
      bandwidth, std::nullopt,
      [](const auto& cand, const auto& sums) { return localised_estimate<LocalisedGreekEstimate>(cand, sums); });
}

Outcome<DoubleBuffer> price_and_greeks_constant_flow_localised_sums(
    const VectorView& terminal_states, const VectorView& w_terminals, double horizon,
    double sigma_at_x0, double d_sigma_dx, double volatility, std::string_view payoff,
    double strike, std::optional<double> bandwidth, std::optional<double> spread) {
  return constant_flow_run<DoubleBuffer>(
      terminal_states, w_terminals, horizon, sigma_at_x0, d_sigma_dx, volatility, payoff, strike,
      bandwidth, spread, [](const auto&, const auto& sums) { return chunk_sums_row(sums); });
}

Outcome<LocalisedTangentFlowInputs> validate_tangent_flow_localised_inputs(
    const MatrixView& states, const MatrixView& dws, const MatrixView& sigma_field,
    const MatrixView& d_mu_dx_field, const MatrixView& d_sigma_dx_field,
    const MatrixView& d2_mu_dx2_field, const MatrixView& d2_sigma_dx2_field, double horizon,
    std::string_view payoff, double strike, std::optional<double> bandwidth) {
  Outcome<TangentFlowGreeksInputs> v = validate_tangent_flow_greeks_inputs(
      states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, d2_mu_dx2_field,
      d2_sigma_dx2_field, horizon, payoff);
  if (!v.ok()) return std::move(v).failure();
  if (std::optional<ValueFailure> f = bandwidth_failure(bandwidth)) return std::move(*f);
  return LocalisedTangentFlowInputs{{v.value()}, strike, bandwidth};
}

namespace {

// The bands (the given bandwidth, or the automatic candidates of `spread` or
// of the terminal values), then the pass over the paths' outputs from
// `source`, whose sums finish(candidates, sums) turns into the result.
template <class R, class Source, class Finish>
Outcome<R> tangent_flow_run(const LocalisedTangentFlowInputs& in, Source& source,
                            std::optional<double> spread, Finish&& finish) {
  return with_candidates(
      in.bandwidth, in.strike, in.terminal,
      [&](const auto& cand) -> Outcome<R> {
        return detail::with_payoff(in.payoff, [&](auto row) -> Outcome<R> {
          auto sums = tangent_flow_sums<decltype(row)>(source, in.paths.flow.n_paths, in.terminal,
                                                       in.strike, cand);
          if (!sums.ok()) return std::move(sums).failure();
          return finish(cand, sums.value());
        });
      },
      spread);
}

template <class Source>
Outcome<LocalisedTangentFlowEstimate> tangent_flow_estimate(const LocalisedTangentFlowInputs& in,
                                                            Source& source) {
  return tangent_flow_run<LocalisedTangentFlowEstimate>(
      in, source, std::nullopt,
      [](const auto& cand, const auto& sums) { return localised_estimate<LocalisedTangentFlowEstimate>(cand, sums); });
}

}  // namespace

Outcome<LocalisedTangentFlowEstimate> price_and_greeks_tangent_flow_localised(
    const LocalisedTangentFlowInputs& inputs) {
  ComputedOutputs source(inputs.paths);
  return tangent_flow_estimate(inputs, source);
}

Outcome<DoubleBuffer> price_and_greeks_tangent_flow_localised_sums(
    const LocalisedTangentFlowInputs& inputs, std::optional<double> spread) {
  ComputedOutputs source(inputs.paths);
  return tangent_flow_run<DoubleBuffer>(inputs, source, spread, [](const auto&, const auto& sums) {
    return chunk_sums_row(sums);
  });
}

Outcome<LocalisedTangentFlowEstimate> price_and_greeks_tangent_flow_localised_parallel(
    const LocalisedTangentFlowInputs& inputs) {
  const TangentFlowGammaInputs& in = inputs.paths;
  const KernelTarget target = active_kernel_target();
  std::array<DoubleBuffer, 4> out;  // pi_G, pi_D, Y_N, Z_N
  if (std::optional<ZeroSigma> zero = path_outputs_parallel(
          out, in.flow.n_paths, in.flow.n_steps,
          [&](std::size_t first, std::size_t count, const std::array<double*, 4>& at) {
            return tangent_flow_variations_with(target, in, first, count, at[0], at[1], at[2],
                                                at[3]);
          }))
    return ValueFailure{zero_sigma_message(*zero, "sigma_field")};
  StoredOutputs source{{out[0].data(), out[1].data(), out[2].data(), out[3].data()}};
  return tangent_flow_estimate(inputs, source);
}

Outcome<WeightsAndVariations> bel_weights_and_variations_tangent_flow(
    const TangentFlowGammaInputs& in) {
  const std::size_t n = in.flow.n_paths;
  WeightsAndVariations out{DoubleBuffer::uninitialized(n), DoubleBuffer::uninitialized(n),
                           DoubleBuffer::uninitialized(n), DoubleBuffer::uninitialized(n)};
  if (std::optional<ZeroSigma> zero = tangent_flow_variations_with(
          active_kernel_target(), in, 0, n, out.gamma.data(), out.delta.data(), out.y.data(),
          out.z.data()))
    return ValueFailure{zero_sigma_message(*zero)};
  return out;
}

}  // namespace quorvane
