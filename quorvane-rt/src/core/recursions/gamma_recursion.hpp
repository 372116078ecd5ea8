// The tangent-flow gamma recursion: its inputs, state, steps and finish over
// lane traits, run by the kernels (core/kernels/recursion_groups.hpp) for many
// paths side by side and as the one-lane scalar instance.
//
// Per path, with the values before step j (Y_0 = 1, Z_0 = 0) and the grid split
// at m = floor(N / 2) steps (phase 0: j < m, reading all six arrays; phase 1:
// j >= m, reading the first four):
//
//   k = Y / s                                       every step (s = sigma)
//   j <  m:  a = a + (k * dW)
//            e = (Z / s) - ((k * k) * sigma')
//            c = c + (e * dW)
//            Z = Z + ((((sigma'' * (Y * Y)) + (sigma' * Z)) * dW)
//                      + (((mu'' * (Y * Y)) + (mu' * Z)) * dt))
//   j >= m:  b = b + (k * dW)
//   every step, exactly the delta recursion's update:
//            Y = Y + (((sigma' * Y) * dW) + ((mu' * Y) * dt))
//   with the delta weight (WithDelta, for the fused estimator):
//            acc = acc + ((k * inv_horizon) * dW)
//
// and at the end pi = ((a * inv_t1) * (b * inv_t2)) + (c * inv_t1), that is
// A * B + C with A = a / T1, B = b / (T - T1), C = c / T1; the outputs are pi
// and, WithDelta, acc. Z is not needed after step m - 1 for pi, so the second
// phase neither updates it nor reads the second derivatives, unless the last
// variations are asked for (WithVariations, which implies WithDelta): then
// phase 1 reads all six arrays too and updates Z exactly as phase 0 does
// (before Y's update, from the Y before the step), and the outputs are pi,
// acc, Y_N and Z_N, the first and second variations dX_N/dX_0 and
// d2X_N/dX_0^2 after the last step (the localised estimators' pathwise terms).
// The other instances' operations are unchanged. Each operation is
// rounded in exactly the order written (no fused multiply-add, no
// reassociation); a lane performs exactly this sequence for its own path, so
// every lane has the bits of the one-lane instance.
#pragma once

#include <cstddef>

#include "core/lanes/lanes.hpp"
#include "core/recursions/delta_recursion.hpp"
#include "core/recursions/recursion.hpp"
#include "core/views/views.hpp"

namespace quorvane {

// The validated bundle: the delta recursion's inputs (its four arrays, the
// counts, dt and inv_horizon), the two second-derivative arrays, the split and
// the reciprocals of both interval lengths, each computed once per call.
struct TangentFlowGammaInputs {
  TangentFlowInputs flow;
  MatrixView d2_mu_dx2, d2_sigma_dx2;
  std::size_t split = 0;  // m = floor(n_steps / 2)
  double inv_t1 = 0.0;    // 1.0 / (m * dt)
  double inv_t2 = 0.0;    // 1.0 / (horizon - m * dt)
};


namespace detail {
namespace {

template <bool WithDelta, bool WithVariations = false>
struct GammaRecursion {
  static_assert(WithDelta || !WithVariations, "the variations come with the delta weight");
  using Inputs = TangentFlowGammaInputs;
  // sigma, dws, mu', sigma', mu'', sigma''
  static constexpr std::size_t kArrays = 6;
  static constexpr std::size_t kPhases = 2;
  static constexpr std::size_t kPhaseArrays[kPhases] = {6, WithVariations ? 6u : 4u};
  // gamma, then delta, then Y_N and Z_N
  static constexpr std::size_t kOutputs = WithVariations ? 4 : WithDelta ? 2 : 1;

