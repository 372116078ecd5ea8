"""Delta of a call on a CEV (local-volatility) diffusion: tangent-flow BEL weight versus
a central finite difference with common random numbers.

    dX = r X dt + s X^beta dW,   sigma(x) = s x^beta,   Euler steps in NumPy

The tangent-flow weight needs, per path and step, the Brownian increment and sigma,
d mu/dx and d sigma/dx at the state before the step. The finite difference re-runs
the simulation from X0 + h and X0 - h with the same increments. Both run on the
same Euler grid, so they can differ by O(dt) besides their noise (see
examples/euler_bias_ou.py). They share their random numbers, so the standard error
of their difference comes from the paired per-path differences.

The model and the Euler paths come from the package's demo (``quorvane._demo_models``,
a few lines of NumPy). Needs only the package (NumPy):

    python examples/local_vol_delta.py
"""

from __future__ import annotations

import math

import numpy as np

import quorvane
from quorvane._demo_models import Array, Cev, euler_paths

X0, STRIKE, RATE, HORIZON = 100.0, 100.0, 0.03, 1.0
BETA, LOCAL_VOL_AT_X0 = 0.5, 0.25
# sigma(X0) = 25% of X0; Euler can step below zero, so the power is taken at max(x, 1e-12)
MODEL = Cev(rate=RATE, s=LOCAL_VOL_AT_X0 * X0 ** (1.0 - BETA), beta=BETA, floor=1e-12)
N_PATHS, N_STEPS, SEED = 100_000, 50, 7
BUMP = 1.0


def euler(x0: float, dws: Array, dt: float) -> Array:
    return euler_paths(x0, dws, dt, MODEL.mu, MODEL.sigma)


def call(x: Array) -> Array:
    return np.maximum(x - STRIKE, 0.0)


def main() -> None:
    dt = HORIZON / N_STEPS
    rng = np.random.default_rng(SEED)
    dws = rng.standard_normal((N_PATHS, N_STEPS)) * math.sqrt(dt)
    states = euler(X0, dws, dt)
    before = states[:, :-1]  # the state before each step

    fields = MODEL.delta_fields(before)
    price, delta, price_se, delta_se = quorvane.price_and_delta_tangent_flow(
        states, dws, *fields, HORIZON, "call", STRIKE)

    up, down = euler(X0 + BUMP, dws, dt)[:, -1], euler(X0 - BUMP, dws, dt)[:, -1]
    fd_samples = (call(up) - call(down)) / (2.0 * BUMP)
    fd, fd_se = quorvane.price_from_samples(fd_samples)
    # Both estimates come from the same increments, so they are correlated: the
    # standard error of their difference is that of the per-path differences, not
    # the two standard errors combined as if independent.
    weights = quorvane.bel_weights_tangent_flow(states, dws, *fields, HORIZON)
    gap, gap_se = quorvane.price_from_samples(call(states[:, -1]) * weights - fd_samples)

    print(f"CEV call: X0={X0:g}, K={STRIKE:g}, r={RATE:g}, beta={BETA:g}, "
          f"local vol {LOCAL_VOL_AT_X0:g} at X0, T={HORIZON:g}; "
          f"{N_PATHS:,} Euler paths x {N_STEPS} steps")
    print(f"price                      {price:.6f} ± {price_se:.6f}")
    print(f"tangent-flow BEL delta     {delta:.6f} ± {delta_se:.6f}")
    print(f"finite difference delta    {fd:.6f} ± {fd_se:.6f}   (bump {BUMP:g}, common random numbers)")
    print(f"difference                 {gap:+.6f} ± {gap_se:.6f}   "
          f"({gap / gap_se:+.2f} stderr of the paired per-path differences)")

if __name__ == "__main__":
    main()
