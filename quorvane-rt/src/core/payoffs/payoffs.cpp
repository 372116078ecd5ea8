#include "core/payoffs/payoffs.hpp"

#include <utility>

namespace quorvane {

double Payoff::operator()(double x) const noexcept {
  return detail::with_payoff(kind, [&](auto row) {
    return decltype(row)::template eval<detail::ScalarLanes>(x, strike);
  });
}

std::optional<PayoffKind> payoff_kind_from_name(std::string_view name) noexcept {
  std::optional<PayoffKind> found;
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    ((!found && name == detail::PayoffRow<I>::kName ? (found = PayoffKind{I}, 0) : 0), ...);
  }(std::make_index_sequence<detail::kPayoffRows>{});
  return found;
}

std::string unknown_payoff_message(std::string_view name, bool list_expected) {
  std::string m = "unknown payoff '";
  m += name;
  m += '\'';
  if (!list_expected) return m;
  m += ": expected ";
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    ((m += (I == 0 ? "'" : I + 1 == detail::kPayoffRows ? ", or '" : ", '"),
      m += detail::PayoffRow<I>::kName, m += '\''),
     ...);
  }(std::make_index_sequence<detail::kPayoffRows>{});
  return m;
}

}  // namespace quorvane
