// The whole-window delta recursion for payoffs of a weighted average of the
// path, A = sum_k a_k X_k over the grid columns k = 0 .. N: a forward pass over
// the steps that stores a per-step history, and a backward pass over that
// history in finish. Run by the kernels (core/kernels/recursion_groups.hpp) for
// many paths side by side and as the one-lane scalar instance.
//
// The weight is Gaussian integration by parts on the Euler increments along the
// direction v_j = c Y_{j+1} / sigma_j (j < J, J the last column with a_k != 0),
// with Y the tangent flow, P = sum_k a_k Y_k = dA/dX_0, Q = sum_k a_k k Y_k and
// c = P / Q: moving dW along v moves A by exactly P, and the divergence of v
// needs the second variation (mu'', sigma''). It is exact for the Euler scheme:
// its expectation is what a central difference of the same scheme with common
// random numbers estimates.
//
// Forward, per path, with the values before step j (Y_0 = 1, G = H = +0.0) and
// s, dW, mu', sigma', mu'', sigma'' the operands of step j:
//
//   q  = sigma' / s;      qy = q * Y
//   h  = (mu'' * dt) + (sigma'' * dW)
//   Yn = Y + (((sigma' * Y) * dW) + ((mu' * Y) * dt))    (the delta recursion's update)
//   e  = (h * (Y * Y)) / Yn
//   j < J:  G = G + ((Yn / s) * dW);   H = H + qy
//   store (Y, qy, e) as step j's history;  Y = Yn
//
// Backward over the stored steps j = N - 1 .. 0, from R = R2 = S = S2 = U =
// V = +0.0, e' = +0.0 (the e of step j + 1, none after the last) and Y' = Y_N
// (the Y after step j):
//
//   S  = S  + (e' * R);          S2 = S2 + (e' * R2)        (S_j, S2_j)
//   R  = R  + (a_{j+1} * Y');    R2 = R2 + ((a_{j+1} * (j + 1)) * Y')   (R_j, R2_j)
//   U  = U  + ((qy * R) + S);    V  = V  + ((qy * R2) + S2)
//   e' = e;  Y' = Y
//
// so that R_j = sum_{k>j} a_k Y_k, S_j = sum_{l>j} e_l R_l (R2, S2 the same
// with a_k k) and U = sum_j dP_j Y_{j+1} / sigma_j, with
// dP_j = sigma'_j (Y_j / Y_{j+1}) R_j + (sigma_j / Y_{j+1}) S_j (V with dQ_j).
// The terms j >= J are zero (R_j = S_j = 0 there), so U and V may run over
// every step. Then
//
//   P = a_0 + R;   Q = R2;   c = P / Q
//   pi = (c * ((G * inv_dt) - H)) - (((U * Q) - (P * V)) / (Q * Q))
//
// which is sum_{j<J} [c Y_{j+1} dW_j / (sigma_j dt) - dc_j Y_{j+1} / sigma_j
// - c Y_j sigma'_j / sigma_j] with dc_j = (dP_j Q - P dQ_j) / Q^2 summed before
// the division. The outputs are pi and Q (a path with Q = 0 has no weight).
// Each operation is rounded in exactly the order written (no fused
// multiply-add, no reassociation); a lane performs exactly this sequence for
// its own path, so every lane has the bits of the one-lane instance.
//
// A zero sigma at any step j makes q, and with it qy, infinite or NaN; qy * R
// is then infinite or NaN whatever R is (inf * 0 is NaN), U stays non-finite
// through its later additions, and so does pi (see core/weights/average.cpp),
// which is what the raw-then-fix-up driver needs.
#pragma once

#include <cstddef>
#include <cstring>

#include "core/lanes/lanes.hpp"
#include "core/recursions/delta_recursion.hpp"
#include "core/recursions/recursion.hpp"
#include "core/views/views.hpp"

namespace quorvane {

// The validated bundle: the delta recursion's inputs, the second-derivative
// arrays, the average's weights a_0 .. a_N (length n_steps + 1), J = the last
// column whose weight is not zero (J >= 1), and 1 / dt computed once.
struct AverageInputs {
  TangentFlowInputs flow;
  MatrixView d2_mu_dx2, d2_sigma_dx2;
  VectorView weights;
  std::size_t last = 0;
  double inv_dt = 0.0;
};

namespace detail {
namespace {

struct AverageRecursion {
  using Inputs = AverageInputs;
  // sigma, dws, mu', sigma', mu'', sigma''
  static constexpr std::size_t kArrays = 6;
  static constexpr std::size_t kPhases = 1;
  static constexpr std::size_t kPhaseArrays[kPhases] = {6};
  static constexpr std::size_t kOutputs = 2;  // the weight, then Q
  // Doubles stored per lane and step for the backward pass: Y, qy, e.
  static constexpr std::size_t kHistory = 3;

