// The table of built-in payoffs: one row per payoff, with its exact name and
// its evaluation lane by lane (x the terminal state, k the strike):
//
//   identity      x
//   call          d = x - K; d if d > 0 else +0.0
//   put           d = K - x; d if d > 0 else +0.0
//   digital_call  1.0 if K < x else 0.0
//
// "d if d > 0 else +0.0" is not max(d, 0) with NaN propagation: a NaN difference
// gives +0.0 (the lane traits' `positive`, MAXSD/MAXPD, which also keeps the
// loops free of a data-dependent branch). Every fused loop evaluates a payoff
// through its row, specialised once per call (with_payoff); the names, the
// lookup and the unknown-payoff message come from the same rows. A new payoff
// is one row and its entry in PayoffRows.
//
// The second column, `localise`, splits the payoff f = g + (f - g) around the
// strike for the localised estimators (core/estimates/localised_greeks.hpp):
// g is smooth and differentiated along the path, the rest f - g lives only in
// the band (K - delta, K + delta) and takes the BEL weight. With the band's
// constants lo = K - delta and iw = 1 / (delta + delta), rounded once per call,
// and p = f(x) already evaluated, per path
//
//   u = (x - lo) * iw;   inside = 0 < u < 1;   v = u inside, 1 if u >= 1, else 0
//
//   identity      rest 0,  g' 1,  g'' 0                     (g = f: pathwise)
//   call          g = (u * u) * delta inside, x - K above, 0 below;
//                 rest p - g,  g' v,  g'' iw inside else 0
//   put           g_put = g_call - (x - K), whose rest f_put - g_put equals the
//                 call's, so rest is positive(x - K) - g_call, the call's,
//                 rounded the same way;  g' v - 1,  g'' iw inside else 0
//   digital_call  a C1 smoothstep: g = (v * v) * (3 - (v + v)), rest p - g,
//                 g' ((6 * v) * (1 - v)) * iw,
//                 g'' (6 - (12 * v)) * (iw * iw) inside else 0
//
// each operation rounded in exactly the order written. Outside the band the
// rest is exactly 0 (above it, p and g are the same double), so the weighted
// term only sees paths that end near the strike.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "core/lanes/lanes.hpp"

namespace quorvane {

// A payoff by its row in the table.
enum class PayoffKind : std::size_t {};

// The band of half-width `delta` around the strike, as the `localise` column
// reads it: lo = strike - delta, iw = 1 / (delta + delta), iw2 = iw * iw.
struct Band {
  double delta, strike, lo, iw, iw2;
};

// One path's split of the payoff: f - g, g' and g'' at X_N.
struct Localised {
  double rest, d1, d2;
};

namespace detail {
namespace {

inline Band band_around(double strike, double delta) noexcept {
  const double iw = 1.0 / (delta + delta);
  return Band{delta, strike, strike - delta, iw, iw * iw};
}

// u, whether it is inside the band, and v (u clamped to [0, 1]; NaN gives 0).
struct BandPosition {
  double u, v;
  bool inside;
  BandPosition(double x, const Band& b) noexcept : u((x - b.lo) * b.iw) {
    inside = u > 0.0 && u < 1.0;
    v = inside ? u : (u >= 1.0 ? 1.0 : 0.0);
  }
};

// The call's smooth part: (u * u) * delta inside, x - K above, 0 below.
inline double smooth_call(double x, const BandPosition& at, const Band& b) noexcept {
  if (at.inside) return (at.u * at.u) * b.delta;
  return at.u >= 1.0 ? x - b.strike : 0.0;
}

struct IdentityPayoff {
  static constexpr std::string_view kName = "identity";
  template <class L>
  static typename L::V eval(typename L::V x, typename L::V) noexcept {
    return x;
  }
  static Localised localise(double, double, const Band&) noexcept { return Localised{0.0, 1.0, 0.0}; }
};

struct CallPayoff {
  static constexpr std::string_view kName = "call";
  template <class L>
  static typename L::V eval(typename L::V x, typename L::V k) noexcept {
    return L::positive(L::sub(x, k));
  }
  static Localised localise(double x, double p, const Band& b) noexcept {
    const BandPosition at(x, b);
    return Localised{p - smooth_call(x, at, b), at.v, at.inside ? b.iw : 0.0};
  }
};

struct PutPayoff {
  static constexpr std::string_view kName = "put";
  template <class L>
  static typename L::V eval(typename L::V x, typename L::V k) noexcept {
    return L::positive(L::sub(k, x));
  }
  static Localised localise(double x, double, const Band& b) noexcept {
    const BandPosition at(x, b);
    const double call = CallPayoff::eval<ScalarLanes>(x, b.strike);
    return Localised{call - smooth_call(x, at, b), at.v - 1.0, at.inside ? b.iw : 0.0};
  }
};

struct DigitalCallPayoff {
  static constexpr std::string_view kName = "digital_call";
  template <class L>
  static typename L::V eval(typename L::V x, typename L::V k) noexcept {
    return L::one_if_less(k, x);
  }
  static Localised localise(double x, double p, const Band& b) noexcept {
    const BandPosition at(x, b);
    const double v = at.v;
    const double g = (v * v) * (3.0 - (v + v));
    return Localised{p - g, ((6.0 * v) * (1.0 - v)) * b.iw,
                     at.inside ? (6.0 - (12.0 * v)) * b.iw2 : 0.0};
  }
};

// The rows, in the order of the names in messages.
using PayoffRows = std::tuple<IdentityPayoff, CallPayoff, PutPayoff, DigitalCallPayoff>;
inline constexpr std::size_t kPayoffRows = std::tuple_size_v<PayoffRows>;

template <std::size_t I>
using PayoffRow = std::tuple_element_t<I, PayoffRows>;

// f(Row{}) for the row of `kind`: a loop specialised per payoff, chosen once
// per call.
template <std::size_t I = 0, class F>
inline decltype(auto) with_payoff(PayoffKind kind, F&& f) {
  if constexpr (I + 1 == kPayoffRows) {
    return f(PayoffRow<I>{});
  } else {
    if (static_cast<std::size_t>(kind) == I) return f(PayoffRow<I>{});
    return with_payoff<I + 1>(kind, static_cast<F&&>(f));
  }
}

// The row index of Row.
template <class Row, std::size_t I = 0>
constexpr PayoffKind payoff_kind_of() noexcept {
  if constexpr (std::is_same_v<Row, PayoffRow<I>>) {
    return PayoffKind{I};
  } else {
    return payoff_kind_of<Row, I + 1>();
  }
}

}  // namespace
}  // namespace detail

// A payoff and its strike, evaluated one value at a time (the one-lane row).
struct Payoff {
  PayoffKind kind;
  double strike;
  double operator()(double x) const noexcept;
};

// The row named `name`: exact, case-sensitive byte comparison; no trimming,
// folding or aliases.
std::optional<PayoffKind> payoff_kind_from_name(std::string_view name) noexcept;

inline std::optional<Payoff> payoff_from_name(std::string_view name, double strike) noexcept {
  const std::optional<PayoffKind> kind = payoff_kind_from_name(name);
  if (!kind) return std::nullopt;
  return Payoff{*kind, strike};
}

// "unknown payoff '<name>': expected 'identity', 'call', 'put', or
// 'digital_call'" (the rows' names in order), or with list_expected false only
// "unknown payoff '<name>'".
std::string unknown_payoff_message(std::string_view name, bool list_expected = true);

}  // namespace quorvane
