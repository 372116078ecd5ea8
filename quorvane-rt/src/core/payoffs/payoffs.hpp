// The four built-in payoffs, looked up once per call by exact name.
//
//   identity      x
//   call          d = x - K; d if d > 0 else +0.0
//   put           d = K - x; d if d > 0 else +0.0
//   digital_call  1.0 if K < x else 0.0
//
// "d if d > 0 else +0.0" is not max(d, 0) with NaN propagation: a NaN difference
// gives +0.0. On x86 it is exactly MAXSD(d, 0.0) (the second operand is returned
// unless the first is strictly greater), which also keeps the loops free of a
// data-dependent branch: gcc turns the ternary into a jump that mispredicts on
// random paths.
#pragma once

#include <optional>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorvane {

enum class PayoffKind { identity, call, put, digital_call };

inline double positive_part(double d) noexcept {
#if defined(__SSE2__)
  return _mm_cvtsd_f64(_mm_max_sd(_mm_set_sd(d), _mm_setzero_pd()));
#else
  return d > 0.0 ? d : 0.0;
#endif
}

struct Payoff {
  PayoffKind kind;
  double strike;

  double operator()(double x) const noexcept {
    switch (kind) {
      case PayoffKind::identity: return x;
      case PayoffKind::call: return positive_part(x - strike);
      case PayoffKind::put: return positive_part(strike - x);
      case PayoffKind::digital_call: return strike < x ? 1.0 : 0.0;
    }
    return x;
  }
};

// Exact, case-sensitive byte comparison; no trimming, folding or aliases.
inline std::optional<Payoff> payoff_from_name(std::string_view name, double strike) noexcept {
  if (name == "identity") return Payoff{PayoffKind::identity, strike};
  if (name == "call") return Payoff{PayoffKind::call, strike};
  if (name == "put") return Payoff{PayoffKind::put, strike};
  if (name == "digital_call") return Payoff{PayoffKind::digital_call, strike};
  return std::nullopt;
}

}  // namespace quorvane
