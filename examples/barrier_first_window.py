"""Delta of a discretely monitored barrier option and delta and gamma of a lookback
on CEV paths: the BEL weights over the first window of steps, beside central
differences with common random numbers.

    dX = r X dt + s X^beta dW,   Euler steps from quorvane.models.CEV

The delta and gamma weights of quorvane are for payoffs of the last state of the
paths they are given. A payoff that depends on the path only at steps >= m has the
price E[g(X_m)], with g the price of the rest of the path from X_m, so the weights
computed over the first m steps alone, with the horizon t_m = m dt, give its delta
and gamma:

    w = quorvane.bel_weights_tangent_flow(states[:, :m + 1], dws[:, :m], sigma[:, :m],
                                          d_mu_dx[:, :m], d_sigma_dx[:, :m], m * dt)

``quorvane.first_window`` makes those views and t_m, in that order, and checks m;
nothing is copied. Here both options are monitored weekly from week m = 13 of 52: an
up-and-out call, max over the monitoring dates below the barrier, and a
fixed-strike lookback call on that maximum.

The cost: the weights vary like 1 / t_m, so their samples have several times the
variance of a European delta on the same paths (printed at the end), and a
barrier monitored from the first step (m = 1) about n_steps times. Each BEL figure
is set beside a central difference of the same Euler scheme with the same
increments; the standard error of their gap comes from the paired per-path
differences. Needs only the package (NumPy):

    python examples/barrier_first_window.py
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

import quorvane
from quorvane.models import CEV

from _paired import cev_paths, gap, report

Array = npt.NDArray[np.float64]

X0, STRIKE, BARRIER, HORIZON = 100.0, 100.0, 130.0, 1.0
MODEL = CEV(rate=0.03, vol=2.0, beta=0.5)  # sigma(x) = 2 x^0.5: 20 % at X0
N_PATHS, N_STEPS, FIRST, SEED = 100_000, 52, 13, 11  # weekly steps, monitored from week 13
BUMP, GAMMA_BUMP = 1.0, 2.0


def running_max(states: Array, first: int) -> Array:
    """max over the monitoring dates, steps first .. n_steps, per path."""
    result: Array = states[:, first:].max(axis=1)
    return result


def up_and_out_call(states: Array, first: int) -> Array:
    alive = running_max(states, first) < BARRIER
    result: Array = np.where(alive, np.maximum(states[:, -1] - STRIKE, 0.0), 0.0)
    return result


def lookback_call(states: Array, first: int) -> Array:
    result: Array = np.maximum(running_max(states, first) - STRIKE, 0.0)
    return result


def paths(x0: float) -> Array:
    # The same seed gives the same increments from every x0: common random numbers.
    return MODEL.simulate(x0, N_PATHS, N_STEPS, HORIZON, np.random.default_rng(SEED)).states


def main() -> None:
    states, dws = cev_paths(MODEL, X0, N_PATHS, N_STEPS, HORIZON, SEED)
    fields = MODEL.fields(states)
    # The arguments of the weight functions cut to the first FIRST steps (views) and
    # t_m: states[:, :m + 1], dws[:, :m], each field[:, :m], m * dt.
    window = quorvane.first_window(states, dws, *fields, horizon=HORIZON, window_steps=FIRST)
    t_m = window[-1]
    delta_w = quorvane.bel_weights_tangent_flow(
        *quorvane.first_window(states, dws, *fields[:3], horizon=HORIZON, window_steps=FIRST))
    gamma_w = quorvane.bel_weights_gamma_tangent_flow(*window)
    up, down = paths(X0 + BUMP), paths(X0 - BUMP)
    up2, down2 = paths(X0 + GAMMA_BUMP), paths(X0 - GAMMA_BUMP)

    print(f"CEV: X0={X0:g}, r={MODEL.rate:g}, sigma(x) = {MODEL.vol:g} x^{MODEL.beta:g}, T={HORIZON:g}; "
          f"{N_PATHS:,} Euler paths x {N_STEPS} steps; first window of {FIRST} steps, "
          f"t_m = {t_m:.4f}")

    barrier = up_and_out_call(states, FIRST)
    fd = (up_and_out_call(up, FIRST) - up_and_out_call(down, FIRST)) / (2.0 * BUMP)
    print(f"up-and-out call, K={STRIKE:g}, barrier {BARRIER:g} monitored at steps {FIRST}..{N_STEPS}")
    report("barrier price", *quorvane.price_from_samples(barrier))
    report("barrier BEL delta", *quorvane.price_from_samples(barrier * delta_w))
    report("barrier central difference", *quorvane.price_from_samples(fd), f"   (bump {BUMP:g})")
    gap("barrier difference", barrier * delta_w, fd)

    lookback = lookback_call(states, FIRST)
    fd_l = (lookback_call(up, FIRST) - lookback_call(down, FIRST)) / (2.0 * BUMP)
    fd_g = (lookback_call(up2, FIRST) - 2.0 * lookback + lookback_call(down2, FIRST)) / GAMMA_BUMP**2
    print(f"lookback call on the maximum over steps {FIRST}..{N_STEPS}, K={STRIKE:g}")
    report("lookback price", *quorvane.price_from_samples(lookback))
    report("lookback BEL delta", *quorvane.price_from_samples(lookback * delta_w))
    report("lookback central difference", *quorvane.price_from_samples(fd_l), f"   (bump {BUMP:g})")
    gap("lookback difference", lookback * delta_w, fd_l)
    report("lookback BEL gamma", *quorvane.price_from_samples(lookback * gamma_w))
    report("lookback second difference", *quorvane.price_from_samples(fd_g), f"   (bump {GAMMA_BUMP:g})")
    gap("lookback gamma difference", lookback * gamma_w, fd_g)

    # The cost of the short window. The yardstick is the weight over all the steps,
    # the European delta weight: wrong for these payoffs, but what a payoff of X_T
    # pays. Variances of the weights alone, of each payoff times either weight, and
    # against the European call's delta samples on the same paths.
    whole = quorvane.bel_weights_tangent_flow(states, dws, *fields[:3], HORIZON)
    step_w = quorvane.bel_weights_tangent_flow(
        *quorvane.first_window(states, dws, *fields[:3], horizon=HORIZON, window_steps=1))
    daily = up_and_out_call(states, 1)  # the barrier monitored from step 1
    call = float(np.var(np.maximum(states[:, -1] - STRIKE, 0.0) * whole))

    def ratio(samples: Array, yardstick: Array) -> str:
        return f"{np.var(samples) / np.var(yardstick):6.2f}x"

    print(f"variance, first window against all {N_STEPS} steps (the European weight)")
    print(f"  {f'weights alone, window of {FIRST} steps':<36}{ratio(delta_w, whole)}   "
          f"(t_N / t_m = {HORIZON / t_m:g})")
    print(f"  {'weights alone, window of 1 step':<36}{ratio(step_w, whole)}   (t_N / t_1 = {N_STEPS})")
    for name, payoff, weights in (("barrier", barrier, delta_w), ("lookback", lookback, delta_w),
                                  ("barrier from step 1", daily, step_w)):
        print(f"  {name + ' delta samples':<36}{ratio(payoff * weights, payoff * whole)}   "
              f"({np.var(payoff * weights) / call:.2f}x the European call delta's)")

if __name__ == "__main__":
    main()
