"""The quorvane demo: ``python -m quorvane``.

Simulates seeded geometric Brownian motion in NumPy and prices a call, a put and
a digital call with quorvane, beside the Black-Scholes closed forms.
"""

from __future__ import annotations

import math
import time

import numpy as np

import quorvane

X0, STRIKE, RATE, VOL, HORIZON = 100.0, 100.0, 0.03, 0.2, 1.0
N_PATHS, SEED = 1_000_000, 20261209


def _cdf(x: float) -> float:
    return 0.5 * (1.0 + math.erf(x / math.sqrt(2.0)))


def _pdf(x: float) -> float:
    return math.exp(-0.5 * x * x) / math.sqrt(2.0 * math.pi)


def black_scholes_undiscounted(payoff: str) -> tuple[float, float]:
    """Closed-form E[payoff(X_T)] and its derivative in X0, with no discounting."""
    sd = VOL * math.sqrt(HORIZON)
    forward = X0 * math.exp(RATE * HORIZON)
    d1 = (math.log(forward / STRIKE) + 0.5 * sd * sd) / sd
    d2 = d1 - sd
    growth = math.exp(RATE * HORIZON)
    if payoff == "call":
        return forward * _cdf(d1) - STRIKE * _cdf(d2), growth * _cdf(d1)
    if payoff == "put":
        return STRIKE * _cdf(-d2) - forward * _cdf(-d1), -growth * _cdf(-d1)
    if payoff == "digital_call":
        return _cdf(d2), _pdf(d2) / (X0 * sd)
    raise ValueError(payoff)


def _row(label: str, estimate: float, stderr: float, exact: float) -> str:
    z = (estimate - exact) / stderr if stderr > 0 else float("nan")
    return f"  {label:<6} {estimate:12.6f} ± {stderr:9.6f}   closed form {exact:11.6f}   ({z:+.2f} stderr)"


def gbm_section() -> None:
    rng = np.random.default_rng(SEED)
    w_terminal = rng.standard_normal(N_PATHS) * math.sqrt(HORIZON)
    x_terminal = X0 * np.exp((RATE - 0.5 * VOL * VOL) * HORIZON + VOL * w_terminal)
    print(f"Geometric Brownian motion: X0={X0}, K={STRIKE}, r={RATE}, sigma={VOL}, T={HORIZON}, "
          f"{N_PATHS:,} paths (seed {SEED}).")
    print("Prices are undiscounted expectations E[f(X_T)]: quorvane applies no discount factor.\n")

    call_samples = np.maximum(x_terminal - STRIKE, 0.0)
    mean, stderr = quorvane.price_from_samples(call_samples)
    print("price_from_samples on call payoff samples:")
    print(_row("price", mean, stderr, black_scholes_undiscounted("call")[0]))
    print()

    # The BEL weight for GBM is W_T / (T * sigma(X0)) with sigma(x) = VOL * x.
    for payoff in ("call", "put", "digital_call"):
        start = time.perf_counter()
        price, delta, price_se, delta_se = quorvane.price_and_delta_constant_flow(
            x_terminal, w_terminal, HORIZON, VOL * X0, payoff, STRIKE
        )
        elapsed = time.perf_counter() - start
        exact_price, exact_delta = black_scholes_undiscounted(payoff)
        print(f"price_and_delta_constant_flow, {payoff} ({elapsed * 1e3:.1f} ms):")
        print(_row("price", price, price_se, exact_price))
        print(_row("delta", delta, delta_se, exact_delta))
    print()


def euler_paths(x0: float, dws: np.ndarray, dt: float, mu, sigma) -> np.ndarray:
    """Euler paths of dX = mu(X) dt + sigma(X) dW, one row per path."""
    states = np.empty((dws.shape[0], dws.shape[1] + 1))
    states[:, 0] = x0
    for j in range(dws.shape[1]):
        x = states[:, j]
        states[:, j + 1] = x + mu(x) * dt + sigma(x) * dws[:, j]
    return states


