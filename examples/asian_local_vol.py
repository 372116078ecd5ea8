"""Delta of an arithmetic Asian call and digital on CEV (local-volatility) paths: the
BEL weight over the whole path, beside the weight over the window before the first
averaging date and a central difference with common random numbers.

    dX = r X dt + s X^beta dW,   Euler steps from quorvane.models.CEV
    A = sum_k a_k X_k,           a_k = 1/52 at the weekly steps k = 1 .. 52

The delta weights of ``bel_weights_tangent_flow`` are for payoffs of X_T alone:
multiplied by a payoff of A they give a wrong delta, with no error. Two weights
are right for a payoff of A:

- the whole-window weight of ``bel_weights_average_tangent_flow`` (fused with a
  built-in payoff in ``price_and_delta_average_tangent_flow``), which takes the
  five coefficient fields and the averaging weights a_k. It is exact for the Euler
  scheme: its expectation is the delta of the scheme's price, what a central
  difference of the same scheme with common random numbers estimates;
- the first-window weight: A depends on the path only at steps >= 1, so the delta
  weight over the first step alone (``first_window`` with window_steps=1) is exact
  too, but its variance grows like 1 / t_1 (52 times that of a weight over [0, T]).

Each BEL figure is set beside the central difference of the same Euler scheme
from X0 + h and X0 - h with the same increments; the standard error of their gap
comes from the paired per-path differences. At the end, the variance of each
payoff's delta samples with the first-window weight over that with the whole-
window weight. Needs only the package (NumPy):

    python examples/asian_local_vol.py
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

import quorvane
from quorvane.models import CEV

Array = npt.NDArray[np.float64]

X0, STRIKE, HORIZON = 100.0, 100.0, 1.0
MODEL = CEV(rate=0.03, vol=2.0, beta=0.5)  # sigma(x) = 2 x^0.5: 20 % at X0
N_PATHS, N_STEPS, FIRST, SEED = 100_000, 52, 1, 5  # weekly steps, averaged from week 1
BUMP = 1.0


def averaging_weights() -> Array:
    """a_k over the grid columns k = 0 .. N: equal weights at steps FIRST .. N, 0 at X_0."""
    a = np.zeros(N_STEPS + 1)
    a[FIRST:] = 1.0 / (N_STEPS + 1 - FIRST)
    return a


def average(states: Array) -> Array:
    # The same sum as the package's: a_0 X_0, then + a_k X_k in column order.
    a = averaging_weights()
    total: Array = a[0] * states[:, 0]
    for k in range(1, N_STEPS + 1):
        total = total + a[k] * states[:, k]
    return total


def call(x: Array) -> Array:
    result: Array = np.maximum(x - STRIKE, 0.0)
    return result


def digital(x: Array) -> Array:
    result: Array = np.where(x > STRIKE, 1.0, 0.0)
    return result


def averages_from(x0: float) -> Array:
    # The same seed gives the same increments from every x0: common random numbers.
    states = MODEL.simulate(x0, N_PATHS, N_STEPS, HORIZON, np.random.default_rng(SEED)).states
    if MODEL.absorbed(states).any():
        raise SystemExit(f"a path from {x0:g} reached 0: the bumped scheme is not the unbumped one")
    return average(states)


def report(label: str, estimate: float, stderr: float, note: str = "") -> None:
    print(f"  {label:<36}{estimate:+.6f} ± {stderr:.6f}{note}")


def gap(label: str, bel_samples: Array, fd_samples: Array) -> None:
    difference, stderr = quorvane.price_from_samples(bel_samples - fd_samples)
    report(label, difference, stderr, f"   ({difference / stderr:+.2f} stderr of the paired differences)")


def main() -> None:
    states, dws = MODEL.simulate(X0, N_PATHS, N_STEPS, HORIZON, np.random.default_rng(SEED))
    if MODEL.absorbed(states).any():
        raise SystemExit("a path reached 0: it has no BEL weight (see CEV in quorvane.models)")
    fields = MODEL.fields(states)
    a = averaging_weights()
    # The steps before the first averaging date (views) and their horizon t_FIRST.
    window = quorvane.first_window(states, dws, *fields[:3], horizon=HORIZON, window_steps=FIRST)
    t_first = window[-1]

    whole_w = quorvane.bel_weights_average_tangent_flow(states, dws, *fields, HORIZON, a)
    first_w = quorvane.bel_weights_tangent_flow(*window)
    european_w = quorvane.bel_weights_tangent_flow(states, dws, *fields[:3], HORIZON)
    estimate = quorvane.price_and_delta_average_tangent_flow(states, dws, *fields, HORIZON, a, "call", STRIKE)
    up, down = averages_from(X0 + BUMP), averages_from(X0 - BUMP)
    mean = average(states)

    print(f"CEV: X0={X0:g}, r={MODEL.rate:g}, sigma(x) = {MODEL.vol:g} x^{MODEL.beta:g}, T={HORIZON:g}; "
          f"{N_PATHS:,} Euler paths x {N_STEPS} steps; A = mean of X at steps {FIRST}..{N_STEPS}, "
          f"first window t_{FIRST} = {t_first:.4f}")

    samples: dict[str, tuple[Array, Array]] = {}
    for name, payoff in (("call", call), ("digital", digital)):
        fd = (payoff(up) - payoff(down)) / (2.0 * BUMP)
        value = payoff(mean)
        samples[name] = (value * whole_w, value * first_w)
        print(f"Asian {name} on A, K={STRIKE:g}")
        if name == "call":
            report("price", estimate.price, estimate.price_stderr)
            report("whole-window BEL delta", estimate.delta, estimate.delta_stderr,
                   "   (price_and_delta_average_tangent_flow)")
        else:
            report("price", *quorvane.price_from_samples(value))
            report("whole-window BEL delta", *quorvane.price_from_samples(value * whole_w),
                   "   (bel_weights_average_tangent_flow)")
        report("first-window BEL delta", *quorvane.price_from_samples(value * first_w),
               f"   (the weight over [0, t_{FIRST}])")
        report("central difference", *quorvane.price_from_samples(fd), f"   (bump {BUMP:g})")
        gap(f"{name} whole-window difference", value * whole_w, fd)
        gap(f"{name} first-window difference", value * first_w, fd)
        # The European weight is for payoffs of X_T alone: with a payoff of A it
        # gives a wrong delta, and no error.
        gap(f"{name} European-weight difference", value * european_w, fd)

    print("variance of the delta samples, first window over whole window")
    for name, (whole, first) in samples.items():
        print(f"  {name:<36}{np.var(first) / np.var(whole):6.2f}x")


if __name__ == "__main__":
    main()