  static ViewList<kArrays> arrays(const Inputs& in) noexcept {
    return {in.flow.sigma,      in.flow.dws,  in.flow.d_mu_dx,
            in.flow.d_sigma_dx, in.d2_mu_dx2, in.d2_sigma_dx2};
  }
  static std::size_t n_paths(const Inputs& in) noexcept { return in.flow.n_paths; }
  static std::size_t n_steps(const Inputs& in) noexcept { return in.flow.n_steps; }
  static std::size_t phase_end(const Inputs& in, std::size_t) noexcept { return in.flow.n_steps; }

  template <class L>
  struct Constants {
    using V = typename L::V;
    V dt, inv_dt;
    const std::byte* weights;
    std::ptrdiff_t weight_stride;
    std::size_t last, n_steps;
    explicit Constants(const Inputs& in) noexcept
        : dt(L::set1(in.flow.dt)),
          inv_dt(L::set1(in.inv_dt)),
          weights(in.weights.data),
          weight_stride(in.weights.stride),
          last(in.last),
          n_steps(in.flow.n_steps) {}
    // a_k, read from the view's data members only.
    double weight(std::size_t k) const noexcept {
      double a;
      std::memcpy(&a, weights + static_cast<std::ptrdiff_t>(k) * weight_stride, sizeof a);
      return a;
    }
  };

  template <class L>
  struct State {
    typename L::V y, g, h;
    double* history;          // this chain's entry of step 0
    std::size_t step_doubles;  // doubles from one step's entries to the next
    std::size_t j;             // the step about to run
  };

  template <class L>
  static void start(State<L>& st, double* history, std::size_t step_doubles) noexcept {
    st.y = L::set1(1.0);
    st.g = st.h = L::set1(0.0);
    st.history = history;
    st.step_doubles = step_doubles;
    st.j = 0;
  }

  // v = {s, dW, mu', sigma', mu'', sigma''} of step st.j.
  template <std::size_t Phase, class L>
  static void step(State<L>& st, const typename L::V* v, const Constants<L>& c) noexcept {
    using V = typename L::V;
    const V s = v[0], dw = v[1], dmu = v[2], dsig = v[3], d2mu = v[4], d2sig = v[5];
    const V qy = L::mul(L::div(dsig, s), st.y);
    const V h = L::add(L::mul(d2mu, c.dt), L::mul(d2sig, dw));
    const V yn = L::add(st.y, L::add(L::mul(L::mul(dsig, st.y), dw), L::mul(L::mul(dmu, st.y), c.dt)));
    const V e = L::div(L::mul(h, L::mul(st.y, st.y)), yn);
    if (st.j < c.last) {
      st.g = L::add(st.g, L::mul(L::div(yn, s), dw));
      st.h = L::add(st.h, qy);
    }
    double* at = st.history + st.j * st.step_doubles;
    L::storeu(at, st.y);
    L::storeu(at + L::kWidth, qy);
    L::storeu(at + 2 * L::kWidth, e);
    st.y = yn;
    ++st.j;
  }

  // The backward pass, then pi and Q.
  template <class L>
  static void finish(const State<L>& st, const Constants<L>& c, typename L::V* out) noexcept {
    using V = typename L::V;
    const V zero = L::set1(0.0);
    V r = zero, r2 = zero, s = zero, s2 = zero, u = zero, w = zero;
    V e_next = zero, y_next = st.y;
    for (std::size_t j = c.n_steps; j-- > 0;) {
      const double* at = st.history + j * st.step_doubles;
      const V y = L::loadu(reinterpret_cast<const std::byte*>(at));
      const V qy = L::loadu(reinterpret_cast<const std::byte*>(at + L::kWidth));
      const V e = L::loadu(reinterpret_cast<const std::byte*>(at + 2 * L::kWidth));
      const double a = c.weight(j + 1);
      const double ak = a * static_cast<double>(j + 1);
      s = L::add(s, L::mul(e_next, r));
      s2 = L::add(s2, L::mul(e_next, r2));
      r = L::add(r, L::mul(L::set1(a), y_next));
      r2 = L::add(r2, L::mul(L::set1(ak), y_next));
      u = L::add(u, L::add(L::mul(qy, r), s));
      w = L::add(w, L::add(L::mul(qy, r2), s2));
      e_next = e;
      y_next = y;
    }
    const V p = L::add(L::set1(c.weight(0)), r);
    const V q = r2;
    const V cc = L::div(p, q);
    const V first = L::mul(cc, L::sub(L::mul(st.g, c.inv_dt), st.h));
    const V second = L::div(L::sub(L::mul(u, q), L::mul(p, w)), L::mul(q, q));
    out[0] = L::sub(first, second);
    out[1] = q;
  }
};

}  // namespace
}  // namespace detail

}  // namespace quorvane
