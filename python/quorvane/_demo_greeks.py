"""The gamma and vega part of the demo (``python -m quorvane``).

GBM gamma and vega of a call, a put and a digital from one pass of
``price_and_greeks_constant_flow``, beside the Black-Scholes closed forms; then a
general diffusion (CEV) by Euler in NumPy, whose tangent-flow gamma is set beside
a central finite difference of the BEL delta with common random numbers (their
gap in standard errors of the paired per-path differences).
"""

from __future__ import annotations

import math
import time

import numpy as np

import quorvane
from quorvane._demo_models import CEV, HORIZON, RATE, STRIKE, VOL, X0, euler_paths, norm_pdf


def black_scholes_gamma_vega(payoff: str) -> tuple[float, float]:
    """Closed-form second derivative in X0 and derivative in the volatility of
    E[payoff(X_T)] under GBM, with no discounting."""
    sd = VOL * math.sqrt(HORIZON)
    growth = math.exp(RATE * HORIZON)
    d1 = (math.log(X0 * growth / STRIKE) + 0.5 * sd * sd) / sd
    d2 = d1 - sd
    if payoff in ("call", "put"):
        return growth * norm_pdf(d1) / (X0 * sd), X0 * growth * norm_pdf(d1) * math.sqrt(HORIZON)
    if payoff == "digital_call":
        return -norm_pdf(d2) * d1 / (X0 * X0 * sd * sd), -norm_pdf(d2) * d1 / VOL
    raise ValueError(payoff)


def _row(label: str, estimate: float, stderr: float, exact: float) -> str:
    z = (estimate - exact) / stderr if stderr > 0 else float("nan")
    return f"  {label:<6} {estimate:12.6f} ± {stderr:9.6f}   closed form {exact:11.6f}   (z {z:+.2f})"


def gbm_greeks_section(n_paths: int, seed: int) -> None:
    rng = np.random.default_rng(seed)
    w_terminal = rng.standard_normal(n_paths) * math.sqrt(HORIZON)
    x_terminal = X0 * np.exp((RATE - 0.5 * VOL * VOL) * HORIZON + VOL * w_terminal)
    print(f"Gamma and vega of GBM by BEL weights, {n_paths:,} paths (seed {seed}):")
    print("sigma(x) = s x, so sigma(X0) = s X0 and d_sigma_dx = volatility = s.\n")
    for payoff in ("call", "put", "digital_call"):
        start = time.perf_counter()
        greeks = quorvane.price_and_greeks_constant_flow(
            x_terminal, w_terminal, HORIZON, VOL * X0, VOL, VOL, payoff, STRIKE)
        elapsed = time.perf_counter() - start
        gamma, vega = black_scholes_gamma_vega(payoff)
        print(f"price_and_greeks_constant_flow, {payoff} ({elapsed * 1e3:.1f} ms, price, delta, "
              "gamma and vega in one pass):")
        print(_row("gamma", greeks.gamma, greeks.gamma_stderr, gamma))
        print(_row("vega", greeks.vega, greeks.vega_stderr, vega))
    print()


def cev_gamma_section(n_paths: int, n_steps: int, seed: int) -> None:
    bump = 1.0
    dt = HORIZON / n_steps
    dws = np.random.default_rng(seed + 1).standard_normal((n_paths, n_steps)) * math.sqrt(dt)

    print(f"CEV gamma, dX = r X dt + s X^{CEV.beta} dW by Euler: {n_paths:,} paths x {n_steps} steps.")
    print(f"Tangent-flow BEL gamma beside a central difference (X0 ± {bump}) of the BEL delta,")
    print("common random numbers; the two differ by O(dt) through the Euler scheme itself:\n")
    states = euler_paths(X0, dws, dt, CEV.mu, CEV.sigma)
    bumped = [euler_paths(X0 + h, dws, dt, CEV.mu, CEV.sigma) for h in (bump, -bump)]
    bumped_weights = [quorvane.bel_weights_tangent_flow(b, dws, *CEV.delta_fields(b[:, :-1]), HORIZON)
                      for b in bumped]
    # The same increments drive both gammas: the gap's standard error is that of the
    # per-path differences, which needs the gamma weights themselves.
    gamma_fields = CEV.gamma_fields(states[:, :-1])
    gamma_weights = quorvane.bel_weights_gamma_tangent_flow(states, dws, *gamma_fields, HORIZON)
    for payoff in ("call", "digital_call"):
        start = time.perf_counter()
        greeks = quorvane.price_and_greeks_tangent_flow(states, dws, *gamma_fields, HORIZON, payoff, STRIKE)
        elapsed = time.perf_counter() - start

        def f(x: np.ndarray) -> np.ndarray:
            return np.maximum(x - STRIKE, 0.0) if payoff == "call" else (x > STRIKE) * 1.0

        up, down = (w * f(b[:, -1]) for w, b in zip(bumped_weights, bumped))
        fd_samples = (up - down) / (2.0 * bump)
        fd, fd_se = quorvane.price_from_samples(fd_samples)
        gap, gap_se = quorvane.price_from_samples(f(states[:, -1]) * gamma_weights - fd_samples)
        z = gap / gap_se if gap_se > 0 else float("nan")
        print(f"  {payoff:<12} gamma {greeks.gamma:11.7f} ± {greeks.gamma_stderr:.7f}   difference of "
              f"deltas {fd:11.7f} ± {fd_se:.7f}   (paired z {z:+.2f}; {elapsed * 1e3:.0f} ms)")
    print()


def greeks_section(n_gbm_paths: int, n_euler_paths: int, n_steps: int, seed: int) -> None:
    gbm_greeks_section(n_gbm_paths, seed)
    cev_gamma_section(n_euler_paths, n_steps, seed)
