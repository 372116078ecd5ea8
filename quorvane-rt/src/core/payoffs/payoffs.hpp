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

namespace detail {
namespace {

struct IdentityPayoff {
  static constexpr std::string_view kName = "identity";
  template <class L>
  static typename L::V eval(typename L::V x, typename L::V) noexcept {
    return x;
  }
};

struct CallPayoff {
  static constexpr std::string_view kName = "call";
  template <class L>
  static typename L::V eval(typename L::V x, typename L::V k) noexcept {
    return L::positive(L::sub(x, k));
  }
};

struct PutPayoff {
  static constexpr std::string_view kName = "put";
  template <class L>
  static typename L::V eval(typename L::V x, typename L::V k) noexcept {
    return L::positive(L::sub(k, x));
  }
};

struct DigitalCallPayoff {
  static constexpr std::string_view kName = "digital_call";
  template <class L>
  static typename L::V eval(typename L::V x, typename L::V k) noexcept {
    return L::one_if_less(k, x);
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
