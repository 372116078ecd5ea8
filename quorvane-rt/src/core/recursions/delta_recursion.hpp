// The tangent-flow delta recursion: its inputs, its state, its step and its
// finish, written once over lane traits (core/lanes/lanes.hpp). The kernels
// (core/kernels/recursion_groups.hpp) run it for many paths side by side and
// as the one-lane scalar instance.
//
// Per path, with the values before step j (Y_0 = 1, acc_0 = +0.0), each
// operation rounded in exactly this order (no fused multiply-add, no
// reassociation):
//
//   t = Y / s;  t = t * inv_horizon;  t = t * dW;  acc = acc + t;
//   a = (sigma' * Y) * dW;  b = (mu' * Y) * dt;  Y = Y + (a + b)
//
// and the weight is acc (and, for DeltaVariationRecursion, Y after the last
// step as well). Every lane performs exactly this sequence for its own
// path, so every lane has the bits of the one-lane instance.

#pragma once

#include <cstddef>

#include "core/lanes/lanes.hpp"
#include "core/recursions/recursion.hpp"
#include "core/views/views.hpp"

namespace quorvane {

// The validated bundle: the four read arrays (each at least n_paths x n_steps),
// the path and step counts, dt = T / n_steps and inv_horizon = 1.0 / T, both
// computed once so that no step divides by T.
struct TangentFlowInputs {
  MatrixView dws, sigma, d_mu_dx, d_sigma_dx;
  std::size_t n_paths = 0, n_steps = 0;
  double dt = 0.0, inv_horizon = 0.0;
};

// Position of a sigma element that compares equal to 0.0 (+0.0 or -0.0).
struct ZeroSigma {
  std::size_t path, step;
  friend bool operator==(const ZeroSigma&, const ZeroSigma&) = default;
};

namespace detail {
namespace {

struct DeltaRecursion {
  using Inputs = TangentFlowInputs;
  static constexpr std::size_t kArrays = 4;  // sigma, dws, d_mu_dx, d_sigma_dx
  static constexpr std::size_t kPhases = 1;
  static constexpr std::size_t kPhaseArrays[kPhases] = {4};
  static constexpr std::size_t kOutputs = 1;  // the weight

  static ViewList<kArrays> arrays(const Inputs& in) noexcept {
    return {in.sigma, in.dws, in.d_mu_dx, in.d_sigma_dx};
  }
  static std::size_t n_paths(const Inputs& in) noexcept { return in.n_paths; }
  static std::size_t n_steps(const Inputs& in) noexcept { return in.n_steps; }
  static std::size_t phase_end(const Inputs& in, std::size_t) noexcept { return in.n_steps; }

  template <class L>
  struct Constants {
    typename L::V inv_horizon, dt;
    explicit Constants(const Inputs& in) noexcept
        : inv_horizon(L::set1(in.inv_horizon)), dt(L::set1(in.dt)) {}
  };

  template <class L>
  struct State {
    typename L::V y, acc;
  };

  template <class L>
  static void start(State<L>& st) noexcept {
    st.y = L::set1(1.0);
    st.acc = L::set1(0.0);
  }

  // v = {s, dW, mu', sigma'} of this step.
  template <std::size_t Phase, class L>
  static void step(State<L>& st, const typename L::V* v, const Constants<L>& c) noexcept {
    using V = typename L::V;
    V t = L::div(st.y, v[0]);
    t = L::mul(t, c.inv_horizon);
    t = L::mul(t, v[1]);
    st.acc = L::add(st.acc, t);
    const V a = L::mul(L::mul(v[3], st.y), v[1]);
    const V b = L::mul(L::mul(v[2], st.y), c.dt);
    // a + b is rounded before it is added to Y; (Y + a) + b would differ.
    st.y = L::add(st.y, L::add(a, b));
  }

  template <class L>
  static void finish(const State<L>& st, const Constants<L>&, typename L::V* out) noexcept {
    out[0] = st.acc;
  }
};

// The same recursion, with the first variation Y_N = dX_N/dX_0 after the last
// step as a second output (the localised delta's pathwise term): the steps are
// the delta recursion's, so the weight has its bits.
struct DeltaVariationRecursion : DeltaRecursion {
  static constexpr std::size_t kOutputs = 2;  // the weight, then Y_N

  template <class L>
  static void finish(const State<L>& st, const Constants<L>&, typename L::V* out) noexcept {
    out[0] = st.acc;
    out[1] = st.y;
  }
};

}  // namespace
}  // namespace detail

}  // namespace quorvane
