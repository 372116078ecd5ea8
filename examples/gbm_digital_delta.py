"""Delta of a digital call under geometric Brownian motion: BEL weight versus pathwise.

The payoff 1{X_T > K} is flat almost everywhere, so differentiating it path by path
(the pathwise method) gives exactly zero on every path: a delta of 0 with a standard
error of 0, confidently wrong. The BEL weight moves the derivative onto the path,
delta = E[1{X_T > K} * W_T / (T * sigma(X_0))], and is unbiased.

Needs only the package (NumPy):

    python examples/gbm_digital_delta.py
"""

from __future__ import annotations

import math

import numpy as np

import quorvane

X0, STRIKE, VOL, HORIZON = 100.0, 105.0, 0.2, 1.0
N_PATHS, SEED = 400_000, 20261209


def closed_form_digital_delta() -> float:
    """d/dX0 of P(X_T > K) for GBM with zero drift: pdf(d2) / (X0 * vol * sqrt(T))."""
    sd = VOL * math.sqrt(HORIZON)
    d2 = (math.log(X0 / STRIKE) - 0.5 * sd * sd) / sd
    return math.exp(-0.5 * d2 * d2) / math.sqrt(2.0 * math.pi) / (X0 * sd)


def main() -> None:
    rng = np.random.default_rng(SEED)
    w_t = rng.standard_normal(N_PATHS) * math.sqrt(HORIZON)  # terminal Brownian values
    x_t = X0 * np.exp(-0.5 * VOL * VOL * HORIZON + VOL * w_t)  # GBM terminal states
    exact = closed_form_digital_delta()

    # BEL: sigma(x) = VOL * x, so sigma(X0) = VOL * X0.
    price, delta, price_se, delta_se = quorvane.price_and_delta_constant_flow(
        x_t, w_t, HORIZON, VOL * X0, "digital_call", STRIKE)

    # Pathwise: d/dX0 1{X_T > K} = 1'(X_T - K) * X_T / X0, and 1' is zero wherever it exists.
    pathwise_samples = np.zeros_like(x_t) * (x_t / X0)
    pathwise, pathwise_se = quorvane.price_from_samples(pathwise_samples)

    print(f"digital call 1{{X_T > {STRIKE:g}}} under GBM: X0={X0:g}, vol={VOL:g}, T={HORIZON:g}, "
          f"{N_PATHS:,} paths")
    print(f"price            {price:.6f} ± {price_se:.6f}")
    print(f"closed form delta {exact:.6f}")
    for label, value, stderr in (("BEL delta", delta, delta_se),
                                 ("pathwise delta", pathwise, pathwise_se)):
        if stderr > 0:
            verdict = f"{(value - exact) / stderr:+.1f} stderr from the closed form"
        else:
            verdict = f"no spread at all, yet {exact - value:.6f} below the closed form"
        print(f"{label:<16} {value:.6f} ± {stderr:.6f}   ({verdict})")


if __name__ == "__main__":
    main()
