"""Delta of a call on a CEV (local-volatility) diffusion: tangent-flow BEL weight versus
a central finite difference with common random numbers.

    dX = r X dt + s X^beta dW,   sigma(x) = s x^beta,   Euler steps in NumPy

The tangent-flow weight needs, per path and step, the Brownian increment and sigma,
d mu/dx and d sigma/dx at the state before the step. The finite difference re-runs
the simulation from X0 + h and X0 - h with the same increments. Both run on the
same Euler grid, so they can differ by O(dt) besides their noise (see
examples/euler_bias_ou.py).

Needs only the package (NumPy):

    python examples/local_vol_delta.py
"""

from __future__ import annotations

import math

import numpy as np
import numpy.typing as npt

import quorvane

X0, STRIKE, RATE, HORIZON = 100.0, 100.0, 0.03, 1.0
BETA, LOCAL_VOL_AT_X0 = 0.5, 0.25
S: float = LOCAL_VOL_AT_X0 * X0 ** (1.0 - BETA)  # sigma(X0) = 25% of X0
N_PATHS, N_STEPS, SEED = 100_000, 50, 7
BUMP = 1.0
FLOOR = 1e-12  # Euler can step below zero; keep the power defined there
Array = npt.NDArray[np.float64]


def mu(x: Array) -> Array:
    return RATE * x


def sigma(x: Array) -> Array:
    return S * np.maximum(x, FLOOR) ** BETA


def d_sigma_dx(x: Array) -> Array:
    return S * BETA * np.maximum(x, FLOOR) ** (BETA - 1.0)


def euler(x0: float, dws: Array, dt: float) -> Array:
    """Euler paths from x0, one row per path, n_steps + 1 columns."""
    states = np.empty((dws.shape[0], dws.shape[1] + 1))
    states[:, 0] = x0
    for j in range(dws.shape[1]):
        x = states[:, j]
        states[:, j + 1] = x + mu(x) * dt + sigma(x) * dws[:, j]
    return states


def call(x: Array) -> Array:
    return np.maximum(x - STRIKE, 0.0)


def main() -> None:
    dt = HORIZON / N_STEPS
    rng = np.random.default_rng(SEED)
    dws = rng.standard_normal((N_PATHS, N_STEPS)) * math.sqrt(dt)
    states = euler(X0, dws, dt)
    before = states[:, :-1]  # the state before each step

    price, delta, price_se, delta_se = quorvane.price_and_delta_tangent_flow(
        states, dws, sigma(before), np.full_like(before, RATE), d_sigma_dx(before),
        HORIZON, "call", STRIKE)

    up, down = euler(X0 + BUMP, dws, dt)[:, -1], euler(X0 - BUMP, dws, dt)[:, -1]
    fd, fd_se = quorvane.price_from_samples((call(up) - call(down)) / (2.0 * BUMP))

    print(f"CEV call: X0={X0:g}, K={STRIKE:g}, r={RATE:g}, beta={BETA:g}, "
          f"local vol {LOCAL_VOL_AT_X0:g} at X0, T={HORIZON:g}; "
          f"{N_PATHS:,} Euler paths x {N_STEPS} steps")
    print(f"price                      {price:.6f} ± {price_se:.6f}")
    print(f"tangent-flow BEL delta     {delta:.6f} ± {delta_se:.6f}")
    print(f"finite difference delta    {fd:.6f} ± {fd_se:.6f}   (bump {BUMP:g}, common random numbers)")
    gap = delta - fd
    print(f"difference                 {gap:+.6f}   ({gap / math.hypot(delta_se, fd_se):+.2f} combined stderr)")


if __name__ == "__main__":
    main()