def general_diffusion_section() -> None:
    n_paths, n_steps = 50_000, 64
    dt = HORIZON / n_steps
    rng = np.random.default_rng(SEED + 1)
    dws = rng.standard_normal((n_paths, n_steps)) * math.sqrt(dt)
    beta = 0.7
    s = VOL * X0 ** (1.0 - beta)  # CEV: sigma(x) = s x^beta, 20% local vol at X0
    floor = 1e-8  # Euler can step below zero; keep the power defined there

    def mu(x):
        return RATE * x

    def sigma(x):
        return s * np.maximum(x, floor) ** beta

    def d_sigma_dx(x):
        return s * beta * np.maximum(x, floor) ** (beta - 1.0)

    print(f"CEV diffusion dX = r X dt + s X^{beta} dW by Euler in NumPy: {n_paths:,} paths x {n_steps} steps.")
    print("Tangent-flow BEL delta beside a central finite difference with common random numbers:\n")
    states = euler_paths(X0, dws, dt, mu, sigma)
    pre = states[:, :-1]
    fields = (sigma(pre), np.full_like(pre, RATE), d_sigma_dx(pre))
    bump = 0.5
    up = euler_paths(X0 + bump, dws, dt, mu, sigma)[:, -1]
    down = euler_paths(X0 - bump, dws, dt, mu, sigma)[:, -1]
    for payoff in ("call", "digital_call"):
        start = time.perf_counter()
        price, delta, price_se, delta_se = quorvane.price_and_delta_tangent_flow(
            states, dws, *fields, HORIZON, payoff, STRIKE)
        elapsed = time.perf_counter() - start
        f = (lambda x: np.maximum(x - STRIKE, 0.0)) if payoff == "call" else (lambda x: (x > STRIKE) * 1.0)
        fd = (f(up) - f(down)) / (2.0 * bump)
        fd_delta, fd_se = quorvane.price_from_samples(fd)
        print(f"  {payoff:<12} price {price:10.6f} ± {price_se:.6f}   ({elapsed * 1e3:.1f} ms)")
        print(f"  {'':<12} delta {delta:10.6f} ± {delta_se:.6f}   finite difference "
              f"{fd_delta:10.6f} ± {fd_se:.6f}   ({(delta - fd_delta) / math.hypot(delta_se, fd_se):+.2f} sd)")

    # GBM through the general recursion agrees with the constant-flow form.
    gbm = euler_paths(X0, dws, dt, mu, lambda x: VOL * x)
    tangent = quorvane.price_and_delta_tangent_flow(
        gbm, dws, VOL * gbm[:, :-1], np.full_like(pre, RATE), np.full_like(pre, VOL), HORIZON, "call", STRIKE)
    constant = quorvane.price_and_delta_constant_flow(
        gbm[:, -1], dws.sum(axis=1), HORIZON, VOL * X0, "call", STRIKE)
    exact_price, exact_delta = black_scholes_undiscounted("call")
    print("\n  GBM call by Euler, three ways:")
    print(f"    tangent flow   delta {tangent[1]:.6f} ± {tangent[3]:.6f}")
    print(f"    constant flow  delta {constant[1]:.6f} ± {constant[3]:.6f}")
    print(f"    closed form    delta {exact_delta:.6f}")
    print()


def _best_of(calls: int, fn):
    best, result = math.inf, None
    for _ in range(calls):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def parallel_section() -> None:
    n_paths, n_steps = 65_536, 128
    dt = HORIZON / n_steps
    rng = np.random.default_rng(SEED + 2)
    dws = rng.standard_normal((n_paths, n_steps)) * math.sqrt(dt)
    states = euler_paths(X0, dws, dt, lambda x: RATE * x, lambda x: VOL * x)
    pre = states[:, :-1]
    arrays = (states, dws, VOL * pre, np.full_like(pre, RATE), np.full_like(pre, VOL))
    serial_time, serial = _best_of(3, lambda: quorvane.bel_weights_tangent_flow(*arrays, HORIZON))
    parallel_time, parallel = _best_of(3, lambda: quorvane.bel_weights_tangent_flow_parallel(*arrays, HORIZON))
    same = serial.tobytes() == parallel.tobytes()
    print(f"Tangent-flow weights of {n_paths:,} paths x {n_steps} steps, serial and on the worker pool:")
    print(f"  serial   {serial_time * 1e3:7.1f} ms")
    print(f"  parallel {parallel_time * 1e3:7.1f} ms   ({serial_time / parallel_time:.2f}x, "
          f"{'identical bits' if same else 'DIFFERENT BITS'}; threads: RAYON_NUM_THREADS or one per CPU)")
    print()


def main() -> None:
    print(f"quorvane {quorvane.__version__}\n")
    gbm_section()
    general_diffusion_section()
    parallel_section()
    __import__("quorvane._demo_greeks", fromlist=["greeks_section"]).greeks_section()


if __name__ == "__main__":
    main()