  static ViewList<kArrays> arrays(const Inputs& in) noexcept {
    return {in.flow.sigma,      in.flow.dws,  in.flow.d_mu_dx,
            in.flow.d_sigma_dx, in.d2_mu_dx2, in.d2_sigma_dx2};
  }
  static std::size_t n_paths(const Inputs& in) noexcept { return in.flow.n_paths; }
  static std::size_t n_steps(const Inputs& in) noexcept { return in.flow.n_steps; }
  static std::size_t phase_end(const Inputs& in, std::size_t phase) noexcept {
    return phase == 0 ? in.split : in.flow.n_steps;
  }

  template <class L>
  struct Constants {
    using V = typename L::V;
    V dt, inv_horizon, inv_t1, inv_t2;
    explicit Constants(const Inputs& in) noexcept
        : dt(L::set1(in.flow.dt)),
          inv_horizon(L::set1(in.flow.inv_horizon)),
          inv_t1(L::set1(in.inv_t1)),
          inv_t2(L::set1(in.inv_t2)) {}
  };

  template <class L>
  struct State {
    typename L::V y, z, a, b, c, acc;
  };

  template <class L>
  static void start(State<L>& st) noexcept {
    st.y = L::set1(1.0);
    st.z = L::set1(0.0);
    st.a = st.b = st.c = st.acc = L::set1(0.0);
  }

  // Z = Z + ((((sigma'' * (Y * Y)) + (sigma' * Z)) * dW) + (((mu'' * (Y * Y)) + (mu' * Z)) * dt)).
  template <class L>
  static void update_z(State<L>& st, const typename L::V* v, const Constants<L>& cst) noexcept {
    using V = typename L::V;
    const V dw = v[1], dmu = v[2], dsig = v[3], d2mu = v[4], d2sig = v[5];
    const V y2 = L::mul(st.y, st.y);
    const V zs = L::mul(L::add(L::mul(d2sig, y2), L::mul(dsig, st.z)), dw);
    const V zm = L::mul(L::add(L::mul(d2mu, y2), L::mul(dmu, st.z)), cst.dt);
    st.z = L::add(st.z, L::add(zs, zm));
  }

  // v = {s, dW, mu', sigma'} and, in phase 0 (or WithVariations), {mu'', sigma''}.
  template <std::size_t Phase, class L>
  static void step(State<L>& st, const typename L::V* v, const Constants<L>& cst) noexcept {
    using V = typename L::V;
    const V s = v[0], dw = v[1], dmu = v[2], dsig = v[3];
    const V k = L::div(st.y, s);
    if constexpr (WithDelta) st.acc = L::add(st.acc, L::mul(L::mul(k, cst.inv_horizon), dw));
    if constexpr (Phase == 0) {
      st.a = L::add(st.a, L::mul(k, dw));
      const V e = L::sub(L::div(st.z, s), L::mul(L::mul(k, k), dsig));
      st.c = L::add(st.c, L::mul(e, dw));
      update_z(st, v, cst);
    } else {
      st.b = L::add(st.b, L::mul(k, dw));
      if constexpr (WithVariations) update_z(st, v, cst);
    }
    // (sigma' * Y) * dW + (mu' * Y) * dt is rounded before it is added to Y.
    st.y = L::add(st.y, L::add(L::mul(L::mul(dsig, st.y), dw), L::mul(L::mul(dmu, st.y), cst.dt)));
  }

  // pi = A * B + C, then the delta weight, then Y_N and Z_N.
  template <class L>
  static void finish(const State<L>& st, const Constants<L>& cst, typename L::V* out) noexcept {
    using V = typename L::V;
    const V big_a = L::mul(st.a, cst.inv_t1);
    const V big_b = L::mul(st.b, cst.inv_t2);
    const V big_c = L::mul(st.c, cst.inv_t1);
    out[0] = L::add(L::mul(big_a, big_b), big_c);
    if constexpr (WithDelta) out[1] = st.acc;
    if constexpr (WithVariations) {
      out[2] = st.y;
      out[3] = st.z;
    }
  }
};

}  // namespace
}  // namespace detail

}  // namespace quorvane
